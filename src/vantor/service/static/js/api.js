// HTTP calls to the service. Off loopback the service wants a token; the page
// was opened with ?token=..., and every request carries it on.
const token = new URLSearchParams(location.search).get("token");

export class ApiError extends Error {}

export function apiUrl(path, params = {}) {
  const url = new URL(path, location.href);
  for (const [key, value] of Object.entries(params)) url.searchParams.set(key, value);
  if (token) url.searchParams.set("token", token);
  return url.toString();
}

export function liveUrl(params) {
  const url = new URL(apiUrl("api/live", params));
  url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
  return url.toString();
}

async function answer(response) {
  let body = null;
  try { body = await response.json(); } catch { /* not JSON: say so below */ }
  if (!response.ok) {
    const text = body && body.error ? body.error : `${response.status} ${response.statusText}`;
    throw new ApiError(text);
  }
  if (body === null) throw new ApiError(`the service answered ${response.status} without JSON`);
  return body;
}

async function call(path, init) {
  let response;
  try {
    response = await fetch(apiUrl(path), init);
  } catch {
    throw new ApiError("the service cannot be reached");
  }
  return answer(response);
}

export const getJSON = (path) => call(path, { cache: "no-store" });

export const postJSON = (path, body) => call(path, {
  method: "POST",
  headers: { "Content-Type": "application/json" },
  body: JSON.stringify(body ?? {}),
});

// HTTP calls to the service. Where the service wants a token, the page was
// opened once with ?token=...: the service keeps it in an HttpOnly cookie
// that the browser sends with every request and the live stream, so no
// script here ever holds it, and the page's address drops it.
const opened = new URL(location.href);
if (opened.searchParams.has("token")) {
  opened.searchParams.delete("token");
  history.replaceState(null, "", opened.pathname + opened.search + opened.hash);
}

export class ApiError extends Error {}

export function apiUrl(path, params = {}) {
  const url = new URL(path, location.href);
  for (const [key, value] of Object.entries(params)) url.searchParams.set(key, value);
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

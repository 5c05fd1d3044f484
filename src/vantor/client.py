"""Python client of a running `vantor serve`, for scripts, threads and notebooks.

    from vantor.client import Client
    c = Client()                                  # http://127.0.0.1:8765, or $VANTOR_URL
    c.configure([1, "0.3"], biasI=1.5e-5)         # returns once every unit echoes it
    curves = c.iv([1, 2], start=0, stop=3e-5, step=1e-6, point_steps=10)
    curves[1]["counts"]                           # numpy arrays
    for message in c.live(rate=2):                # summaries and events, as dicts
        ...

    from vantor.client import AsyncClient         # the same methods as coroutines
    async with AsyncClient() as c:
        await c.configure([1], biasI=1.5e-5)
        async for message in c.live(rate=2):
            ...

`AsyncClient` is the implementation.  `Client` runs its coroutines on a
private event loop in a helper thread, so it works the same whether or not
the caller's thread already runs a loop (a Jupyter kernel does).

Units are ranks (5) or MCU.CU names ("0.3").  A bad argument raises
ArgumentError (a ServiceError with status 400, as the service would answer,
and a ValueError) naming the field and value before anything is sent: the
checks are the service's own (vantor.schema).  Every failure of the service
raises ServiceError with its message (and HTTP status).

Without a URL or token the client takes those of the service this user runs
(from its data directory, $VANTOR_DATA or the default one): its address, its
certificate when it serves HTTPS, and the user's operator token, which it
sends only to that service's loopback address."""
import asyncio
import atexit
import json
import os
import ssl
import threading
import urllib.parse
import weakref

import numpy as np

from vantor import schema

DEFAULT_URL = "http://127.0.0.1:8765"
FINISHED = ("done", "failed", "cancelled")


class ServiceError(RuntimeError):
    def __init__(self, message, status=None, job=None):
        super().__init__(message)
        self.status, self.job = status, job


class ArgumentError(ServiceError, ValueError):
    """An argument refused before anything was sent; the message names it."""

    def __init__(self, message):
        super().__init__(message, 400)


# -- argument checks: the service's own (vantor.schema), before anything is sent --

def _checked(check, *args, **kw):
    try:
        return check(*args, **kw)
    except schema.SchemaError as exc:
        raise ArgumentError(str(exc)) from None


def _plain(value):
    """numpy scalars as the Python numbers JSON and the checks take."""
    return value.item() if isinstance(value, np.generic) else value


def check_units(units):
    """A list of ranks and MCU.CU names from one unit or an iterable of them."""
    if not isinstance(units, (int, str, list, tuple, np.integer)):
        try:
            units = list(units)
        except TypeError:
            pass
    if isinstance(units, (list, tuple)):
        units = [_plain(u) for u in units]
    return _checked(schema.unit_names, _plain(units))


def unit_query(units):
    return ",".join(str(u) for u in check_units(units))


def check_limit(limit):
    if isinstance(limit, bool) or not isinstance(limit, (int, np.integer)):
        raise ArgumentError(f"limit: expected an integer, got {limit!r}")
    return _checked(schema.query_limit, str(int(limit)), 100000)


def time_query(since=None, until=None, resolution=None):
    """The query items of a time range, checked as the service checks them."""
    query = {name: repr(float(value)) if isinstance(value, (int, float, np.number))
             and not isinstance(value, bool) else str(value)
             for name, value in (("since", since), ("until", until),
                                 ("resolution", resolution)) if value is not None}
    _checked(schema.query_time, query.get("since"), "since", None)
    _checked(schema.query_time, query.get("until"), "until", None)
    _checked(schema.query_resolution, query.get("resolution"))
    return query


def check_poll(poll):
    return _checked(schema.number, _plain(poll), "poll", low=0.01, high=3600)


def _job_id(job):
    job_id = job["id"] if isinstance(job, dict) else job
    if isinstance(job_id, bool) or not isinstance(job_id, (str, int)) or str(job_id) == "":
        raise ArgumentError(f"job: expected an id or the job's dict, got {job!r}")
    return urllib.parse.quote(str(job_id), safe="")


def _format_of(path, format):
    fmt = format or ("csv" if str(path).lower().endswith(".csv") else "h5")
    if fmt not in ("h5", "csv"):
        raise ArgumentError(f"format: expected h5 or csv, got {fmt!r}")
    return fmt


def _arrays(entry, *, text_values=False):
    return {name: (np.asarray(values, dtype=object if text_values and name == "value" and
                              values and isinstance(values[0], str) else float)
                   if isinstance(values, list) else values)
            for name, values in entry.items()}


# -- the implementation --------------------------------------------------------

class AsyncClient:
    """The client's methods as coroutines, on the caller's event loop."""

    def __init__(self, url=None, token=None, *, timeout=30.0, via="client", cafile=None,
                 data_dir=None):
        from vantor.service.local import found_credentials, found_url

        self.url = (url or os.environ.get("VANTOR_URL") or found_url(data_dir)
                    or DEFAULT_URL).rstrip("/")
        found_token, found_cert = found_credentials(self.url, data_dir)
        self.token = token or os.environ.get("VANTOR_TOKEN") or found_token
        self.timeout = _checked(schema.number, timeout, "timeout", low=0.001, high=86400)
        self.via = via
        cafile = cafile or os.environ.get("VANTOR_CA_FILE") or found_cert
        self._ssl = None
        if self.url.startswith("https:"):
            try:
                self._ssl = ssl.create_default_context(cafile=cafile)
            except (OSError, ssl.SSLError) as exc:
                raise ServiceError(f"certificate file {cafile}: {exc}") from None
        self._session = None

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.close()

    async def close(self):
        if self._session is not None:
            session, self._session = self._session, None
            await session.close()

    def _headers(self):
        headers = {"X-Vantor-Via": self.via}
        if self.token:
            headers["Authorization"] = f"Bearer {self.token}"
        return headers

    def _http(self):
        import aiohttp
        if self._session is None or self._session.closed:
            # one connection per request, as the service counts connections
            # per address: an idle kept-alive one would hold a place
            self._session = aiohttp.ClientSession(
                connector=aiohttp.TCPConnector(force_close=True))
        return self._session

    def _unreachable(self, exc):
        import aiohttp
        if isinstance(exc, aiohttp.ClientConnectorCertificateError):
            reason = exc.certificate_error
            return ServiceError(f"the certificate of {self.url} is not trusted "
                                f"({getattr(reason, 'verify_message', reason)}): pass cafile=, "
                                "or set $VANTOR_CA_FILE, to the service's certificate")
        return ServiceError(f"no vantor service answers at {self.url} ({exc or type(exc).__name__}); "
                            "start one with `vantor serve`")

    async def _request(self, method, path, body=None, *, timeout=None, raw=False):
        import aiohttp
        data = None if body is None else json.dumps(body, allow_nan=False)
        headers = self._headers()
        if data is not None:
            headers["Content-Type"] = "application/json"
        try:
            async with self._http().request(
                    method, self.url + path, data=data, headers=headers,
                    ssl=self._ssl or True,
                    timeout=aiohttp.ClientTimeout(total=timeout or self.timeout)) as resp:
                payload = await resp.read()
                status, reason = resp.status, resp.reason
        except (aiohttp.ClientError, OSError, asyncio.TimeoutError) as exc:
            raise self._unreachable(exc) from None
        if status >= 400:
            try:
                message = json.loads(payload)["error"]
            except (ValueError, KeyError, TypeError):
                message = payload.decode(errors="replace") or reason
            raise ServiceError(message, status)
        return payload if raw else json.loads(payload)

    async def _get(self, path, **kw):
        return await self._request("GET", path, **kw)

    async def _post(self, path, body=None, **kw):
        return await self._request("POST", path, body if body is not None else {}, **kw)

    async def available(self):
        """True when a service answers at this URL."""
        try:
            await self._get("/api/status", timeout=2.0)
            return True
        except ServiceError as exc:
            return exc.status is not None

    # -- units and settings ------------------------------------------------------

    async def snapshot(self):
        return await self._get("/api/snapshot")

    async def units(self):
        return (await self._get("/api/units"))["units"]

    async def unit(self, unit):
        (name,) = check_units([unit])
        return await self._get(f"/api/units/{urllib.parse.quote(str(name), safe='')}")

    async def boards(self):
        return (await self._get("/api/boards"))["boards"]

    async def limits(self):
        return await self._get("/api/settings/limits")

    async def configure(self, units, timeout=None, **fields):
        """Writes `fields` into every unit's configuration; returns the units
        once each echoes the new settings, ServiceError naming those that did not."""
        body = {"units": check_units(units), "settings": {k: _plain(v) for k, v in fields.items()}}
        if timeout is not None:
            body["timeout"] = _plain(timeout)
        _checked(schema.settings_request, body)
        wait = (timeout or 5.0) + 10.0
        return (await self._post("/api/settings", body, timeout=wait))["units"]

    # -- jobs --------------------------------------------------------------------

    async def jobs(self):
        return (await self._get("/api/jobs"))["jobs"]

    async def job(self, job):
        return await self._get(f"/api/jobs/{_job_id(job)}")

    async def cancel(self, job):
        return await self._post(f"/api/jobs/{_job_id(job)}/cancel")

    async def submit_iv(self, units, start=None, stop=None, step=None, point_steps=None,
                        timeout=None):
        body = {"units": check_units(units)}
        for name, value in (("start", start), ("stop", stop), ("step", step),
                            ("point_steps", point_steps), ("timeout", timeout)):
            if value is not None:
                body[name] = _plain(value)
        _checked(schema.iv_request, body)
        return await self._post("/api/jobs/iv", body)

    async def submit_acquire(self, units, seconds):
        body = {"units": check_units(units), "seconds": _plain(seconds)}
        _checked(schema.acquire_request, body)
        return await self._post("/api/jobs/acquire", body)

    async def wait(self, job, poll=0.2, progress=None):
        """The job once it finished; ServiceError unless it is done.
        `progress(job)` is called on every poll."""
        poll = check_poll(poll)
        while True:
            state = await self.job(job)
            if progress is not None:
                progress(state)
            if state["state"] in FINISHED:
                break
            await asyncio.sleep(poll)
        if state["state"] != "done":
            raise ServiceError(f"job {state['id']} {state['state']}: {state['message']}",
                               job=state)
        return state

    async def result(self, job):
        """The job's result: {rank: {column: numpy array}}."""
        data = await self._get(f"/api/jobs/{_job_id(job)}/result")
        return {int(rank): _arrays(ch) for rank, ch in data["channels"].items()}

    async def download(self, job, path, format=None):
        """Saves the job's file (HDF5 or CSV, from `path`'s suffix unless given)."""
        fmt = _format_of(path, format)
        payload = await self._get(f"/api/jobs/{_job_id(job)}/file?format={fmt}", raw=True)
        await asyncio.to_thread(_write_file, path, payload)
        return path

    async def iv(self, units, start=None, stop=None, step=None, point_steps=None,
                 timeout=None):
        """Runs an IV sweep and returns {rank: {"biasI", "counts", "monitorV"}}."""
        job = await self.submit_iv(units, start, stop, step, point_steps, timeout)
        await self.wait(job)
        return {r: {k: ch[k] for k in ("biasI", "counts", "monitorV")}
                for r, ch in (await self.result(job)).items()}

    async def acquire(self, units, seconds):
        """Records for `seconds`; returns {rank: {"time", "counts", "monitorV"}}."""
        job = await self.submit_acquire(units, seconds)
        await self.wait(job)
        return {r: {k: ch[k] for k in ("time", "counts", "monitorV")}
                for r, ch in (await self.result(job)).items()}

    # -- operating points -------------------------------------------------------

    TUNE_KEYS = ("status", "switching_current", "plateau_onset", "plateau_rate",
                 "proposed_bias", "reason")

    async def submit_tune(self, units, start=None, stop=None, step=None, point_steps=None,
                          policy="fraction", fraction=0.9, margin=None, onset_fraction=0.9,
                          dark_job=None):
        """Queues a tune (a sweep of `units`, then every curve judged); returns the job."""
        body = {"units": check_units(units), "policy": policy, "fraction": _plain(fraction),
                "onset_fraction": _plain(onset_fraction)}
        for name, value in (("start", start), ("stop", stop), ("step", step),
                            ("point_steps", point_steps), ("margin", margin)):
            if value is not None:
                body[name] = _plain(value)
        if dark_job is not None:
            body["dark_job"] = urllib.parse.unquote(_job_id(dark_job))
        _checked(schema.tune_request, body)
        return await self._post("/api/jobs/tune", body)

    async def tune_result(self, job):
        """The whole judgement of a finished tune: {"units": {rank: row}, "policy",
        "temperatures", "applied", ...} (rows with their details and names)."""
        data = await self._get(f"/api/jobs/{_job_id(job)}/tune")
        data["units"] = {int(r): row for r, row in data["units"].items()}
        return data

    async def tune(self, units, start=None, stop=None, step=None, point_steps=None,
                   policy="fraction", fraction=0.9, margin=None, onset_fraction=0.9,
                   apply=False):
        """Sweeps `units`, judges every curve and returns {rank: {"status",
        "switching_current", "plateau_onset", "plateau_rate", "proposed_bias",
        "reason"}} once done; with apply=True the proposed biases are then set."""
        job = await self.submit_tune(units, start, stop, step, point_steps, policy, fraction,
                                     margin, onset_fraction)
        await self.wait(job)
        if apply:
            await self.apply_tune(job)
        return {r: {k: row[k] for k in self.TUNE_KEYS}
                for r, row in (await self.tune_result(job))["units"].items()}

    async def apply_tune(self, job):
        """Sets the proposed bias of every accepted unit of a finished tune (verified;
        ServiceError names the units that did not echo) and keeps the calibrations."""
        return await self._post(f"/api/jobs/{_job_id(job)}/apply",
                                timeout=max(self.timeout, 60))

    async def calibrations(self, units=None, since=None, until=None, limit=1000):
        """Calibrations kept in the archive, newest first (per unit: the fitted
        values, the bias set, the policy, board temperatures, the tune's job id)."""
        path = _log_path("/api/calibrations", since, until, limit)
        if units is not None:
            path += "&units=" + urllib.parse.quote(unit_query(units))
        return (await self._get(path))["calibrations"]

    async def latest_iv(self):
        return {int(r): c for r, c in (await self._get("/api/iv"))["curves"].items()}

    # -- history and alarms -------------------------------------------------------

    async def history(self, units, quantity="rate", since=None, until=None, resolution=None):
        """{rank: {"time", "value"[, "min", "max", "n"]}} as numpy arrays, from the
        archive.  Times are unix seconds (a negative since counts back from now);
        binned series give the bin start and the mean."""
        query = {"units": unit_query(units), "quantity": str(quantity)}
        return await self._series("/api/history", query, since, until, resolution)

    async def board_history(self, boards=None, quantity="temp1", since=None, until=None,
                            resolution=None):
        """{mcuId: {"time", "value", ...}} of a board quantity (temp1, temp2, pll, status)."""
        query = {"quantity": str(quantity)}
        if boards is not None:
            boards = [boards] if isinstance(boards, (int, np.integer)) else list(boards)
            query["boards"] = ",".join(str(_checked(schema.number, _plain(b), "boards",
                                                    integer=True, low=0, high=255))
                                       for b in boards)
        return await self._series("/api/history/boards", query, since, until, resolution)

    async def _series(self, path, query, since, until, resolution):
        query.update(time_query(since, until, resolution))
        data = await self._get(f"{path}?{urllib.parse.urlencode(query)}")
        # a site names its series NODE/RANK, a node by rank
        return {int(key) if key.isdigit() else key: _arrays(entry, text_values=True)
                for key, entry in data["series"].items()}

    async def alarms(self):
        """The shown alarms, newest first (active, acknowledged, or cleared but
        not yet acknowledged)."""
        return (await self._get("/api/alarms"))["alarms"]

    async def ack(self, alarm, comment=None):
        """Acknowledges an alarm (its id or its dict); returns the alarm."""
        body = {} if comment is None else {"comment": comment}
        _checked(schema.ack_request, body)
        return await self._post(f"/api/alarms/{_job_id(alarm)}/ack", body)

    async def settings_log(self, since=None, until=None, limit=1000):
        """Settings changes, newest first."""
        return (await self._get(_log_path("/api/log/settings", since, until, limit)))["changes"]

    async def alarm_log(self, since=None, until=None, limit=1000):
        """Alarm transitions, newest first."""
        path = _log_path("/api/log/alarms", since, until, limit)
        return (await self._get(path))["transitions"]

    async def export(self, path, units, since=None, until=None, resolution=None, format=None):
        """Saves the archived series of `units` in [since, until] as HDF5 or CSV
        (from `path`'s suffix unless given); returns path."""
        query = {"units": unit_query(units), "format": _format_of(path, format)}
        query.update(time_query(since, until, resolution))
        payload = await self._get(f"/api/export?{urllib.parse.urlencode(query)}", raw=True,
                                  timeout=max(self.timeout, 300))
        await asyncio.to_thread(_write_file, path, payload)
        return path

    # -- live --------------------------------------------------------------------

    def live(self, rate=2.0, mode="summary", units=None):
        """`async for message in client.live(...)`: live messages as dicts (hello,
        summary or records, event); leaving the loop disconnects."""
        query = {"rate": repr(float(rate)) if isinstance(rate, (int, float, np.number))
                 and not isinstance(rate, bool) else str(rate), "mode": mode}
        if units is not None:
            query["units"] = unit_query(units)
        _checked(schema.live_options, query)
        return self._live("ws" + self.url[4:] + "/api/live?" + urllib.parse.urlencode(query))

    async def _live(self, ws_url):
        import aiohttp
        try:
            ws = await self._http().ws_connect(ws_url, headers=self._headers(),
                                               ssl=self._ssl or True)
        except aiohttp.WSServerHandshakeError as exc:
            raise ServiceError(f"live stream refused: {exc.status} {exc.message}",
                               exc.status) from None
        except (aiohttp.ClientError, OSError) as exc:
            raise self._unreachable(exc) from None
        try:
            async for msg in ws:
                if msg.type != aiohttp.WSMsgType.TEXT:
                    break
                yield json.loads(msg.data)
        finally:
            await ws.close()


def _log_path(path, since, until, limit):
    query = {"limit": check_limit(limit), **time_query(since, until)}
    return f"{path}?{urllib.parse.urlencode(query)}"


def _write_file(path, payload):
    with open(path, "wb") as fh:
        fh.write(payload)


# -- the same methods for callers that do not await ----------------------------

class _LoopThread:
    """One private event loop in a daemon thread for every synchronous client
    of the process: the caller's own thread may run a loop (a notebook) or not."""

    _lock = threading.Lock()
    _instance = None

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.clients = set()       # AsyncClients whose connections are still to be closed
        self.thread = threading.Thread(target=self.loop.run_forever, name="vantor-client",
                                       daemon=True)
        self.thread.start()
        atexit.register(self.stop)

    @classmethod
    def get(cls):
        with cls._lock:
            if cls._instance is None:
                cls._instance = cls()
            return cls._instance

    def run(self, awaitable):
        if threading.current_thread() is self.thread:
            awaitable.close()
            raise RuntimeError("a synchronous vantor Client cannot be called from its own "
                               "callbacks; use AsyncClient there")
        return asyncio.run_coroutine_threadsafe(_awaited(awaitable), self.loop).result()

    def release(self, client):
        """Closes a client's connections once its Client is gone."""
        if self.loop.is_running():
            asyncio.run_coroutine_threadsafe(client.close(), self.loop)
        self.clients.discard(client)

    def stop(self):
        """Closes the clients' connections and the loop at interpreter exit."""
        async def close_all():
            await asyncio.gather(*(c.close() for c in list(self.clients)),
                                 return_exceptions=True)
        try:
            asyncio.run_coroutine_threadsafe(close_all(), self.loop).result(timeout=2)
        except Exception:
            pass
        self.loop.call_soon_threadsafe(self.loop.stop)


async def _awaited(awaitable):
    return await awaitable


def _sync(name):
    method = getattr(AsyncClient, name)

    def call(self, *args, **kwargs):
        return self._runner.run(method(self._async, *args, **kwargs))

    call.__name__, call.__qualname__, call.__doc__ = name, f"Client.{name}", method.__doc__
    return call


class Client:
    """The AsyncClient's methods, each returning when done."""

    def __init__(self, url=None, token=None, *, timeout=30.0, via="client", cafile=None,
                 data_dir=None):
        self._async = AsyncClient(url, token, timeout=timeout, via=via, cafile=cafile,
                                  data_dir=data_dir)
        self._runner = _LoopThread.get()
        self._runner.clients.add(self._async)
        weakref.finalize(self, self._runner.release, self._async)

    url = property(lambda self: self._async.url)
    token = property(lambda self: self._async.token)
    timeout = property(lambda self: self._async.timeout)
    via = property(lambda self: self._async.via)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def live(self, rate=2.0, mode="summary", units=None):
        """An iterator of live messages (dicts: hello, summary or records, event);
        close() it, or leave the loop, to disconnect."""
        return LiveStream(self, self._async.live(rate, mode, units))


SYNC_METHODS = ("available", "snapshot", "units", "unit", "boards", "limits", "configure",
                "jobs", "job", "cancel", "submit_iv", "submit_acquire", "wait", "result",
                "download", "iv", "acquire", "submit_tune", "tune_result", "tune", "apply_tune",
                "calibrations", "latest_iv", "history", "board_history",
                "alarms", "ack", "settings_log", "alarm_log", "export", "close",
                "_get", "_post")        # the last two: raw requests, for tests and tools
for _name in SYNC_METHODS:
    setattr(Client, _name, _sync(_name))
del _name


class LiveStream:
    """An AsyncClient's live stream read from a thread that does not await:
    each next() waits for the next message on the client's private loop."""

    def __init__(self, client, stream):
        # holds the client: its connections close when it is collected
        self._client, self._runner, self._stream = client, client._runner, stream
        try:
            self._first = self._runner.run(stream.__anext__())    # connects, or says why not
        except StopAsyncIteration:
            self._first, self._stream = None, None

    def __iter__(self):
        return self

    def __next__(self):
        if self._first is not None:
            message, self._first = self._first, None
            return message
        if self._stream is None:
            raise StopIteration
        try:
            return self._runner.run(self._stream.__anext__())
        except StopAsyncIteration:
            self._stream = None
            raise StopIteration from None

    def close(self):
        if self._stream is not None:
            stream, self._stream = self._stream, None
            self._runner.run(stream.aclose())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_stream", None) is not None:
            try:
                self.close()
            except Exception:
                pass

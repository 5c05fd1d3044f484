"""Python client of a running `vantor serve`, for scripts and notebooks.

    from vantor.client import Client
    c = Client()                                  # your running service, or $VANTOR_URL
    c.configure([1, "0.3"], biasI=1.5e-5)         # returns once every unit echoes it
    curves = c.iv([1, 2], start=0, stop=3e-5, step=1e-6, point_steps=10)
    curves[1]["counts"]                           # numpy arrays
    data = c.acquire(["0.3"], seconds=10)
    for message in c.live(rate=2):                # summaries and events, as dicts
        ...

Units are ranks (5) or MCU.CU names ("0.3").  Every failure of the service
raises ServiceError with its message (and HTTP status).

Without a URL or token the client takes those of the service this user runs
(from its data directory, $VANTOR_DATA or the default one): its address, its
certificate when it serves HTTPS, and the user's operator token, which it
sends only to that service's loopback address."""
import asyncio
import json
import os
import ssl
import time
import urllib.error
import urllib.parse
import urllib.request

import numpy as np

from vantor import schema

DEFAULT_URL = "http://127.0.0.1:8765"
FINISHED = ("done", "failed", "cancelled")


class ServiceError(RuntimeError):
    def __init__(self, message, status=None, job=None):
        super().__init__(message)
        self.status, self.job = status, job


def _checked(check, *args):
    """check(*args), its SchemaError raised as the service would answer it
    (ServiceError with status 400), before anything is sent."""
    try:
        return check(*args)
    except schema.SchemaError as exc:
        raise ServiceError(str(exc), 400) from None


class Client:
    def __init__(self, url=None, token=None, *, timeout=30.0, via="client", cafile=None,
                 data_dir=None):
        from vantor.service.local import found_credentials, found_url

        self.url = (url or os.environ.get("VANTOR_URL") or found_url(data_dir)
                    or DEFAULT_URL).rstrip("/")
        found_token, found_cert = found_credentials(self.url, data_dir)
        self.token = token or os.environ.get("VANTOR_TOKEN") or found_token
        self.timeout = timeout
        self.via = via
        cafile = cafile or os.environ.get("VANTOR_CA_FILE") or found_cert
        self._ssl = None
        if self.url.startswith("https:"):
            try:
                self._ssl = ssl.create_default_context(cafile=cafile)
            except (OSError, ssl.SSLError) as exc:
                raise ServiceError(f"certificate file {cafile}: {exc}") from None

    # -- HTTP --------------------------------------------------------------------

    def _request(self, method, path, body=None, *, timeout=None, raw=False):
        data = None if body is None else json.dumps(body, allow_nan=False).encode()
        req = urllib.request.Request(self.url + path, data=data, method=method)
        req.add_header("X-Vantor-Via", self.via)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        if self.token:
            req.add_header("Authorization", f"Bearer {self.token}")
        try:
            with urllib.request.urlopen(req, timeout=timeout or self.timeout,
                                        context=self._ssl) as resp:
                payload = resp.read()
        except urllib.error.HTTPError as exc:
            text = exc.read()
            try:
                message = json.loads(text)["error"]
            except (ValueError, KeyError, TypeError):
                message = text.decode(errors="replace") or exc.reason
            raise ServiceError(message, exc.code) from None
        except (urllib.error.URLError, ConnectionError, TimeoutError) as exc:
            reason = getattr(exc, "reason", exc)
            if isinstance(reason, ssl.SSLCertVerificationError):
                raise ServiceError(f"the certificate of {self.url} is not trusted "
                                   f"({reason.verify_message}): pass cafile=, or set "
                                   "$VANTOR_CA_FILE, to the service's certificate") from None
            raise ServiceError(f"no vantor service answers at {self.url} ({reason}); start one "
                               "with `vantor serve`") from None
        return payload if raw else json.loads(payload)

    def _get(self, path, **kw):
        return self._request("GET", path, **kw)

    def _post(self, path, body=None, **kw):
        return self._request("POST", path, body if body is not None else {}, **kw)

    def available(self):
        """True when a service answers at this URL."""
        try:
            self._get("/api/status", timeout=2.0)
            return True
        except ServiceError as exc:
            return exc.status is not None

    # -- units and settings ------------------------------------------------------

    def snapshot(self):
        return self._get("/api/snapshot")

    def units(self):
        return self._get("/api/units")["units"]

    def unit(self, unit):
        return self._get(f"/api/units/{urllib.parse.quote(str(unit), safe='')}")

    def boards(self):
        return self._get("/api/boards")["boards"]

    def limits(self):
        return self._get("/api/settings/limits")

    def configure(self, units, timeout=None, **fields):
        """Writes `fields` into every unit's configuration; returns the units
        once each echoes the new settings, ServiceError naming those that did not."""
        body = {"units": _units(units), "settings": fields}
        if timeout is not None:
            body["timeout"] = timeout
        _checked(schema.settings_request, body)
        wait = (timeout or 5.0) + 10.0
        return self._post("/api/settings", body, timeout=wait)["units"]

    # -- jobs --------------------------------------------------------------------

    def jobs(self):
        return self._get("/api/jobs")["jobs"]

    def job(self, job):
        return self._get(f"/api/jobs/{_job_id(job)}")

    def cancel(self, job):
        return self._post(f"/api/jobs/{_job_id(job)}/cancel")

    def submit_iv(self, units, start=None, stop=None, step=None, point_steps=None, timeout=None):
        body = {"units": _units(units)}
        for name, value in (("start", start), ("stop", stop), ("step", step),
                            ("point_steps", point_steps), ("timeout", timeout)):
            if value is not None:
                body[name] = value
        _checked(schema.iv_request, body)
        return self._post("/api/jobs/iv", body)

    def submit_acquire(self, units, seconds):
        body = {"units": _units(units), "seconds": seconds}
        _checked(schema.acquire_request, body)
        return self._post("/api/jobs/acquire", body)

    def wait(self, job, poll=0.2, progress=None):
        """The job once it finished; ServiceError unless it is done.
        `progress(job)` is called on every poll."""
        while True:
            state = self.job(job)
            if progress is not None:
                progress(state)
            if state["state"] in FINISHED:
                break
            time.sleep(poll)
        if state["state"] != "done":
            raise ServiceError(f"job {state['id']} {state['state']}: {state['message']}",
                               job=state)
        return state

    def result(self, job):
        """The job's result: {rank: {column: numpy array}} plus "attrs"."""
        data = self._get(f"/api/jobs/{_job_id(job)}/result")
        out = {int(rank): {name: (np.asarray(values, dtype=float) if isinstance(values, list)
                                  else values)
                           for name, values in ch.items()}
               for rank, ch in data["channels"].items()}
        return out

    def download(self, job, path, format=None):
        """Saves the job's file (HDF5 or CSV, from `path`'s suffix unless given)."""
        fmt = format or ("csv" if str(path).lower().endswith(".csv") else "h5")
        payload = self._get(f"/api/jobs/{_job_id(job)}/file?format={fmt}", raw=True)
        with open(path, "wb") as fh:
            fh.write(payload)
        return path

    def iv(self, units, start=None, stop=None, step=None, point_steps=None, timeout=None):
        """Runs an IV sweep and returns {rank: {"biasI", "counts", "monitorV"}}."""
        job = self.submit_iv(units, start, stop, step, point_steps, timeout)
        self.wait(job)
        return {r: {k: ch[k] for k in ("biasI", "counts", "monitorV")}
                for r, ch in self.result(job).items()}

    def acquire(self, units, seconds):
        """Records for `seconds`; returns {rank: {"time", "counts", "monitorV"}}."""
        job = self.submit_acquire(units, seconds)
        self.wait(job)
        return {r: {k: ch[k] for k in ("time", "counts", "monitorV")}
                for r, ch in self.result(job).items()}

    # -- operating points -------------------------------------------------------

    TUNE_KEYS = ("status", "switching_current", "plateau_onset", "plateau_rate",
                 "proposed_bias", "reason")

    def submit_tune(self, units, start=None, stop=None, step=None, point_steps=None,
                    policy="fraction", fraction=0.9, margin=None, onset_fraction=0.9,
                    dark_job=None):
        """Queues a tune (a sweep of `units`, then every curve judged); returns the job."""
        body = {"units": _units(units), "policy": policy, "fraction": fraction,
                "onset_fraction": onset_fraction}
        for name, value in (("start", start), ("stop", stop), ("step", step),
                            ("point_steps", point_steps), ("margin", margin),
                            ("dark_job", None if dark_job is None else _job_id(dark_job))):
            if value is not None:
                body[name] = value
        return self._post("/api/jobs/tune", body)

    def tune_result(self, job):
        """The whole judgement of a finished tune: {"units": {rank: row}, "policy",
        "temperatures", "applied", ...} (rows with their details and names)."""
        data = self._get(f"/api/jobs/{_job_id(job)}/tune")
        data["units"] = {int(r): row for r, row in data["units"].items()}
        return data

    def tune(self, units, start=None, stop=None, step=None, point_steps=None,
             policy="fraction", fraction=0.9, margin=None, onset_fraction=0.9, apply=False):
        """Sweeps `units`, judges every curve and returns {rank: {"status",
        "switching_current", "plateau_onset", "plateau_rate", "proposed_bias",
        "reason"}} once done; with apply=True the proposed biases are then set."""
        job = self.submit_tune(units, start, stop, step, point_steps, policy, fraction, margin,
                               onset_fraction)
        self.wait(job)
        if apply:
            self.apply_tune(job)
        return {r: {k: row[k] for k in self.TUNE_KEYS}
                for r, row in self.tune_result(job)["units"].items()}

    def apply_tune(self, job):
        """Sets the proposed bias of every accepted unit of a finished tune (verified;
        ServiceError names the units that did not echo) and keeps the calibrations."""
        return self._post(f"/api/jobs/{_job_id(job)}/apply", timeout=max(self.timeout, 60))

    def calibrations(self, units=None, since=None, until=None, limit=1000):
        """Calibrations kept in the archive, newest first (per unit: the fitted
        values, the bias set, the policy, board temperatures, the tune's job id)."""
        path = self._log_path("/api/calibrations", since, until, limit)
        if units is not None:
            path += "&units=" + urllib.parse.quote(",".join(str(u) for u in _units(units)))
        return self._get(path)["calibrations"]

    def latest_iv(self):
        return {int(r): c for r, c in self._get("/api/iv")["curves"].items()}

    # -- history and alarms -------------------------------------------------------

    def history(self, units, quantity="rate", since=None, until=None, resolution=None):
        """{rank: {"time", "value"[, "min", "max", "n"]}} as numpy arrays, from the
        archive.  Times are unix seconds (a negative since counts back from now);
        binned series give the bin start and the mean."""
        query = {"units": _unit_query(units), "quantity": quantity}
        return self._series("/api/history", query, since, until, resolution)

    def board_history(self, boards=None, quantity="temp1", since=None, until=None,
                      resolution=None):
        """{mcuId: {"time", "value", ...}} of a board quantity (temp1, temp2, pll, status)."""
        query = {"quantity": quantity}
        if boards is not None:
            query["boards"] = ",".join(str(int(b)) for b in
                                       ([boards] if isinstance(boards, int) else boards))
        return self._series("/api/history/boards", query, since, until, resolution)

    def _series(self, path, query, since, until, resolution):
        query.update(_time_query(since, until, resolution))
        data = self._get(f"{path}?{urllib.parse.urlencode(query)}")
        return {int(key): {name: (np.asarray(values, dtype=object if name == "value" and
                                             values and isinstance(values[0], str) else float)
                                  if isinstance(values, list) else values)
                           for name, values in entry.items()}
                for key, entry in data["series"].items()}

    def alarms(self):
        """The shown alarms, newest first (active, acknowledged, or cleared but
        not yet acknowledged)."""
        return self._get("/api/alarms")["alarms"]

    def ack(self, alarm, comment=None):
        """Acknowledges an alarm (its id or its dict); returns the alarm."""
        body = {} if comment is None else {"comment": comment}
        _checked(schema.ack_request, body)
        return self._post(f"/api/alarms/{_job_id(alarm)}/ack", body)

    def settings_log(self, since=None, until=None, limit=1000):
        """Settings changes, newest first."""
        return self._get(self._log_path("/api/log/settings", since, until, limit))["changes"]

    def alarm_log(self, since=None, until=None, limit=1000):
        """Alarm transitions, newest first."""
        return self._get(self._log_path("/api/log/alarms", since, until, limit))["transitions"]

    @staticmethod
    def _log_path(path, since, until, limit):
        query = {"limit": int(limit), **_time_query(since, until)}
        return f"{path}?{urllib.parse.urlencode(query)}"

    def export(self, path, units, since=None, until=None, resolution=None, format=None):
        """Saves the archived series of `units` in [since, until] as HDF5 or CSV
        (from `path`'s suffix unless given); returns path."""
        fmt = format or ("csv" if str(path).lower().endswith(".csv") else "h5")
        query = {"units": _unit_query(units), "format": fmt,
                 **_time_query(since, until, resolution)}
        payload = self._get(f"/api/export?{urllib.parse.urlencode(query)}", raw=True,
                            timeout=max(self.timeout, 300))
        with open(path, "wb") as fh:
            fh.write(payload)
        return path

    # -- live --------------------------------------------------------------------

    def live(self, rate=2.0, mode="summary", units=None):
        """An iterator of live messages (dicts: hello, summary or records, event);
        close() it, or leave the loop, to disconnect."""
        query = {"rate": repr(float(rate)) if isinstance(rate, (int, float)) else rate,
                 "mode": mode}
        if units is not None:
            query["units"] = _unit_query(units)
        _checked(schema.live_options, query)
        ws_url = "ws" + self.url[4:] + "/api/live?" + urllib.parse.urlencode(query)
        headers = {"Authorization": f"Bearer {self.token}"} if self.token else {}
        return LiveStream(ws_url, self.timeout, headers, self._ssl)


class LiveStream:
    """A WebSocket read synchronously: each next() runs a private event loop
    until the next message arrives."""

    def __init__(self, url, timeout, headers=None, ssl_context=None):
        import aiohttp

        self._loop = asyncio.new_event_loop()
        self._ws = None

        async def connect():
            session = aiohttp.ClientSession()
            try:
                ws = await session.ws_connect(url, headers=headers or {},
                                              ssl=ssl_context if ssl_context else True)
            except aiohttp.WSServerHandshakeError as exc:
                await session.close()
                raise ServiceError(f"live stream refused: {exc.status} {exc.message}",
                                   exc.status) from None
            except (aiohttp.ClientError, OSError) as exc:
                await session.close()
                raise ServiceError(f"no vantor service answers at {url} ({exc})") from None
            return session, ws

        try:
            self._session, self._ws = self._loop.run_until_complete(connect())
        except BaseException:
            self._loop.close()
            raise

    def __iter__(self):
        return self

    def __next__(self):
        import aiohttp

        if self._ws is None:
            raise StopIteration
        msg = self._loop.run_until_complete(self._ws.receive())
        if msg.type == aiohttp.WSMsgType.TEXT:
            return json.loads(msg.data)
        self.close()
        raise StopIteration

    def close(self):
        if self._ws is not None:
            self._loop.run_until_complete(self._ws.close())
            self._loop.run_until_complete(self._session.close())
            self._ws = None
            self._loop.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_ws", None) is not None:
            try:
                self.close()
            except Exception:
                pass


def _units(units):
    if isinstance(units, (int, str)):
        units = [units]
    return [u if isinstance(u, (int, str)) else int(u) for u in units]


def _unit_query(units):
    return ",".join(str(u) for u in _checked(schema.unit_names, _units(units)))


def _time_query(since=None, until=None, resolution=None):
    """The query items of a time range, checked as the service checks them."""
    query = {}
    for name, value in (("since", since), ("until", until), ("resolution", resolution)):
        if value is not None:
            query[name] = repr(float(value)) if isinstance(value, (int, float)) else str(value)
    _checked(schema.query_time, query.get("since"), "since", None)
    _checked(schema.query_time, query.get("until"), "until", None)
    _checked(schema.query_resolution, query.get("resolution"))
    return query


def _job_id(job):
    return job["id"] if isinstance(job, dict) else str(job)

"""Real peers of a site for tests: `vantor site` as a process, and a node's
side of the bus (what `vantor serve --node` publishes and answers), run on
its own event loop in a thread so plain tests can drive it."""
import asyncio
import json
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import numpy as np

from vantor.host.readmodel import WINDOW_DTYPE
from vantor.site import protocol

from .service_process import vantor_env, wait_for_serving


class SiteProcess:
    def __init__(self, *args, ready_timeout=30.0):
        self.args = list(args)
        if "--http" not in self.args:
            self.args += ["--http", "127.0.0.1:0"]
        self.proc = subprocess.Popen([sys.executable, "-m", "vantor", "site", *self.args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=vantor_env(), start_new_session=True)
        self.url, _ = wait_for_serving(self.proc, ready_timeout, "vantor site")

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=30) as answer:
            return json.loads(answer.read())

    def post(self, path, body):
        request = urllib.request.Request(self.url + path, data=json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                return answer.status, json.loads(answer.read())
        except urllib.error.HTTPError as exc:
            return exc.code, json.loads(exc.read())

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        return self.proc.returncode, out, err


def window_rows(ranks, end_time, counts=100):
    rows = np.zeros(len(ranks), WINDOW_DTYPE)
    rows["rank"] = ranks
    rows["mcuId"] = (np.asarray(ranks) - 1) // 8
    rows["cuId"] = (np.asarray(ranks) - 1) % 8
    rows["counts"] = counts
    rows["intSize"] = 10
    rows["received"] = 10
    rows["rate"] = counts * 10.0
    rows["monitorV"] = 1.5
    rows["time"] = end_time
    rows["timestamp"] = end_time * 100
    return rows


def unit_answers(ranks):
    return [{"rank": r, "name": f"{(r - 1) // 8}.{(r - 1) % 8}", "mcuId": (r - 1) // 8,
             "cuId": (r - 1) % 8, "status": "ok", "config": {"biasI": 1e-5}} for r in ranks]


class BusNode:
    """A node on the bus: publishes windows (through JetStream, so each send
    is known to be in the stream), state and heartbeats, and answers commands
    as a node's HTTP routes would (`answers`: verb -> (status, body); every
    request received is kept in `requests`)."""

    def __init__(self, url, name, ranks=range(1, 5), heartbeat_s=0.2):
        self.url, self.name, self.ranks = url, name, list(ranks)
        self.heartbeat_s = heartbeat_s
        self.answers = {}
        self.requests = []
        self.sent = []              # (rank, window end time) of every published window
        self.beating = True
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.nc = self._call(self._connect())
        self._beat = asyncio.run_coroutine_threadsafe(self._heartbeats(), self.loop)

    def _call(self, coroutine, timeout=30):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)

    async def _connect(self):
        import nats
        nc = await nats.connect(self.url, name=f"test-node-{self.name}",
                                max_reconnect_attempts=-1, reconnect_time_wait=0.2)
        self.js = nc.jetstream()
        from nats.js.errors import NotFoundError
        try:                             # a node makes the stream when it is missing
            await self.js.stream_info(protocol.STREAM)
        except NotFoundError:
            await self.js.add_stream(name=protocol.STREAM, subjects=protocol.stream_subjects())
        await nc.subscribe(protocol.subject(self.name, "cmd.*"), cb=self._command)
        return nc

    async def _command(self, msg):
        verb = msg.subject.rsplit(".", 1)[1]
        self.requests.append((verb, json.loads(msg.data)))
        status, body = self.answers.get(verb, (200, {"ok": True}))
        await msg.respond(protocol.encode_json({"status": status, "body": body}))

    async def _heartbeats(self):
        while True:
            if self.beating and self.nc.is_connected:
                await self.nc.publish(protocol.subject(self.name, "heartbeat"), protocol.encode_json(
                    {"node": self.name, "time": time.time(), "units": len(self.ranks),
                     "http": None, "buffered": 0, "dropped": 0, "version": 1}))
            await asyncio.sleep(self.heartbeat_s)

    async def _stream(self, kind, data):
        # the bus may be away for a while (a test stops it): try until it is back
        for _ in range(600):
            try:
                await self.js.publish(protocol.subject(self.name, kind), data, timeout=2)
                return
            except Exception:
                await asyncio.sleep(0.1)
        raise AssertionError(f"{self.name}: the stream did not take a {kind} message")

    def state(self, parts=1):
        """A snapshot of every unit, in `parts` messages of one time."""
        now, units = time.time(), unit_answers(self.ranks)
        for k in range(parts):
            message = {"node": self.name, "time": now, "units": units[k::parts]}
            if parts > 1:
                message.update(part=k + 1, parts=parts)
            self._call(self._stream("state", protocol.encode_json(message)))

    def windows(self, batches=1, start=None, step=0.1, timeout=120):
        """`batches` batches of one window per unit, ends `step` apart."""
        start = time.time() if start is None else start

        async def send():
            for k in range(batches):
                end = start + k * step
                await self._stream("windows", protocol.encode_windows(
                    self.name, end, window_rows(self.ranks, end)))
                self.sent += [(r, end) for r in self.ranks]
        self._call(send(), timeout)

    def raw(self, kind, data):
        self._call(self._stream(kind, data))

    def close(self):
        self._beat.cancel()
        try:
            self._call(self.nc.close(), timeout=10)
        except Exception:
            pass
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)

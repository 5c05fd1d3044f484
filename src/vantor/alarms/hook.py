"""Runs the site's command once per alarm transition, the alarm as JSON on
its standard input, so mail, chat or a pager can be attached without the
service knowing them.  Runs are queued and made one after the other, so a
pager sees an alarm's transitions in order; the caller never waits, and a
failing, hanging or missing command is logged and counted, nothing more.
A command still running when the service dies ends with it."""
import asyncio
import json
import logging
import os
import shutil

log = logging.getLogger("vantor.alarms.hook")
QUEUE_LIMIT = 200
RUNNERS = 1
_SETPRIV = shutil.which("setpriv")


def with_parent(argv):
    """`argv` run so that it ends when the service dies, however it dies:
    util-linux's setpriv asks the kernel for a parent-death signal, which
    outlives the exec of the command (unchanged where there is no setpriv)."""
    return [_SETPRIV, "--pdeathsig", "KILL", "--", *argv] if _SETPRIV else list(argv)


class HookRunner:
    def __init__(self, argv, timeout=10.0, *, on_result=None):
        self.argv = tuple(argv)
        self.timeout = timeout
        self.on_result = on_result        # called with a dict per finished run
        self.runs = self.failures = self.skipped = 0
        self.last_error = None
        self._queue = None
        self._tasks = []

    def start(self):
        self._queue = asyncio.Queue(QUEUE_LIMIT)
        self._tasks = [asyncio.get_running_loop().create_task(self._serve())
                       for _ in range(RUNNERS)]
        return self

    async def stop(self):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks = []

    def status(self):
        return {"command": list(self.argv), "runs": self.runs, "failures": self.failures,
                "skipped": self.skipped, "last_error": self.last_error}

    def __call__(self, alarm):
        """An engine listener: queue one run for this transition."""
        if not self.argv or self._queue is None:
            return
        try:
            self._queue.put_nowait(alarm)
        except asyncio.QueueFull:
            self.skipped += 1
            self._failed(alarm, f"alarm hook: {QUEUE_LIMIT} runs waiting, "
                                f"skipped the one for alarm {alarm['id']}")

    async def _serve(self):
        while True:
            alarm = await self._queue.get()
            await self.run(alarm)

    async def run(self, alarm):
        self.runs += 1
        data = json.dumps(alarm).encode() + b"\n"
        env = dict(os.environ, VANTOR_ALARM_ID=str(alarm["id"]),
                   VANTOR_ALARM_STATE=alarm["state"],
                   VANTOR_ALARM_TRANSITION=str(alarm.get("transition")))
        try:
            proc = await asyncio.create_subprocess_exec(
                *with_parent(self.argv), stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.DEVNULL,
                stderr=asyncio.subprocess.PIPE, env=env, start_new_session=True)
        except OSError as exc:
            return self._failed(alarm, f"alarm hook {self.argv[0]}: {exc.strerror or exc}")
        try:
            _, err = await asyncio.wait_for(proc.communicate(data), self.timeout)
        except asyncio.TimeoutError:
            proc.kill()
            await proc.wait()
            return self._failed(alarm, f"alarm hook {self.argv[0]}: no exit within "
                                       f"{self.timeout:g} s, killed")
        except (BrokenPipeError, ConnectionResetError):
            err = b""                     # it did not read stdin; its exit status decides
            await proc.wait()
        if proc.returncode != 0:
            text = err.decode(errors="replace").strip().splitlines()
            detail = f": {text[-1]}" if text else ""
            return self._failed(alarm, f"alarm hook {self.argv[0]} exited with status "
                                       f"{proc.returncode}{detail}")
        self._result(alarm, True, None)

    def _failed(self, alarm, message):
        self.failures += 1
        self.last_error = message
        log.error("%s (alarm %s %s)", message, alarm["id"], alarm.get("transition"))
        self._result(alarm, False, message)

    def _result(self, alarm, ok, error):
        if self.on_result is not None:
            try:
                self.on_result({"kind": "alarm_hook", "alarm": alarm["id"],
                                "transition": alarm.get("transition"), "ok": ok, "error": error})
            except Exception:
                log.exception("alarm hook result listener failed")

"""The alarm command hook with real processes: the alarm JSON arrives on the
command's standard input, and a failing, missing or hanging command is
reported while the caller never waits."""
import asyncio
import json
import sys
import time

import pytest

from vantor.alarms import AlarmEngine, HookRunner


async def until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        await asyncio.sleep(0.01)


def test_each_transition_runs_the_command_with_the_alarm_json(tmp_path):
    out = tmp_path / "alarms.jsonl"
    script = ("import sys, os; data = sys.stdin.read(); "
              f"open({str(out)!r}, 'a').write(os.environ['VANTOR_ALARM_TRANSITION'] + ' ' + data)")
    results = []

    async def main():
        runner = HookRunner([sys.executable, "-c", script], on_result=results.append).start()
        engine = AlarmEngine()
        engine.listeners.append(runner)
        raised = engine.set("pll", "board 0", True, "board 0: PLL not locked")
        await until(lambda: len(results) == 1)      # one at a time keeps the file's order
        engine.acknowledge(raised["id"], "looking")
        await until(lambda: len(results) == 2)
        engine.set("pll", "board 0", False)
        await until(lambda: len(results) == 3)
        await runner.stop()
        return runner

    runner = asyncio.run(main())
    lines = out.read_text().splitlines()
    transitions = [line.split(" ", 1)[0] for line in lines]
    alarms = [json.loads(line.split(" ", 1)[1]) for line in lines]
    assert transitions == ["raised", "acknowledged", "cleared"]
    assert [a["state"] for a in alarms] == ["active", "acknowledged", "cleared"]
    assert alarms[1]["comment"] == "looking" and alarms[0]["subject"] == "board 0"
    assert runner.status()["failures"] == 0 and all(r["ok"] for r in results)


@pytest.mark.parametrize("argv,message", [
    ([sys.executable, "-c", "import sys; sys.stderr.write('smtp refused\\n'); sys.exit(3)"],
     "exited with status 3: smtp refused"),
    (["/nonexistent/pager-hook"], "/nonexistent/pager-hook: No such file or directory"),
    ([sys.executable, "-c", "import time; time.sleep(30)"], "no exit within 0.3 s, killed"),
    ([sys.executable, "-c", "import os; os.close(0)"], None),   # ignores stdin, exits 0: fine
])
def test_failing_hooks_are_reported_never_waited_for(argv, message):
    results = []

    async def main():
        runner = HookRunner(argv, timeout=0.3, on_result=results.append).start()
        engine = AlarmEngine()
        engine.listeners.append(runner)
        started = time.monotonic()
        engine.set("loss", "datagrams", True, "5 % lost")
        spent = time.monotonic() - started
        await until(lambda: results)
        await runner.stop()
        return runner, spent

    runner, spent = asyncio.run(main())
    assert spent < 0.1
    if message is None:
        assert results[0]["ok"] and runner.failures == 0
    else:
        assert not results[0]["ok"] and message in results[0]["error"]
        assert runner.status()["failures"] == 1 and message in runner.status()["last_error"]

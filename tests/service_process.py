"""`vantor serve` as a real process for tests: started with `--http
127.0.0.1:0`, its URL read from the line it prints once ready."""
import os
import pathlib
import signal
import subprocess
import sys
import time


def vantor_env(**extra):
    """Environment for a `python -m vantor` child that imports the same vantor
    as this suite: installed, or the source tree."""
    import vantor
    root = pathlib.Path(vantor.__file__).resolve().parent.parent
    return {**os.environ, "PYTHONPATH": str(root), **extra}


def wait_for(condition, timeout=30.0, what="condition"):
    """Polls `condition` until it returns something truthy and returns that;
    fails naming `what` and the last value seen."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = condition()
        if last:
            return last
        time.sleep(0.1)
    raise AssertionError(f"{what}: not within {timeout} s (last seen: {last!r})")


def settings_text(units_per_mcu, head=""):
    """A settings file's text: `head` (top-level keys and tables), then one
    [[mcu]] per entry of `units_per_mcu` with that many units, ranked in order."""
    lines, rank = [head.strip(), ""], 0
    for mcu, count in enumerate(units_per_mcu):
        lines += ["[[mcu]]", f"mcuId = {mcu}"]
        for cu in range(count):
            rank += 1
            lines += ["  [[mcu.unit]]", f"  cuId = {cu}", f"  rank = {rank}"]
    return "\n".join(lines) + "\n"


def wait_for_serving(proc, ready_timeout, what):
    """(URL, lines before it) once `proc` prints its `serving URL` line;
    RuntimeError with all it said when it does not in time."""
    lines, deadline = [], time.monotonic() + ready_timeout
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line)
        if line.startswith("serving "):
            return line.split()[1], lines
    proc.kill()
    out, err = proc.communicate()
    raise RuntimeError(f"{what} did not start: {''.join(lines)}{out}{err}")


class Service:
    def __init__(self, data_dir, *args, ready_timeout=30.0, open_files=None, env=None):
        """`open_files`: the service's limit of open files (soft and hard); `env`:
        variables added to the service's environment."""
        env = vantor_env(**(env or {}))
        self.args = ["--data", str(data_dir), *args]
        if "--http" not in args:
            self.args = ["--http", "127.0.0.1:0", *self.args]
        limit = None
        if open_files is not None:
            def limit():
                import resource
                resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))
        self.proc = subprocess.Popen([sys.executable, "-m", "vantor", "serve", *self.args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=env, start_new_session=True, preexec_fn=limit)
        self.url, self.lines = wait_for_serving(self.proc, ready_timeout, "vantor serve")

    def stop(self, sig=signal.SIGTERM, timeout=20, group=False):
        """Ends the service with `sig` (to its whole process group, as Ctrl-C
        in a terminal does, when `group`); returns (exit status, rest of
        stdout, stderr)."""
        if self.proc.poll() is None:
            if group:
                os.killpg(self.proc.pid, sig)
            else:
                self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out, err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.stop()

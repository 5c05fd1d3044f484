"""Work on whole job results (files, the JSON of a run) in a process of its own.

Writing a run of thousands of channels takes seconds of CPU.  On the event
loop's thread, or in a thread beside it (they share one interpreter lock),
that time is taken from the data path, and datagrams pile up in the kernel
until it drops them.

The helper ends with the service however the service ends: it asks the
kernel for SIGKILL when its parent dies (as the host's worker processes
do), and the resource tracker the standard library starts beside it ends
once the helper and the service are gone (its pipe closes)."""
import asyncio
import concurrent.futures
import json
import multiprocessing
import os
import signal

from vantor.host.lifeline import die_with_parent

from .http import clean


class OffloadError(OSError):
    pass


class Offload:
    def __init__(self):
        self._pool = None

    async def run(self, fn, *args):
        """fn(*args) in the helper process (started on first use)."""
        if self._pool is None:
            # spawn: a fork would copy the loop, sockets and shared memory
            self._pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=1, mp_context=multiprocessing.get_context("spawn"),
                initializer=_helper_start, initargs=(os.getpid(),))
        try:
            return await asyncio.get_running_loop().run_in_executor(self._pool, fn, *args)
        except concurrent.futures.process.BrokenProcessPool:
            self._pool = None           # the next call starts a new one
            raise OffloadError("the process writing results ended unexpectedly") from None

    def close(self):
        if self._pool is not None:
            self._pool.shutdown(wait=False, cancel_futures=True)
            self._pool = None


def _helper_start(service_pid):
    die_with_parent(service_pid)
    # Ctrl-C reaches the whole process group: the service decides when its
    # helper ends (a traceback of the helper would be all the user saw).
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def result_text(run):
    """A Run as the text of its JSON answer."""
    from .jobs import result_json

    return json.dumps(clean(result_json(run)))


def write_file(run, path):
    from vantor.ops import files

    return files.write(run, path)

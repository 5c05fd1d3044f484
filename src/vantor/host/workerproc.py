"""Workers in separate processes, connected to the host through ZMQ over ipc
or tcp on loopback; each process attaches to the same shared-memory block.

The host watches each process's end (its sentinel, at once, not by polling):
a process that dies is announced, its units' records are counted as lost
until a replacement started with the same job reports ready, and the
replacement binds the same units (and so resumes their silence
supervision).  A process also ends by itself when the host dies."""
import asyncio
import multiprocessing
import os
import signal
import time

import zmq
import zmq.asyncio

READY = b"vantor-ready"
FAILED = b"vantor-error"   # a worker raised; the text follows
DONE = b"vantor-done"      # pid, records taken in so far: what a death can have lost
DONE_PERIOD = 0.2          # seconds between those reports
STOP = b"stop"   # shorter than a record: tells a worker process to finish
RECORD = 60      # a message to a worker process holds whole records back to back
RESTART_LIMIT = 3        # deaths in a row, each soon after its start, before giving up
SHORT_LIFE = 5.0         # seconds: a process that dies sooner counts toward the limit


def child_main(job):
    """Entry point of one worker process."""
    from .lifeline import die_with_parent
    die_with_parent(job["parent"])
    signal.signal(signal.SIGINT, signal.SIG_IGN)   # the host decides when to stop
    asyncio.run(_child(job))


async def _child(job):
    from .road import Router
    from .settings import parse_settings
    from .shared import SharedBlock
    from .pump import messages
    from .secure import connect_as_client
    from .workers import WorkerSet

    settings = parse_settings(job["settings"])
    units = [cu for cu in settings.units() if cu.rank in job["ranks"]]
    block = SharedBlock(len(settings.units()), name=job["shm"], create=False)
    ctx = zmq.Context()
    actx = zmq.asyncio.Context.shadow(ctx.underlying)
    curve = job["curve"]
    workers = WorkerSet(units, block, ctx, job["stream_url"], job["update_url"],
                        settings.timeout, curve=curve)
    inbox = actx.socket(zmq.PULL)
    inbox.setsockopt(zmq.LINGER, 0)
    control = ctx.socket(zmq.PUSH)
    control.setsockopt(zmq.LINGER, 1000)
    if curve is not None:
        connect_as_client(inbox, curve)
        connect_as_client(control, curve)
    inbox.connect(job["input_url"])
    control.connect(job["control_url"])
    control.send_multipart([READY, str(job["index"]).encode()])

    def timeout_failed(worker, exc):
        report(f"worker {workers.label_of(worker)} timeout: {type(exc).__name__}: {exc}")

    def worker_failed(mcu, cu, exc):
        report(f"worker {mcu}.{cu}: {type(exc).__name__}: {exc}")

    # The host's router already followed the records' windows; this one
    # only hands each record to its worker.
    router = Router([(cu.mcuId, cu.cuId) for cu in units], block.backend_pair()[0],
                    worker_failed, None)
    router.route(list(workers.workers))

    def report(text):
        try:
            control.send_multipart([FAILED, text.encode()], zmq.NOBLOCK)
        except zmq.ZMQError:
            pass

    taken = 0
    pid = str(os.getpid()).encode()

    async def tell_progress():
        while True:
            await asyncio.sleep(DONE_PERIOD)
            try:
                control.send_multipart([DONE, pid, str(taken).encode()], zmq.NOBLOCK)
            except zmq.ZMQError:
                pass

    watching = asyncio.create_task(workers.watch(timeout_failed).run())
    telling = asyncio.create_task(tell_progress())
    try:
        async for frames in messages(inbox):
            batch = frames[0]
            if len(batch) < RECORD:
                break
            taken += router.take_batch(batch)
    finally:
        watching.cancel()
        telling.cancel()
        router.route([None] * len(units))      # let go of the workers before they close
        workers.close()
        inbox.close(linger=0)
        control.close()
        ctx.destroy(linger=0)
        block.close()


class RemoteWorkers:
    """Host side: one input socket per worker process; the router gathers the
    records bound for each process, and the records of one datagram bound
    for one process travel as one message (a ZMQ send per record would cost
    the host more than the worker's work)."""

    def __init__(self, settings, block, ctx, stream_url, update_url, stats, *, processes,
                 endpoint, control_url, doc, curve=None, on_event=None):
        self.stats = stats
        self.on_event = on_event
        self.mp = multiprocessing.get_context("spawn")
        units = self.units = settings.units()
        processes = max(1, min(processes, len(units)))
        self.router = None                  # set by the data path: it gathers the records
        self.inputs, self.route, self.procs = [], {}, []
        self.jobs = []
        self.pending = [[] for _ in range(processes)]
        self.up = [False] * processes       # reported ready and not ended since
        self.lost = [0] * processes         # records that came while the process was down
        self.sent = [0] * processes         # records sent to the running process
        self.taken = [0] * processes        # ... of which it reported taking in
        self.deaths = 0
        self.failed = set()                 # indexes given up after dying again and again
        self._short_deaths = [0] * processes
        self._started_at = [0.0] * processes
        self._stopping = False
        self._ready_event = asyncio.Event()
        for index in range(processes):
            group = units[index::processes]
            sock = ctx.socket(zmq.PUSH)
            sock.setsockopt(zmq.SNDHWM, 100000)
            sock.setsockopt(zmq.LINGER, 0)
            url = endpoint(sock, f"in{index}")
            self.inputs.append(sock)
            for cu in group:
                self.route[(cu.mcuId, cu.cuId)] = index
            job = {"index": index, "settings": doc, "ranks": {cu.rank for cu in group},
                   "shm": block.name, "input_url": url,
                   "stream_url": stream_url, "update_url": update_url,
                   "control_url": control_url, "parent": os.getpid(),
                   "curve": curve.client_job() if curve is not None else None}
            self.jobs.append(job)
            self.procs.append(None)

    def _spawn(self, index):
        proc = self.mp.Process(target=child_main, args=(self.jobs[index],), daemon=True,
                               name=f"vantor-workers-{index}")
        proc.start()
        self.procs[index] = proc
        self._started_at[index] = time.monotonic()
        asyncio.get_running_loop().add_reader(proc.sentinel, self._ended, index, proc)

    def _ended(self, index, proc):
        """A worker process ended: announce it and start its replacement."""
        loop = asyncio.get_running_loop()
        loop.remove_reader(proc.sentinel)
        proc.join(0)
        if self._stopping or not self._ready_event.is_set():
            return                    # stopping, or start() reports it
        self._set_up(index, False)
        self.deaths += 1
        # What it was sent after its last report of what it took in is
        # counted as lost with it (the records of windows it had not
        # finished are lost as well, and are not counted).
        self.lost[index] += max(0, self.sent[index] - self.taken[index])
        self.sent[index] = self.taken[index] = 0
        code = proc.exitcode
        how = f"signal {-code}" if code is not None and code < 0 else f"exit status {code}"
        self.stats.errors += 1
        self.stats.last_error = f"worker process {index} died ({how})"
        self._announce(index, "died", exitcode=code)
        lived = time.monotonic() - self._started_at[index]
        self._short_deaths[index] = self._short_deaths[index] + 1 if lived < SHORT_LIFE else 0
        if self._short_deaths[index] >= RESTART_LIMIT:
            self.failed.add(index)
            self._announce(index, "failed")
            return
        self._spawn(index)
        self._announce(index, "restarting")

    def _announce(self, index, state, **extra):
        if self.on_event is not None:
            self.on_event({"kind": "worker", "index": index, "state": state,
                           "lost": self._lost(index), **extra, "time": time.time()})

    def state(self):
        return {"processes": len(self.procs), "alive": list(self.up),
                "deaths": self.deaths, "lost": sum(self._lost(i) for i in range(len(self.procs))),
                "failed": sorted(self.failed)}

    async def start(self, timeout=30.0):
        for index in range(len(self.procs)):
            self._spawn(index)
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while not self._ready_event.is_set():
            dead = [p for p in self.procs if p.exitcode is not None]
            if dead:
                raise RuntimeError(f"{dead[0].name} exited with code {dead[0].exitcode} "
                                   "before it was ready")
            if loop.time() > deadline:
                raise TimeoutError("worker processes did not report ready")
            try:
                await asyncio.wait_for(self._ready_event.wait(), 0.1)
            except asyncio.TimeoutError:
                pass

    def control(self, frames):
        """A control message from a worker process: ready, or a worker's failure."""
        if frames and frames[0] == READY:
            index = int(frames[1])
            self._set_up(index, True)
            if self._ready_event.is_set():
                self._announce(index, "restarted")
            elif all(self.up):
                self._ready_event.set()
            return True
        if frames and frames[0] == DONE and len(frames) == 3:
            for index, proc in enumerate(self.procs):
                if proc is not None and str(proc.pid).encode() == frames[1] and self.up[index]:
                    self.taken[index] = int(frames[2])
            return True
        if frames and frames[0] == FAILED:
            self.stats.errors += 1
            self.stats.last_error = frames[-1].decode(errors="replace")
            return True
        self.stats.malformed += 1
        return False

    def targets(self):
        """The index of the process serving each unit, in rank order."""
        return [self.route[(cu.mcuId, cu.cuId)] for cu in self.units]

    def flush(self):
        """Sends what the router gathered; the host calls it after each datagram."""
        for index, batch in self.router.pending():
            try:
                self.inputs[index].send(batch, zmq.NOBLOCK)
                self.sent[index] += len(batch) // RECORD
            except zmq.Again as exc:
                self.stats.error("worker process queue full", exc)

    def attach(self, router):
        """The router gathers the records for the processes; a process takes
        them only once it reported ready."""
        self.router = router
        for index, up in enumerate(self.up):
            router.set_up(index, up)

    def _set_up(self, index, up):
        self.up[index] = up
        if self.router is not None:
            self.router.set_up(index, up)

    def _lost(self, index):
        """Records of this process's units lost: sent to it before it died, or
        routed while it was down."""
        down = self.router.process_counts(index)[1] if self.router is not None else 0
        return self.lost[index] + down

    async def stop(self):
        self._stopping = True
        loop = asyncio.get_running_loop()
        for proc in self.procs:
            if proc is not None and proc.pid is not None:
                loop.remove_reader(proc.sentinel)
        for sock in self.inputs:
            try:
                sock.send(STOP, zmq.NOBLOCK)
            except zmq.ZMQError:
                pass
        for proc in self.procs:
            if proc is not None and proc.pid is not None:
                await loop.run_in_executor(None, proc.join, 5.0)
                if proc.is_alive():
                    proc.terminate()
                    await loop.run_in_executor(None, proc.join, 2.0)
        for sock in self.inputs:
            sock.close(linger=0)
        self.inputs = []

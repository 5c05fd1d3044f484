"""Workers in separate processes, connected to the host through ZMQ over ipc
or tcp on loopback; each process attaches to the same shared-memory block."""
import asyncio
import multiprocessing
import signal

import zmq
import zmq.asyncio

READY = b"vantor-ready"
FAILED = b"vantor-error"   # a worker raised; the text follows
STOP = b"stop"   # shorter than a record: tells a worker process to finish
RECORD = 60      # a message to a worker process holds whole records back to back


def child_main(job):
    """Entry point of one worker process."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)   # the host decides when to stop
    asyncio.run(_child(job))


async def _child(job):
    from .settings import parse_settings
    from .shared import SharedBlock
    from .pump import messages
    from .silence import SilenceWatch
    from .workers import build_workers, close_workers, unit_of

    settings = parse_settings(job["settings"])
    units = [cu for cu in settings.units() if cu.rank in job["ranks"]]
    block = SharedBlock(len(settings.units()), name=job["shm"], locks=job["locks"], create=False)
    ctx = zmq.Context()
    actx = zmq.asyncio.Context.shadow(ctx.underlying)
    workers, sockets = build_workers(units, block, ctx, job["stream_url"], job["update_url"],
                                     settings.timeout)
    inbox = actx.socket(zmq.PULL)
    inbox.setsockopt(zmq.LINGER, 0)
    inbox.connect(job["input_url"])
    control = ctx.socket(zmq.PUSH)
    control.setsockopt(zmq.LINGER, 1000)
    control.connect(job["control_url"])
    control.send_multipart([READY, str(job["index"]).encode()])

    def timeout_failed(worker, exc):
        report(f"worker {unit_of(workers, worker)} timeout: {type(exc).__name__}: {exc}")

    def report(text):
        try:
            control.send_multipart([FAILED, text.encode()], zmq.NOBLOCK)
        except zmq.ZMQError:
            pass

    watching = asyncio.create_task(SilenceWatch(workers.values(), timeout_failed).run())
    try:
        async for frames in messages(inbox):
            batch = frames[0]
            if len(batch) < RECORD:
                break
            for offset in range(0, len(batch) - RECORD + 1, RECORD):
                chunk = batch[offset:offset + RECORD]
                worker = workers.get((chunk[0], chunk[1]))
                if worker is not None:
                    try:
                        worker.msg_received([chunk])
                    except Exception as exc:
                        report(f"worker {chunk[0]}.{chunk[1]}: {type(exc).__name__}: {exc}")
    finally:
        watching.cancel()
        close_workers(workers, sockets)
        inbox.close(linger=0)
        control.close()
        ctx.destroy(linger=0)
        block.close()


class RemoteWorkers:
    """Host side: one input socket per worker process, records routed by unit.
    The records of one datagram bound for one process travel as one message
    (a ZMQ send per record would cost the host more than the worker's work)."""

    def __init__(self, settings, block, ctx, stream_url, update_url, stats, *, processes,
                 endpoint, control_url, doc):
        self.stats = stats
        self.mp = multiprocessing.get_context("spawn")
        units = settings.units()
        processes = max(1, min(processes, len(units)))
        self.inputs, self.route, self.procs, self.ready = [], {}, [], set()
        self.pending = [[] for _ in range(processes)]
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
                    "shm": block.name, "locks": block.locks, "input_url": url,
                    "stream_url": stream_url, "update_url": update_url,
                    "control_url": control_url}
            self.procs.append(self.mp.Process(target=child_main, args=(job,), daemon=True,
                                              name=f"vantor-workers-{index}"))

    async def start(self, timeout=30.0):
        for proc in self.procs:
            proc.start()
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
            self.ready.add(int(frames[1]))
            if len(self.ready) == len(self.procs):
                self._ready_event.set()
            return True
        if frames and frames[0] == FAILED:
            self.stats.errors += 1
            self.stats.last_error = frames[-1].decode(errors="replace")
            return True
        self.stats.malformed += 1
        return False

    def deliver(self, chunk):
        index = self.route.get((chunk[0], chunk[1]))
        if index is not None:
            self.pending[index].append(chunk)

    def flush(self):
        """Sends what `deliver` gathered; the host calls it after each datagram."""
        for sock, batch in zip(self.inputs, self.pending):
            if batch:
                try:
                    sock.send(b"".join(batch), zmq.NOBLOCK)
                except zmq.Again as exc:
                    self.stats.error("worker process queue full", exc)
                batch.clear()

    async def stop(self):
        for sock in self.inputs:
            try:
                sock.send(STOP, zmq.NOBLOCK)
            except zmq.ZMQError:
                pass
        loop = asyncio.get_running_loop()
        for proc in self.procs:
            if proc.pid is not None:
                await loop.run_in_executor(None, proc.join, 5.0)
                if proc.is_alive():
                    proc.terminate()
                    await loop.run_in_executor(None, proc.join, 2.0)
        for sock in self.inputs:
            sock.close(linger=0)
        self.inputs = []

"""IV sweeps, tunes and acquisitions run as jobs while every unit keeps streaming.

The hub holds one IV assembly and one recording at a time, so each job
needs one of those two resources (a tune sweeps, so it queues with IV sweeps); jobs that need a busy one wait in its
queue, first come first served, and report their place in it.  Cancelling a
sweep gives the units their earlier sweep parameters back and asks them to
end it (run_sweep does that on cancellation); cancelling an acquisition
stops the recording and keeps what it holds, marked as interrupted.

Each queue holds at most MAX_WAITING jobs; a move of a queue is one
{"kind": "queue"} event naming its jobs in order, not an event per job.
Jobs are kept as records (job_records.py) and outlive the service."""
import asyncio
import math
import time
from pathlib import Path

from vantor.ops.channels import OpsError
from vantor.ops.iv import SweepTimeout
from vantor.wire import STEP_S

from .job_records import JobRecords
from .offload import Offload, result_text, write_file

STATES = ("queued", "running", "done", "failed", "cancelled")
RESOURCE = {"iv": "iv", "tune": "iv", "acquire": "recording"}
MAX_WAITING = 64           # jobs per queue, the running one included


class QueueFull(RuntimeError):
    """A queue holds MAX_WAITING jobs already; the message says which."""


class Job:
    def __init__(self, job_id, kind, units, params, work):
        self.id, self.kind, self.units, self.params = job_id, kind, units, params
        self.work = work                 # async callable(job) -> Run
        self.state = "queued"
        self.progress = 0.0
        self.message = "waiting"
        self.error = None
        self.run = None                  # the Run once there is a result
        self.created, self.started, self.finished = time.time(), None, None
        self.task = None
        self.stop = asyncio.Event()      # ends an acquisition early, keeping its data
        self.cancel_requested = False
        self.files = {}                  # format -> path written
        self.writing = asyncio.Lock()
        self.tune = None                 # a tune job's judgement of every unit
        self.applied = None              # ... and what applying it did

    @classmethod
    def restored(cls, record, folder):
        """A job of an earlier run of the service, from its record: listed,
        with the files it wrote, but no result in memory."""
        job = cls(record["id"], record["kind"], record.get("units", []),
                  record.get("params", {}), None)
        for name in ("state", "progress", "message", "error", "created", "started",
                     "finished"):
            setattr(job, name, record.get(name))
        job.files = {fmt: folder / name for fmt, name in (record.get("files") or {}).items()
                     if (folder / name).is_file()}
        if record.get("applied"):
            job.applied = {"time": record["applied"], "state": "applied"}
        return job

    def record(self):
        return {**self.as_json(), "files": {fmt: p.name for fmt, p in self.files.items()}}

    def report(self, done, total, note=""):
        self.progress = min(1.0, done / total) if total else 0.0
        self.message = note

    def as_json(self, position=None):
        has_result = self.run is not None
        has_file = has_result or bool(self.files)
        return {"id": self.id, "kind": self.kind, "state": self.state, "units": self.units,
                "queue_position": position, "progress": self.progress,
                "message": self.message, "params": self.params, "created": self.created,
                "started": self.started, "finished": self.finished, "error": self.error,
                "result": f"/api/jobs/{self.id}/result" if has_result else None,
                "file": f"/api/jobs/{self.id}/file" if has_file else None,
                "formats": ["h5", "csv"] if has_result else sorted(self.files),
                **({"tune": f"/api/jobs/{self.id}/tune" if self.tune else None,
                    "applied": self.applied and self.applied["time"]}
                   if self.kind == "tune" else {})}


class JobManager:
    def __init__(self, host, data_dir, publish=None):
        self.host = host
        self.dir = Path(data_dir) / "jobs"
        self.publish = publish or (lambda event: None)
        self.jobs = {}
        self.queues = {"iv": [], "recording": []}
        self.records = JobRecords(self.dir)
        self._wake = {name: asyncio.Event() for name in self.queues}
        self._runners = []
        self.latest_iv = {}              # rank -> the latest completed curve
        self.offload = Offload()

    async def lifetime(self, app):
        """For the application's cleanup_ctx: serves the queues until it stops."""
        self.start()
        yield
        await self.close()

    def start(self):
        for record in self.records.load():
            job = Job.restored(record, self.dir)
            self.jobs[job.id] = job
        self._runners = [asyncio.create_task(self._serve(name)) for name in self.queues]

    async def close(self):
        for job in list(self.jobs.values()):
            if job.state in ("queued", "running"):
                self.cancel(job.id)
        for job in list(self.jobs.values()):
            if job.task is not None:
                await asyncio.gather(job.task, return_exceptions=True)
        for task in self._runners:
            task.cancel()
        await asyncio.gather(*self._runners, return_exceptions=True)
        self.offload.close()

    # -- submitting --------------------------------------------------------------

    def submit(self, kind, units, params, work):
        """The new job, queued; QueueFull when its queue is full."""
        queue = self.queues[RESOURCE[kind]]
        if len(queue) >= MAX_WAITING:
            what = "IV sweeps and tunes" if RESOURCE[kind] == "iv" else "acquisitions"
            raise QueueFull(f"{len(queue)} {what} are queued already (at most {MAX_WAITING}); "
                            "submit more once some have finished")
        job = Job(self.records.claim_id(), kind, units, params, work)
        self.jobs[job.id] = job
        queue.append(job)
        self._wake[RESOURCE[kind]].set()
        self._changed(job)
        return job

    def _forget_old(self):
        kept = {r["id"] for r in self.records.prune([j.record() for j in self.jobs.values()])}
        for job_id in [i for i in self.jobs if i not in kept]:
            del self.jobs[job_id]

    def position(self, job):
        queue = self.queues[RESOURCE[job.kind]]
        return queue.index(job) if job in queue else None

    def get(self, job_id):
        return self.jobs.get(job_id)

    def listing(self):
        return [j.as_json(self.position(j)) for j in self.jobs.values()]

    def cancel(self, job_id):
        job = self.jobs[job_id]
        if job.state == "queued":
            self.queues[RESOURCE[job.kind]].remove(job)
            self._finish(job, "cancelled", "cancelled before it started")
        elif job.state == "running":
            if job.kind == "acquire":
                job.stop.set()           # the recording ends and keeps its data
                job.cancel_requested = True
            elif job.task is not None:
                job.task.cancel()
        return job

    # -- running -----------------------------------------------------------------

    async def _serve(self, resource):
        queue, wake = self.queues[resource], self._wake[resource]
        while True:
            if not queue:
                wake.clear()
                await wake.wait()
                continue
            job = queue[0]
            job.state, job.started, job.message = "running", time.time(), "started"
            self._changed(job)
            job.task = asyncio.create_task(self._run(job))
            await asyncio.gather(job.task, return_exceptions=True)
            queue.pop(0)
            self._moved(resource)        # everybody moved up one place: one event

    async def _run(self, job):
        try:
            job.run = await job.work(job)
        except asyncio.CancelledError:
            self._finish(job, "cancelled", "cancelled: the units were given their earlier "
                                           "sweep parameters back and asked to end the sweep")
            return
        except SweepTimeout as exc:
            # The curves that did complete stay downloadable; the units that
            # did not are named in the message and in their channels.
            job.run = exc.run
            if job.run is not None:
                self._remember_curves(job)
            self._finish(job, "failed", str(exc), error=str(exc))
            return
        except (OpsError, OSError, ValueError) as exc:
            self._finish(job, "failed", str(exc), error=str(exc))
            return
        except Exception as exc:          # a fault of ours: say so, keep serving
            text = f"{type(exc).__name__}: {exc}"
            self._finish(job, "failed", text, error=text)
            return
        if job.kind in ("iv", "tune"):
            self._remember_curves(job)
        if job.cancel_requested:
            self._finish(job, "cancelled", "stopped early; the data recorded until then is kept")
        else:
            self._finish(job, "done", "done")

    def _finish(self, job, state, message, error=None):
        job.state, job.message, job.error = state, message, error
        job.finished = time.time()
        if state == "done":
            job.progress = 1.0
        self._changed(job)
        self._forget_old()

    def _changed(self, job):
        """A job's state changed: its record and one event."""
        try:
            self.records.save(job.record())
        except OSError as exc:
            job.message = f"{job.message} (its record could not be kept: {exc.strerror})"
        self.publish({"kind": "job", "job": job.as_json(self.position(job))})

    def _moved(self, resource):
        if self.queues[resource]:
            self.publish({"kind": "queue", "queue": resource,
                          "jobs": [j.id for j in self.queues[resource]]})

    def _remember_curves(self, job):
        for ch in job.run.channels:
            if ch.problem or not len(ch):
                continue
            config = ch.config
            point_s = config.get("biasSweepT", 0) * STEP_S
            counts = list(ch.data["counts"])
            self.latest_iv[ch.rank] = {
                "name": ch.label, "biasI": list(ch.data["biasI"]), "counts": counts,
                "rate": [c / point_s if point_s else None for c in counts],
                "monitorV": list(ch.data["monitorV"]),
                "params": {"start": config.get("biasIStart"), "stop": config.get("biasIStop"),
                           "step": config.get("biasIStep"),
                           "point_steps": config.get("biasSweepT")},
                "finished": time.time(), "job": job.id}

    # -- results -----------------------------------------------------------------

    async def file_of(self, job, fmt):
        """The job's result written as `fmt` ("h5" or "csv"), once."""
        if fmt not in ("h5", "csv"):
            raise ValueError(f"format: expected h5 or csv, got {fmt!r}")
        async with job.writing:          # two downloads at once write it once
            if fmt not in job.files or not job.files[fmt].is_file():
                # Ids never repeat, so this name is this job's alone.
                path = self.files_dir() / f"{job.kind}-{job.id}.{fmt}"
                path.unlink(missing_ok=True)
                job.files[fmt] = Path(await self.offload.run(write_file, job.run, path))
                self._changed(job)
        return job.files[fmt]

    async def result_text(self, job):
        """The job's result as the text of its JSON answer."""
        return await self.offload.run(result_text, job.run)

    def files_dir(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        return self.dir


def result_json(run):
    """A Run as JSON: attributes and every channel's columns."""
    def column(values):
        return [None if isinstance(v, float) and not math.isfinite(v) else v
                for v in (x.item() if hasattr(x, "item") else x for x in values)]

    return {"kind": run.kind,
            "attrs": {k: (v.item() if hasattr(v, "item") else v) for k, v in run.attrs.items()},
            "channels": {str(ch.rank): {"name": ch.label, "config": ch.config,
                                        "problem": ch.problem,
                                        **{name: column(values) for name, values in ch.data.items()}}
                         for ch in run.channels}}

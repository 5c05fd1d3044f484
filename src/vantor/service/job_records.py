"""Jobs as records on disk (`jobs/job-ID.json` in the data directory), so
they outlive the service: ids go on across restarts (`jobs/next-id`, and
never below an id found on disk, so no file of an earlier job is ever
written over), finished jobs stay listed with the files they wrote, and a
job that was queued or running when the service died is listed `failed`
with why.  Records are rewritten atomically on every change of state, so
a SIGKILL leaves the old record or the new one.

Retention: the newest KEEP finished jobs, and none finished more than
KEEP_DAYS ago; older ones go with their files."""
import json
import os
import re
import time
from pathlib import Path

from . import atomic

KEEP = 200
KEEP_DAYS = 30
_RECORD = re.compile(r"job-([0-9]+)\.json")
_FILE = re.compile(r"[a-z]+-([0-9]+)\.[a-z0-9]+")
FINISHED = ("done", "failed", "cancelled")


class JobRecords:
    def __init__(self, folder):
        self.dir = Path(folder)
        self._next = None

    def _ready(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        return self.dir

    def claim_id(self):
        """A job id never given before, in this data directory.  Where the
        directory takes no files (read-only, full) ids still go on within
        this run, and no file of an earlier job can be written over."""
        if self._next is None:
            self._next = self._first_free()
        job_id = self._next
        self._next += 1
        try:
            atomic.write_text(self._ready() / "next-id", f"{self._next}\n")
        except OSError:
            pass
        return str(job_id)

    def _first_free(self):
        found = [0]
        try:
            found.append(int((self.dir / "next-id").read_text()) - 1)
        except (OSError, ValueError):
            pass
        try:
            names = os.listdir(self.dir)
        except OSError:
            names = []
        for name in names:
            match = _RECORD.fullmatch(name) or _FILE.fullmatch(name)
            if match:
                found.append(int(match.group(1)))
        return max(found) + 1

    def save(self, record):
        atomic.write_text(self._ready() / f"job-{record['id']}.json", json.dumps(record) + "\n")

    def load(self, now=None):
        """Every record kept, oldest first; jobs the service did not see to
        their end are marked failed (and saved so), and those past the
        retention rule removed."""
        now = time.time() if now is None else now
        records = []
        try:
            names = os.listdir(self.dir)
        except OSError:
            return []
        for name in names:
            if not _RECORD.fullmatch(name):
                continue
            try:
                record = json.loads((self.dir / name).read_text())
                int(record["id"])
            except (OSError, ValueError, KeyError, TypeError):
                continue          # a stray file; the records around it still count
            if record.get("state") not in FINISHED:
                was = record.get("state")
                why = ("the service stopped while this job was running (killed or crashed); "
                       "what it had measured was not kept") if was == "running" else \
                      "the service stopped before this job started"
                record.update(state="failed", error=why, message=why, finished=now,
                              queue_position=None)
                try:
                    self.save(record)
                except OSError:
                    pass              # listed as failed all the same
            records.append(record)
        records.sort(key=lambda r: int(r["id"]))
        return self.prune(records, now)

    def prune(self, records, now=None):
        """`records` less those past the retention rule, whose files are removed."""
        now = time.time() if now is None else now
        finished = [r for r in records if r.get("state") in FINISHED]
        too_many = {r["id"] for r in finished[:max(0, len(finished) - KEEP)]}
        too_old = {r["id"] for r in finished
                   if (r.get("finished") or now) < now - KEEP_DAYS * 86400}
        for record in records:
            if record["id"] in too_many | too_old:
                self.remove(record)
        return [r for r in records if r["id"] not in too_many | too_old]

    def remove(self, record):
        for name in list((record.get("files") or {}).values()) + [f"job-{record['id']}.json"]:
            try:
                (self.dir / Path(name).name).unlink(missing_ok=True)
            except OSError:
                pass          # a read-only directory keeps it; the listing forgets it

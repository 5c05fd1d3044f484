"""One recording through the running host's hub: startRecording, wait,
stopRecording.  Beside the hub's table it keeps, from the read model, how
many records each recorded window held, so a window with missing records
is known as such in the files (the stream pump hands every record to the
hub and, in the same turn, to the read model, so none is missed).

The hub stops a recording by itself when a chosen unit's buffer is full.  It
then holds the harvested table until the next stop, so a non-empty
getRecordData() during our recording (it was emptied just before the start)
means exactly that: the recording was cut at the cap."""
import asyncio
import time
from dataclasses import dataclass

import numpy as np

from vantor.wire import CU_NORMAL, STEP_S


@dataclass
class RecordOutcome:
    table: dict                  # the hub's table: rank -> [recordData_point dicts]
    capped: bool                 # the hub stopped it: a unit reached its cap
    interrupted: bool            # `stop` ended it early
    recorded_s: float
    timestamp: float             # TIMESTAMP of the C_Backend at the end
    counts: "ReceivedCounts" = None   # how many records each recorded window held

    @property
    def received(self):
        """(rank, window end step) -> records the window held.  Built when
        asked for, beside the loop: tens of thousands of windows take a while."""
        return {} if self.counts is None else self.counts.result()


class ReceivedCounts:
    """Collects, from each decoded batch, how many records the windows of the
    recorded units held."""

    def __init__(self, ranks):
        self.ranks = np.array(sorted(ranks))
        self.parts = []

    def __call__(self, table):
        rows = table.rows
        keep = (rows["cuStatus"] == CU_NORMAL) & np.isin(rows["rank"], self.ranks)
        if keep.any():
            self.parts.append((rows["rank"][keep], rows["timestamp"][keep], rows["received"][keep]))

    def result(self):
        out = {}
        for ranks, stamps, received in self.parts:
            ends = np.rint(stamps / STEP_S).astype(np.int64)
            out.update(zip(zip(ranks.tolist(), ends.tolist()), received.tolist()))
        return out


async def run_recording(control, ranks, seconds, *, progress=None, stop=None, poll=0.1):
    path, model = control.path, control.model
    hub = path.hub
    hub.stopRecording()              # empties the previous result: see above
    counts = ReceivedCounts(ranks)
    model.taps.append(counts)
    started = time.monotonic()
    hub.startRecording(list(ranks))
    table, capped, interrupted = None, False, False
    try:
        while True:
            if path.hub is not hub:
                raise RuntimeError("the host stopped during the recording")
            elapsed = time.monotonic() - started
            if progress is not None:
                progress(min(elapsed, seconds), seconds, f"{elapsed:.1f}/{seconds:g} s")
            if elapsed >= seconds:
                break
            if stop is not None and stop.is_set():
                interrupted = True
                break
            cut = hub.getRecordData()
            if cut:
                table, capped = cut, True
                break
            await asyncio.sleep(min(poll, max(seconds - elapsed, 0.001)))
    except BaseException:
        if path.hub is hub:
            hub.stopRecording()      # do not leave the buffers growing
        raise
    finally:
        model.taps.remove(counts)
    recorded = time.monotonic() - started
    if table is None:
        table = hub.stopRecording()
    backend = path.read_backend() if path.block is not None else {}
    return RecordOutcome(table, capped, interrupted, recorded,
                         float(backend.get("TIMESTAMP", 0.0)), counts)



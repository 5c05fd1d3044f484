"""Recordings through a running host's hub: startRecording, wait with a
progress bar, stopRecording; the table becomes a Run of kind "record".

The hub stops a recording by itself when a chosen unit's buffer is full.  It
then holds the harvested table until the next stop, so a non-empty
getRecordData() during our recording (it was emptied just before the start)
means exactly that: the recording was cut at the cap, and we say so."""
import asyncio
import math
import time

from vantor.cluster import feedhub
from .channels import OpsError, check_ranks
from .run import Run, channel_of, created

CAP = feedhub.MAX_RECORDING_LENGTH


async def run_recording(host, ranks, seconds, *, progress=None, stop=None, poll=0.1):
    """Record `ranks` for `seconds`.  `progress(done_s, total_s, note)` is called
    while it runs; setting the asyncio.Event `stop` ends it early (the Run then
    says "interrupted")."""
    if host.hub is None:
        raise OpsError("the host is not running")
    ranks = check_ranks(host.settings, list(ranks))
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) \
            or not math.isfinite(seconds) or seconds <= 0:
        raise OpsError(f"recording: seconds must be a positive number, got {seconds!r}")
    hub = host.hub
    hub.stopRecording()              # empties the previous result: see above
    wall = time.time()
    started = time.monotonic()
    hub.startRecording(list(ranks))
    table, capped, interrupted = None, False, False
    try:
        while True:
            if host.hub is not hub:
                raise OpsError("the host stopped during the recording")
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
        if host.hub is hub:
            hub.stopRecording()      # do not leave the buffers growing
        raise
    recorded = time.monotonic() - started
    if table is None:
        table = hub.stopRecording()
    backend = host.block.read_backend() if host.block is not None else {}
    channels = [channel_of(host.settings, r, _columns(table.get(r, ()))) for r in ranks]
    full = [ch.rank for ch in channels if len(ch) >= CAP]
    attrs = {
        "started": wall,
        "created": created(wall),
        "requested_s": float(seconds),
        "recorded_s": recorded,
        "buffSize": host.settings.buffSize,
        "TIMESTAMP": float(backend.get("TIMESTAMP", 0.0)),
        "settings_source": host.settings.source,
        "cap": CAP,
        "capped": capped,
        "capped_ranks": full,
        "interrupted": interrupted,
    }
    if progress is not None:
        progress(seconds if not (capped or interrupted) else recorded, seconds,
                 f"{recorded:.1f} s")
    return Run("record", attrs, channels)


def _columns(points):
    return {"time": [p["time"] for p in points],
            "counts": [p["counts"] for p in points],
            "monitorV": [p["monitorV"] for p in points]}


def cap_message(run):
    """The operator's line for a recording the hub cut short, or None."""
    a = run.attrs
    if not a.get("capped"):
        return None
    ranks = ", ".join(str(r) for r in a.get("capped_ranks") or ()) or "?"
    return (f"recording stopped by itself after {a['recorded_s']:.1f} of "
            f"{a['requested_s']:g} s: rank {ranks} reached the cap of {a['cap']} points "
            f"per unit; the file holds what was recorded until then")

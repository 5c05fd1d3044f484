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
from .run import STEP_S, Run, channel_of, created, mark_gaps
from .watch import RunWatch

CAP = feedhub.MAX_RECORDING_LENGTH


async def run_recording(host, ranks, seconds, *, progress=None, stop=None, poll=0.1):
    """Record `ranks` for `seconds`.  `progress(done_s, total_s, note)` is called
    while it runs; setting the asyncio.Event `stop` ends it early (the Run then
    says "interrupted").

    Times in the Run are seconds since attrs["started"]; a window in which a
    unit sent nothing is a NaN row whose status says why (see run.mark_gaps)."""
    if host.hub is None:
        raise OpsError("the host is not running")
    ranks = check_ranks(host.settings, list(ranks))
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) \
            or not math.isfinite(seconds) or seconds <= 0:
        raise OpsError(f"recording: seconds must be a positive number, got {seconds!r}")
    hub = host.hub
    hub.stopRecording()              # empties the previous result: see above
    watch = RunWatch(host, ranks)
    wall = watch.wall
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
            watch.poll()
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
        watch.finish()
        raise
    recorded = time.monotonic() - started
    if table is None:
        table = hub.stopRecording()
    backend = host.block.read_backend() if host.block is not None else {}
    extra, counters, logs = watch.finish()
    # Stream records carry the boards' clock; the time base turns it into
    # Unix time, and the file counts from the recording's start.
    offset = wall - (watch.origin or 0.0)
    # Seconds of work for a long run of many units: beside the loop, so the
    # data path keeps its turns.
    channels = await asyncio.to_thread(_channels, host.settings, ranks, table, offset, recorded,
                                       watch.silences)
    full = [r for r in ranks if len(table.get(r, ())) >= CAP]
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
        "board_time_at_start": offset,     # the boards' clock (s) at "started"
        "time_origin": watch.origin,       # unix seconds of the boards' time 0
        **extra,
    }
    if progress is not None:
        progress(seconds if not (capped or interrupted) else recorded, seconds,
                 f"{recorded:.1f} s")
    return Run("record", attrs, channels, counters, logs)


def _channels(settings, ranks, table, offset, recorded, silences):
    """Per unit its points on the run's clock, a NaN row for every window in
    which it sent nothing while others did (or until the end of the run), and
    a word for a unit that sent nothing at all."""
    window = settings.buffSize * STEP_S
    points = {r: [(p["time"] - offset, p["counts"], p["monitorV"]) for p in table.get(r, ())]
              for r in ranks}
    first = min((t for pts in points.values() for t, _, _ in pts), default=None)
    last = max((t for pts in points.values() for t, _, _ in pts), default=None)
    if first is not None:
        # windows that should have ended before the stop, with room for the
        # last one still on its way
        settled = first + math.floor((recorded - max(0.3, window) - first) / window) * window
        last = max(last, settled)
    channels = []
    for r in ranks:
        problem = "" if points[r] else "sent no data during the recording"
        channels.append(channel_of(settings, r, mark_gaps(points[r], window, first=first,
                                                          last=last, silences=silences[r]),
                                   problem))
    return channels


def cap_message(run):
    """The operator's line for a recording the hub cut short, or None."""
    a = run.attrs
    if not a.get("capped"):
        return None
    ranks = ", ".join(str(r) for r in a.get("capped_ranks") or ()) or "?"
    return (f"recording stopped by itself after {a['recorded_s']:.1f} of "
            f"{a['requested_s']:g} s: rank {ranks} reached the cap of {a['cap']} points "
            f"per unit; the file holds what was recorded until then")

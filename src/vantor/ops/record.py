"""Recordings as the operator commands and jobs run them: the host records
(`Host.record`), and its table becomes a Run of kind "record", with a row
for every window a unit missed and, per row, how many of the window's
records arrived; a recording the hub cut at its cap says so."""
import asyncio
import math

from vantor.cluster import feedhub
from vantor.host.app import HostBusy
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
    if not host.running:
        raise OpsError("the host is not running")
    ranks = check_ranks(host.settings, list(ranks))
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) \
            or not math.isfinite(seconds) or seconds <= 0:
        raise OpsError(f"recording: seconds must be a positive number, got {seconds!r}")
    watch = RunWatch(host, ranks)
    wall = watch.wall

    def report(done, of, note):
        watch.poll()
        if progress is not None:
            progress(done, of, note)

    try:
        outcome = await host.record(ranks, seconds, progress=report, stop=stop, poll=poll)
    except HostBusy as exc:
        watch.finish()
        raise OpsError(str(exc)) from None
    except BaseException:
        watch.finish()
        raise
    extra, counters, logs = watch.finish()
    # Stream records carry the boards' clock; the time base turns it into
    # Unix time, and the file counts from the recording's start.
    offset = wall - (watch.origin or 0.0)
    # Seconds of work for a long run of many units: beside the loop, so the
    # data path keeps its turns.
    channels = await asyncio.to_thread(_channels, host.settings, ranks, outcome, offset,
                                       watch.silences)
    full = [r for r in ranks if len(outcome.table.get(r, ())) >= CAP]
    attrs = {
        "started": wall,
        "created": created(wall),
        "requested_s": float(seconds),
        "recorded_s": outcome.recorded_s,
        "buffSize": host.settings.buffSize,
        "TIMESTAMP": outcome.timestamp,
        "settings_source": host.settings.source,
        "cap": CAP,
        "capped": outcome.capped,
        "capped_ranks": full,
        "interrupted": outcome.interrupted,
        "board_time_at_start": offset,     # the boards' clock (s) at "started"
        "time_origin": watch.origin,       # unix seconds of the boards' time 0
        **extra,
    }
    if progress is not None:
        progress(seconds if not (outcome.capped or outcome.interrupted) else outcome.recorded_s,
                 seconds, f"{outcome.recorded_s:.1f} s")
    return Run("record", attrs, channels, counters, logs)


def _channels(settings, ranks, outcome, offset, silences):
    """Per unit its points on the run's clock with the records each window
    held, a NaN row for every window in which it sent nothing while others
    did (or until the end of the run), and a word for a unit that sent
    nothing at all."""
    window = settings.buffSize * STEP_S
    table, received, recorded = outcome.table, outcome.received, outcome.recorded_s
    points = {r: [(p["time"] - offset, p["counts"], p["monitorV"],
                   received.get((r, round(p["time"] / STEP_S)), math.nan))
                  for p in table.get(r, ())]
              for r in ranks}
    # A window that ended before the start can still arrive during the
    # recording (a unit that went silent publishes its last window when it is
    # back): it is kept, but does not make the other units' rows begin earlier.
    times = [p[0] for pts in points.values() for p in pts]
    first = min((t for t in times if t >= 0), default=min(times, default=None))
    last = max(times, default=None)
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

"""The service level's results: what the live clients got, traced back to the
host, and the comparison with the plain host of the same run.

A window's record is published by the unit's worker when the datagram that
closes the window arrives (the first one whose sequence reaches the window's
end, a multiple of buffSize); its timestamp is that end sequence x 10 ms (the
shared back end's TIMESTAMP stays 0).  The read model takes the records from
the stream pump as the workers publish them, and a live client sends the
newest record per unit at its next tick.  So each record a client got maps to
(board, end sequence) -> the arrival the host noted, and its delay splits into
the host's wait (arrival -> the read model took it), the service's wait (->
the message built at the client's tick) and the transfer (built -> read by
the client: JSON, WebSocket, the client's own loop).  The service stamps a
message with the wall clock; the client moves it onto CLOCK_MONOTONIC."""
import numpy as np

STEP = 0.01
TICK_MARGIN_S = 0.2      # a record's batch needs one more window and one tick to go out


def _stats(values, weights):
    if not values:
        return None
    data = np.repeat(np.asarray(values), np.asarray(weights))
    p50, p90, p99 = np.percentile(data, [50, 90, 99])
    return {"n": int(data.size), "p50_ms": 1e3 * p50, "p90_ms": 1e3 * p90,
            "p99_ms": 1e3 * p99, "max_ms": 1e3 * data.max()}


def _arrival(arrivals, mcu, timestamp):
    """When the datagram that closed the window of `timestamp` arrived, or None."""
    return arrivals.get(f"{mcu}:{round(timestamp / STEP)}")


def trace_delays(args, t0, got, live):
    """Delays of the records whose closing datagram arrived in the measured
    window (its last window and tick cut off: those batches may not leave
    before the sender stops)."""
    arrivals, batches = got["arrivals"], got["batches"]
    lo = t0 + args.warmup
    hi = t0 + args.warmup + args.measure - args.buff_size * STEP - TICK_MARGIN_S
    if hi <= lo:
        hi = t0 + args.warmup + args.measure
    total, hub, tick, transfer, weights = [], [], [], [], []
    unmatched = outside = 0
    for client in live["clients"]:
        for t, built, groups in client["samples"]:
            for mcu, timestamp, n in groups:
                arrived = _arrival(arrivals, mcu, timestamp)
                if arrived is None:
                    unmatched += n
                    continue
                if not lo <= arrived <= hi:
                    outside += n
                    continue
                handed_out = batches.get(repr(timestamp), float("nan"))
                total.append(t - arrived)
                hub.append(handed_out - arrived)
                tick.append(built - handed_out)
                transfer.append(t - built)
                weights.append(n)
    return {"delay": _stats(total, weights), "hub_wait": _stats(hub, weights),
            "service_wait": _stats(tick, weights), "transfer": _stats(transfer, weights),
            "unmatched_records": unmatched,
            "records_outside_window": outside}


def service_summary(args, t0, got, live, info):
    clients = live["clients"]
    dropped = sum(c["closed_by_service"] is not None for c in clients)
    job = live["job"] or {"status": None, "id": None, "error": "no acquisition asked for"}
    ran = [j for j in got["jobs"] if j["id"] == job["id"]]
    state = ran[0]["state"] if ran else "none"
    ok = dropped == 0 and job["status"] == 202 and state == "done"
    return {"level": "service", "service_ok": ok, "live_clients": len(clients),
            "live_rate": args.live_rate, "clients_dropped": dropped,
            "live_messages_min": min((c["messages"] for c in clients), default=0),
            "live_records": sum(c["records"] for c in clients),
            "live_events": sum(c["events"] for c in clients),
            "live_cpu_s": live["cpu_s"], "live_skipped": got["live_skipped"],
            "live_other_records": sum(c["other_records"] for c in clients),
            "job_submit_status": job["status"], "job_state": state,
            "job_message": ran[0]["message"] if ran else job.get("error"),
            "job_points": ran[0]["points"] if ran else None,
            "resyncs": got["resyncs"],
            "route_modules": info.get("route_modules"), "problems": got["problems"],
            **trace_delays(args, t0, got, live)}


def _ms(stats, key):
    return f"{stats[key]:.0f}" if stats else "-"


def service_notes(r):
    d, h, w, v = r["delay"], r["hub_wait"], r["service_wait"], r["transfer"]
    return [
        f"live: {r['live_clients']} clients at {r['live_rate']:g} Hz, >= {r['live_messages_min']} "
        f"messages each, {r['clients_dropped']} dropped, {r['live_records']} window records "
        f"({d['n'] if d else 0} traced, {r['unmatched_records']} not traceable), "
        f"{r['live_other_records']} status records, {r['live_events']} events, items skipped "
        f"by the service for each client {r['live_skipped']}; acquisition "
        f"job: {r['job_state']} ({r['job_points']} points; {r['job_message']})",
        f"arrival -> live client: p50 {_ms(d, 'p50_ms')} ms, p99 {_ms(d, 'p99_ms')} ms, max "
        f"{_ms(d, 'max_ms')} ms = host wait p50 {_ms(h, 'p50_ms')} / p99 {_ms(h, 'p99_ms')} ms "
        f"+ service wait {_ms(w, 'p50_ms')} / {_ms(w, 'p99_ms')} ms + transfer {_ms(v, 'p50_ms')} "
        f"/ {_ms(v, 'p99_ms')} ms "
        f"(buffSize {r['buff_size']})"]


def zero_loss(r):
    """No record lost and no error (lateness aside); the service level also
    kept its clients and finished its acquisition."""
    return r["lost_records"] == 0 and r["errors"] == 0 and r.get("service_ok", True)


def held_up_to(results, processes, level, ok):
    """The largest unit count up to which every run of every level passed `ok`
    (0 if the first did not): one lucky run above a failed level does not count."""
    best = 0
    runs = [r for r in results if r["processes"] == processes and r["level"] == level]
    for units in sorted({r["units"] for r in runs}):
        if not all(ok(r) for r in runs if r["units"] == units):
            break
        best = units
    return best


def tally(results, processes, level, ok):
    """Per unit count, runs passed / runs: "2560:3/3 2816:2/3"."""
    runs = [r for r in results if r["processes"] == processes and r["level"] == level]
    return " ".join(f"{u}:{sum(ok(r) for r in runs if r['units'] == u)}/"
                    f"{sum(r['units'] == u for r in runs)}"
                    for u in sorted({r["units"] for r in runs}))


def service_table(results):
    """Level held, plain against service, per worker-process count (with zero
    loss; and held: zero loss and no datagram late), and the delays of every
    service level."""
    lines = [f"{'procs':>5} {'criterion':<28} {'plain':>6} {'service':>7} {'ratio':>6}"
             f"   (held up to: every run of that level and of those below)"]
    for processes in sorted({r["processes"] for r in results}):
        for name, ok in (("zero loss", zero_loss), ("held (zero loss, none late)",
                                                     lambda r: r["held"])):
            best = {level: held_up_to(results, processes, level, ok)
                    for level in ("plain", "service")}
            ratio = f"{100 * best['service'] / best['plain']:.0f}%" if best["plain"] else "-"
            lines.append(f"{processes:>5} {name:<28} {best['plain']:>6} {best['service']:>7} "
                         f"{ratio:>6}")
        for level in ("plain", "service"):
            lines.append(f"{processes:>5} {level} runs with zero loss: "
                         f"{tally(results, processes, level, zero_loss)}")
    lines.append(f"{'procs':>5} {'units':>6} {'buff':>5} {'delay p50':>9} {'p99':>6} {'max':>6} "
                 f"{'hub p99':>7} {'svc p99':>7} {'xfer p99':>8} {'held':>4}   (ms, datagram arrival -> "
                 f"record read by a live client)")
    for r in results:
        if r["level"] == "service":
            d = r["delay"]
            lines.append(f"{r['processes']:>5} {r['units']:>6} {r['buff_size']:>5} "
                         f"{_ms(d, 'p50_ms'):>9} {_ms(d, 'p99_ms'):>6} {_ms(d, 'max_ms'):>6} "
                         f"{_ms(r['hub_wait'], 'p99_ms'):>7} {_ms(r['service_wait'], 'p99_ms'):>7} "
                         f"{_ms(r['transfer'], 'p99_ms'):>8} "
                         f"{'yes' if r['held'] else 'no':>4}")
    return lines

"""A sweep's curves judged unit by unit: plain data in and out, so it can run
in the service's helper process, away from the data path's loop."""
import time

from .fit import Curve, analyse_all
from .policy import unit_result


def curves_of(run):
    """{rank: (biasI, counts, monitorV, point seconds)} of a sweep's Run, as lists."""
    out = {}
    for ch in run.channels:
        point_s = ch.config.get("biasSweepT", 0) * 0.01
        out[ch.rank] = (list(map(float, ch.data["biasI"])), list(map(float, ch.data["counts"])),
                        list(map(float, ch.data["monitorV"])), point_s, ch.problem or "")
    return out


def judge(curves, policy, dark=None):
    """{rank: unit result} and the CPU seconds the fits took."""
    started = time.process_time()
    out, ranks, light, darks = {}, [], [], []
    for rank, (bias, counts, monitor, point_s, problem) in curves.items():
        if problem or not bias or not point_s:
            out[rank] = {"status": "noisy", "switching_current": None, "plateau_onset": None,
                         "plateau_rate": None, "proposed_bias": None,
                         "reason": f"incomplete sweep: {problem or 'no points'}"}
            continue
        other = None
        if dark and rank in dark and dark[rank][0]:
            d = dark[rank]
            other = Curve(d[0], d[1], d[3], d[2])
        ranks.append(rank)
        light.append(Curve(bias, counts, point_s, monitor))
        darks.append(other)
    for rank, analysis in zip(ranks, analyse_all(light, policy.onset_fraction, darks)):
        out[rank] = unit_result(analysis, policy)
    return dict(sorted(out.items())), time.process_time() - started

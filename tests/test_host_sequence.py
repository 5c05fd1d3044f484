"""Per-board sequence counting: losses, late and repeated datagrams, and
jumps that only count once the datagrams after them confirm them."""
import random

import pytest
from hypothesis import given, settings, strategies as st

from vantor.host.sequence import MOD, SequenceTracker


def fed(seqs, **kw):
    t = SequenceTracker(**kw)
    accepted = [t.see(s % MOD) for s in seqs]
    return t, accepted


@pytest.mark.parametrize("seqs, dropped, late, duplicated", [
    (range(1, 11), 0, 0, 0),
    ([1, 2, 3, 5, 6], 1, 0, 0),
    ([1, 2, 3, 5, 4, 6], 0, 1, 0),
    ([1, 2, 3, 3, 4, 2], 0, 0, 2),
    ([1, 2, 5, 3, 3, 4], 0, 2, 1),
    # across the 32-bit wrap
    ([MOD - 3, MOD - 2, MOD - 1, 0, 2, 1, 3], 0, 1, 0),
])
def test_losses_late_and_duplicates(seqs, dropped, late, duplicated):
    t, _ = fed(seqs)
    assert (t.dropped, t.late, t.duplicated) == (dropped, late, duplicated)


def test_one_wild_sequence_is_a_stray_not_billions_dropped():
    t, accepted = fed([100, 101, 102, MOD - 1, 103, 104])
    assert accepted == [False, True, True, False, True, True]
    assert (t.dropped, t.late, t.duplicated, t.restarts, t.stray) == (0, 0, 0, 0, 1)
    assert t.highest == 104


def test_a_restart_is_followed_once_the_next_datagram_confirms_it():
    t, accepted = fed([5000, 5001, 5002, 7, 8, 9, 11])
    assert accepted == [False, True, True, False, True, True, True]
    assert (t.restarts, t.stray, t.dropped) == (1, 0, 1)
    assert t.highest == 11


def test_start_needs_confirmation_and_reordering_at_start_counts_late():
    t, accepted = fed([10, 11, 9, 12])
    assert accepted == [False, True, True, True]
    assert (t.late, t.dropped, t.received) == (1, 0, 4)


@settings(max_examples=200, deadline=None)
@given(st.integers(0, MOD - 1), st.integers(20, 400), st.random_module(),
       st.floats(0, 0.2), st.floats(0, 0.2), st.floats(0, 0.3))
def test_counts_match_what_the_network_did(start, n, _, p_drop, p_dup, p_swap):
    """A board's run through a network that drops, doubles and swaps
    neighbours: the counters say exactly that (the first two datagrams are
    kept, so the start is confirmed)."""
    rng = random.Random()
    sent = [(start + i) % MOD for i in range(n)]
    kept = sent[:2] + [s for s in sent[2:-1] if rng.random() >= p_drop] + sent[-1:]
    dups = [s for s in kept[2:] if rng.random() < p_dup]
    arrivals = kept[:2] + [x for s in kept[2:] for x in ([s, s] if s in dups else [s])]
    late = 0
    for i in range(3, len(arrivals) - 2):
        a, b = arrivals[i], arrivals[i + 1]
        if a != b and (b - a) % MOD < 5 and rng.random() < p_swap and arrivals[i - 1] != a:
            arrivals[i], arrivals[i + 1] = b, a
    t = SequenceTracker()
    for s in arrivals:
        t.see(s)
    seen = set()
    top = None
    for s in arrivals:    # the model: late = arrived after a higher sequence, first copy only
        ext = (s - start) % MOD
        if ext not in seen and top is not None and ext < top:
            late += 1
        seen.add(ext)
        top = ext if top is None else max(top, ext)
    assert t.dropped == n - len(set(kept))
    assert t.duplicated == len(dups)
    assert t.late == late
    assert (t.restarts, t.stray) == (0, 0)

"""Hostile traffic into a running host: random datagrams (lengths, contents,
sequence numbers, source addresses), well-formed forgeries among them, are
sent between the simulator's genuine steps.  Every window the host publishes
for a genuine unit stays exactly what the simulator sent, and the host goes
on.  The suite runs a bounded number of examples; `make fuzz-host` runs many
(VANTOR_HOST_FUZZ_EXAMPLES)."""
import asyncio
import os
import socket

import pytest
from hypothesis import HealthCheck, given, settings as hsettings, strategies as st

from vantor.host.settings import default_settings
from vantor.system import System
from tests.wire import stream_rows
from vantor.wire import CU_MESSAGE, MCU_MESSAGE, STEP_S

EXAMPLES = int(os.environ.get("VANTOR_HOST_FUZZ_EXAMPLES", "12"))
BUFF = 10                  # steps per window
STEPS_PER_EXAMPLE = 20
FORGERS = [("127.0.0.1", 0), ("127.0.0.1", 0), ("127.0.0.2", 0), ("127.0.0.3", 0)]

u32 = st.integers(0, 2**32 - 1)
f32 = st.floats(width=32, allow_nan=True, allow_infinity=True)


@st.composite
def records(draw):
    """Well-formed cu_message records naming real or unknown boards and units."""
    fields = [draw(st.sampled_from([0, 1, 7, 255])), draw(st.integers(0, 5)),
              draw(st.integers(0, 255)), draw(st.integers(0, 255)),
              draw(st.integers(0, 255)), draw(st.integers(0, 255)),
              draw(st.one_of(u32, st.integers(0, 5000))), draw(u32),
              *[draw(f32) for _ in range(6)], draw(u32), *[draw(f32) for _ in range(3)], draw(u32)]
    return CU_MESSAGE.pack(*fields)


datagrams = st.one_of(
    st.binary(min_size=0, max_size=400),
    st.lists(records(), min_size=1, max_size=6).map(b"".join),
    st.binary(min_size=MCU_MESSAGE.size, max_size=MCU_MESSAGE.size),
    # a run of forged records in sequence from one sender, as a board would send them
    st.tuples(st.sampled_from([0, 1]), st.integers(0, 2**32 - 20)).map(
        lambda t: [CU_MESSAGE.pack(t[0], cu, 0, 0, 1, 4, t[1] + i, 10_000_000, *[0.0] * 6, 5,
                                   0.0, 0.0, 0.0, 10) for i in range(12) for cu in (0,)]),
)
examples = st.lists(st.tuples(st.integers(0, STEPS_PER_EXAMPLE - 1), datagrams,
                              st.integers(0, len(FORGERS) - 1)), max_size=30)


class Running:
    """One host with the simulator for the whole property: examples follow
    each other into the same running host."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.settings = default_settings(2, 3, buffSize=BUFF, timeout=1.0)
        self.system = System(self.settings, seed=5, drive_sim=False)
        self.loop.run_until_complete(self.system.start())
        self.host, self.sim = self.system.host, self.system.sim
        self.sub = self.host.subscribe({"windows"}, maxsize=0)
        self.records = []
        self.done = 0
        self.sockets = []
        for addr in FORGERS:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(addr)
            sock.setblocking(False)
            self.sockets.append(sock)
        self.step(30)              # the boards are heard and their sources confirmed

    def step(self, n):
        self.done += self.loop.run_until_complete(self.sim.run(steps=n))

    def send(self, data, forger):
        try:
            self.sockets[forger].sendto(data, self.host.address)
        except OSError:
            pass                  # e.g. a datagram the kernel refuses; nothing to test

    def published(self):
        while (item := self.sub.get_nowait()) is not None:
            self.records.extend(stream_rows([item]))
        return self.records

    def settle(self):
        self.loop.run_until_complete(asyncio.sleep(0.15))

    def close(self):
        for sock in self.sockets:
            sock.close()
        self.sub.close()
        self.loop.run_until_complete(self.system.stop())
        self.loop.close()


@pytest.fixture(scope="module")
def running():
    r = Running()
    yield r
    r.close()


def check_windows(r):
    """Every genuine unit's windows up to the last surely published one: one per
    window length, none missing or extra, each with exactly the simulator's counts."""
    last_end = ((r.done - 3) // BUFF - 1) * BUFF
    published = r.published()
    for cu in r.settings.units():
        pair = (cu.mcuId, cu.cuId)
        mine = [w for w in published if w["rank"] == cu.rank and w["cuStatus"] == 0]
        ends = [round(w["timestamp"] / STEP_S) for w in mine]
        shown = [(e, w) for e, w in zip(ends, mine) if e <= last_end]
        assert [e for e, _ in shown] == list(range(BUFF, last_end + 1, BUFF)), cu.label
        for end, w in shown:
            total, n = r.sim.counts_between(pair, end - BUFF, end)
            assert (w["counts"], w["intSize"]) == (total * (BUFF // n), BUFF), (cu.label, end)
            assert (w["mcuId"], w["cuId"]) == pair


@hsettings(max_examples=EXAMPLES, deadline=None,
           suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                  HealthCheck.data_too_large])
@given(example=examples)
def test_hostile_traffic_never_changes_a_genuine_window(running, example):
    r = running
    at = 0
    for offset, data, forger in sorted(example, key=lambda e: e[0]):
        if offset > at:
            r.step(offset - at)
            at = offset
        for d in (data if isinstance(data, list) else [data]):
            r.send(d, forger)
    r.step(STEPS_PER_EXAMPLE - at)
    r.settle()
    assert r.host.running
    check_windows(r)
    for cu in r.settings.units():     # the boards' addresses never moved to a forger
        assert r.host._path.admission.update_address(cu.mcuId) == r.sim.addresses[cu.mcuId]

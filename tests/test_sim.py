"""The simulator alone: traffic shape, echo of applied updates, IV sweeps,
status records and fault injection."""
import asyncio
import collections
import random
import statistics

import pytest

from tests.wire import pack, unpack
from vantor.wire import CU_UPDATE_FIELDS, ECHO_FIELDS, echo_of, f32
from vantor.host.settings import default_settings
from vantor.sim import Faults, Response, Simulator
from vantor.sim.unit import poisson


def capture(sim):
    sent = []
    sim._send = lambda mcu, data: sent.append((mcu, data))
    return sent


def records(data):
    return [unpack("cu_message", data[i:i + 60]) for i in range(0, len(data), 60)]


def update_for(unit, **changes):
    fields = {"mcuId": unit.mcuId, "cuId": unit.cuId, **unit.settings}
    fields.update(changes)
    return pack("cu_update_message", **{k: fields[k] for k in CU_UPDATE_FIELDS})


@pytest.fixture
def settings():
    return default_settings(3, 4)


class TestTraffic:
    def test_one_datagram_per_mcu_per_step_with_every_unit(self, settings):
        sim = Simulator(settings, None)
        sent = capture(sim)
        for _ in range(3):
            sim.step()
        assert [m for m, _ in sent] == [0, 1, 2] * 3
        for i, (mcu, data) in enumerate(sent):
            recs = records(data)
            assert [(r["mcuId"], r["cuId"]) for r in recs] == [(mcu, c) for c in range(4)]
            assert {r["sequence"] for r in recs} == {i // 3 + 1}

    def test_records_echo_the_configuration_bit_for_bit(self, settings):
        sim = Simulator(settings, None)
        sent = capture(sim)
        sim.step()
        cu = settings.unit(1, 2)
        rec = records(sent[1][1])[2]
        expected = echo_of(cu.configuration.as_dict())
        assert {k: rec[k] for k in ECHO_FIELDS} == expected
        # the bias voltage is the configured current times the divider factor
        assert rec["biasV"] == pytest.approx(2e-5 * 15057.5, rel=1e-6)

    def test_history_and_totals_match_what_was_sent(self, settings):
        sim = Simulator(settings, None, seed=5)
        sent = capture(sim)
        for _ in range(40):
            sim.step()
        per_unit = collections.Counter()
        for _, data in sent:
            for r in records(data):
                if r["sequence"] >= 11:
                    per_unit[(r["mcuId"], r["cuId"])] += r["counts"]
        for pair, unit in sim.units.items():
            assert sim.counts_between(pair, 11, 41) == (per_unit[pair], 30)
            assert unit.records_sent == 40

    def test_seed_fixes_the_counts(self, settings):
        runs = []
        for _ in range(2):
            sim = Simulator(settings, None, seed=9)
            sent = capture(sim)
            for _ in range(5):
                sim.step()
            runs.append([d for _, d in sent])
        assert runs[0] == runs[1]

    def test_status_record_every_second_per_mcu(self, settings):
        sim = Simulator(settings, None, faults=Faults(pll_unlocked={2}))
        sent = capture(sim)
        for _ in range(200):
            sim.step()
        status = [unpack("mcu_message", d) for _, d in sent if len(d) == 12]
        assert [s["mcuId"] for s in status] == [0, 1, 2, 0, 1, 2]
        assert [s["pllLock"] for s in status] == [1, 1, 0] * 2
        assert all(30 < s["temp1"] < 40 and 4 < s["temp2"] < 4.5 for s in status)

    def test_real_sockets_carry_records_and_updates(self, settings):
        async def scenario():
            got = []
            loop = asyncio.get_running_loop()

            class Sink(asyncio.DatagramProtocol):
                def datagram_received(self, data, addr):
                    got.append((data, addr))

            transport, _ = await loop.create_datagram_endpoint(Sink, local_addr=("127.0.0.1", 0))
            sim = await Simulator(settings, transport.get_extra_info("sockname")).start()
            await sim.run(steps=3)
            await asyncio.sleep(0.05)
            unit = sim.units[(1, 3)]
            transport.sendto(update_for(unit, triggerV=0.25), sim.addresses[1])
            await asyncio.sleep(0.05)
            addresses = sim.addresses
            sim.close()
            transport.close()
            return got, addresses, unit

        got, addresses, unit = asyncio.run(scenario())
        assert len(got) == 9
        assert {addr for _, addr in got} == set(addresses.values())
        assert unit.updates_received == 1 and unit.pending["triggerV"] == f32(0.25)


class TestUpdates:
    def test_applied_from_the_next_step_bit_exactly(self, settings):
        sim = Simulator(settings, None)
        sent = capture(sim)
        unit = sim.units[(0, 1)]
        values = {"biasV": f32(0.123456789), "triggerV": f32(-0.3), "prescale": 7,
                  "biasVStep": f32(1e-7), "unlatchT": 99}
        sim.step()
        unit.receive_update(update_for(unit, **values))
        assert records(sent[0][1])[1]["prescale"] == 1      # already sent: unchanged
        sim.step()
        rec = records(sent[3][1])[1]
        assert {k: rec[k] for k in values} == values
        assert unit.updates_applied == 1

    def test_unit_ignoring_updates_keeps_its_echo(self, settings):
        sim = Simulator(settings, None, faults=Faults(ignore_updates={(0, 1)}))
        unit = sim.units[(0, 1)]
        before = dict(unit.settings)
        unit.receive_update(update_for(unit, triggerV=0.9))
        unit.step(1)
        assert unit.settings == before and unit.updates_received == 1 and unit.updates_applied == 0

    def test_wrong_units_start_off_their_configuration(self, settings):
        sim = Simulator(settings, None, faults=Faults(wrong={(2, 0)}))
        cfg = echo_of(settings.unit(2, 0).configuration.as_dict())
        assert sim.units[(2, 0)].settings["biasV"] != cfg["biasV"]
        assert sim.units[(2, 1)].settings == cfg

    @pytest.mark.parametrize("size, mcu", [(47, 0), (48, 1), (60, 0)])
    def test_foreign_update_datagrams_are_counted_not_applied(self, settings, size, mcu):
        sim = Simulator(settings, None)
        data = update_for(sim.units[(0, 0)]) + b"\0" * 12
        sim._update_received(mcu, data[:size])
        assert sim.updates_unknown == 1 and sim.units[(0, 0)].pending is None


class TestSweep:
    def sweep_unit(self, settings, start=0.0, stop=0.3, step=0.1, points=3):
        sim = Simulator(settings, None)
        unit = sim.units[(0, 0)]
        unit.receive_update(update_for(unit, cuStatus=2, biasVStart=start, biasVStop=stop,
                                       biasVStep=step, biasSweepT=points))
        return unit

    def test_steps_bias_through_the_points_then_returns(self, settings):
        unit = self.sweep_unit(settings)
        recs = [unpack("cu_message", unit.step(s)[0]) for s in range(1, 16)]
        volts = [f32(f32(0.0) + f32(k * f32(0.1))) for k in range(4)]
        assert [r["cuStatus"] for r in recs] == [2] * 12 + [0] * 3
        assert [r["biasV"] for r in recs[:12]] == [v for v in volts for _ in range(3)]
        assert recs[12]["biasV"] == unit.settings["biasV"] and unit.sweeps_done == 1

    def test_negative_steps_sweep_downwards(self, settings):
        unit = self.sweep_unit(settings, start=0.0, stop=-0.2, step=-0.1, points=1)
        recs = [unpack("cu_message", unit.step(s)[0]) for s in range(1, 5)]
        assert [r["biasV"] for r in recs[:3]] == [0.0, f32(-0.1), f32(-0.2)]
        assert recs[3]["cuStatus"] == 0

    def test_status_two_during_a_sweep_does_not_restart_it(self, settings):
        unit = self.sweep_unit(settings)
        for s in range(1, 5):
            unit.step(s)
        unit.receive_update(update_for(unit, cuStatus=2))
        assert unpack("cu_message", unit.step(5)[0])["biasV"] == f32(0.1)

    def test_status_three_ends_a_running_sweep(self, settings):
        unit = self.sweep_unit(settings)
        unit.step(1)
        unit.receive_update(update_for(unit, cuStatus=3))
        rec = unpack("cu_message", unit.step(2)[0])
        assert rec["cuStatus"] == 0 and rec["biasV"] == unit.settings["biasV"]
        assert unit.sweep is None

    def test_wrong_direction_gives_one_point(self, settings):
        unit = self.sweep_unit(settings, start=0.0, stop=0.3, step=-0.1, points=2)
        statuses = [unpack("cu_message", unit.step(s)[0])["cuStatus"] for s in range(1, 5)]
        assert statuses == [2, 2, 0, 0]


class TestFaults:
    def run(self, settings, steps, **faults):
        sim = Simulator(settings, None, faults=Faults(**faults), seed=3)
        sent = capture(sim)
        for _ in range(steps):
            sim.step()
        return sim, [(m, d) for m, d in sent if len(d) != 12]

    def test_drop_all(self, settings):
        sim, sent = self.run(settings, 10, drop=1.0)
        assert sent == [] and sim.datagrams_dropped == 30
        assert sim.counts_between((0, 0), 0, 100) == (0, 0)

    def test_duplicates_follow_their_original(self, settings):
        sim, sent = self.run(settings, 10, duplicate=1.0)
        assert len(sent) == 60 and all(sent[i] == sent[i + 1] for i in range(0, 60, 2))
        assert sim.units[(0, 0)].records_sent == 10     # a duplicate is not counted twice

    def test_reorder_shuffles_within_a_step(self, settings):
        sim, sent = self.run(settings, 30, reorder=1.0)
        steps = [sent[i:i + 3] for i in range(0, 90, 3)]
        assert all(len({records(d)[0]["sequence"] for _, d in s}) == 1 for s in steps)
        assert any([m for m, _ in s] != [0, 1, 2] for s in steps)

    def test_late_datagram_goes_out_one_step_later(self, settings):
        sim, sent = self.run(settings, 20, late=0.3)
        seqs = [records(d)[0]["sequence"] for _, d in sent]
        assert len(seqs) + len(sim._held) == 60
        assert seqs != sorted(seqs)
        # a held datagram follows the next step's, never later
        assert all(b >= a - 1 for a, b in zip(seqs, seqs[1:]))

    def test_silenced_unit_is_left_out_for_its_span(self, settings):
        sim, sent = self.run(settings, 10, silence={(1, 2): (4, 8)})
        for _, data in sent:
            recs = records(data)
            seq = recs[0]["sequence"]
            present = (1, 2) in {(r["mcuId"], r["cuId"]) for r in recs}
            assert present == (not 4 <= seq < 8) or recs[0]["mcuId"] != 1
        assert sim.counts_between((1, 2), 4, 8) == (0, 0)

    def test_burst_holds_then_sends_at_once(self, settings):
        sim = Simulator(settings, None, faults=Faults(burst=(3, 4)))
        sent = capture(sim)
        per_step = []
        for _ in range(8):
            before = len(sent)
            sim.step()
            per_step.append(len(sent) - before)
        assert per_step == [3, 3, 0, 0, 0, 0, 15, 3]
        seqs = [records(d)[0]["sequence"] for _, d in sent]
        assert seqs == sorted(seqs)


class TestResponse:
    def test_rises_smoothly_to_a_plateau(self):
        r = Response(plateau=20.0)
        rates = [r.rate(i * 1e-6) for i in range(0, 60)]
        assert all(b > a for a, b in zip(rates, rates[1:]))
        assert rates[0] < 1 and rates[-1] == pytest.approx(20.0, rel=1e-3)
        assert r.rate(-3e-5) == r.rate(3e-5)

    @pytest.mark.parametrize("lam", [0.5, 17.0, 200.0])
    def test_poisson_mean_and_variance(self, lam):
        rng = random.Random(4)
        xs = [poisson(rng, lam) for _ in range(20000)]
        assert statistics.mean(xs) == pytest.approx(lam, rel=0.03)
        assert statistics.variance(xs) == pytest.approx(lam, rel=0.08)
        assert min(xs) >= 0

    def test_monitor_voltage_follows_bias(self, settings):
        sim = Simulator(settings, None)
        unit = sim.units[(0, 0)]
        low = unpack("cu_message", unit.step(1)[0])["monitorV"]
        unit.receive_update(update_for(unit, biasV=f32(2 * unit.settings["biasV"])))
        high = unpack("cu_message", unit.step(2)[0])["monitorV"]
        assert high == pytest.approx(2 * low, rel=0.05)

"""The whole system on loopback: simulator -> UDP -> broker -> workers -> hub,
updates back to the simulator.  Each scenario runs a few seconds of traffic."""
import asyncio
import os
import signal
import subprocess
import sys
from multiprocessing import shared_memory

import pytest

from tests.wire import unpack
from vantor.system import System
from vantor.wire import echo_of
from vantor.host.settings import default_settings
from vantor.sim import Faults



class Delivered:
    """What the host handed out during a scenario, read from a subscription."""

    def __init__(self, sub):
        self.batches, self.iv_results, self.ranges = [], [], []
        lists = {"windows": self.batches, "iv": self.iv_results, "iv_range": self.ranges}
        while (item := sub.get_nowait()) is not None:
            lists[item[0]].append(item[1])

    def records(self):
        """The read model's rows, as dicts."""
        return [dict(zip(row.dtype.names, row.tolist())) for b in self.batches for row in b.rows]


def start_sweeps(host, ranks=None):
    for cu in host.units:
        if ranks is None or cu.rank in ranks:
            host._control.set_config(cu.rank, cuStatus=2)


def run_system(settings, steps, *, faults=None, seed=2, phases=None, settle=0.4, **host_kw):
    """Run `steps` steps of traffic; `phases` maps a step to a callable(host, sim)
    run between steps.  Returns (host stats, what was delivered, stream frames,
    sim, extra)."""

    async def scenario():
        system = System(settings, faults=faults, seed=seed, drive_sim=False, **host_kw)
        async with system:
            host, sim = system.host, system.sim
            sub = host.subscribe({"windows", "iv", "iv_range"}, maxsize=0)
            frames = []
            host._path.tap = frames.append
            extra = {"shm": host.shm_name}
            done = 0
            for at, action in sorted((phases or {}).items()) + [(steps, None)]:
                done += await sim.run(steps=at - done)
                if action is not None:
                    action(host, sim, extra)
            await asyncio.sleep(settle)
            extra["backend"] = host._path.read_backend()
            extra["configs"] = [host._path.read_config(r) for r in range(1, len(host.units) + 1)]
            extra["units"] = [host.unit_state(r) for r in range(1, len(host.units) + 1)]
            if host.worker_processes == 0:
                extra["workers"] = dict(host._path.workers.workers)
        return host._stats, Delivered(sub), [unpack("stream_data", f) for f in frames], sim, extra

    return asyncio.run(scenario())


def windows_of(frames, rank):
    return [f for f in frames if f["rank"] == rank and f["cuStatus"] == 0]


def check_exact_windows(settings, frames, sim, backend, last_end):
    b = settings.buffSize
    for cu in settings.units():
        got = windows_of(frames, cu.rank)
        ends = [round((w["timestamp"] - backend["TIMESTAMP"]) / 0.01) for w in got]
        assert ends == list(range(b, last_end + 1, b)), cu.label
        for w, end in zip(got, ends):
            total, n = sim.counts_between((cu.mcuId, cu.cuId), end - b, end)
            assert (w["counts"], w["intSize"]) == (total * (b // n), b), (cu.label, end)
            assert (w["mcuId"], w["cuId"]) == (cu.mcuId, cu.cuId)


def own_blocks():
    """This process's shared-memory blocks (other programs may make their own meanwhile)."""
    return {name for name in os.listdir("/dev/shm") if name.startswith(f"vantor-{os.getpid()}-")}


def shm_exists(name):
    try:
        shared_memory.SharedMemory(name=name).close()
    except FileNotFoundError:
        return False
    return True


def check_received(settings, frontend, sim):
    """Each delivered window says how many of its records reached the worker."""
    b = settings.buffSize
    windows = [r for r in frontend.records() if r["cuStatus"] == 0]
    assert windows
    for w in windows:
        end = round(w["timestamp"] / 0.01)
        _, n = sim.counts_between((w["mcuId"], w["cuId"]), max(end - b, 1), end)
        assert w["received"] == n, (w["mcuId"], w["cuId"], end)
    return windows


class TestExactWindows:
    def test_every_unit_publishes_what_the_simulator_sent(self):
        settings = default_settings(4, 8, buffSize=50)
        stats, frontend, frames, sim, extra = run_system(settings, 262)
        check_exact_windows(settings, frames, sim, extra["backend"], 250)
        assert stats.errors == 0 and stats.updates_sent == 0 and stats.sync_failed == 0
        assert stats.records_in == stats.datagrams * 8
        # the read model took every window as the workers published it, the
        # last one too (the hub's batch of it leaves only with the next window)
        delivered = [(r["rank"], r["timestamp"]) for r in frontend.records()]
        assert sorted(delivered) == sorted((f["rank"], f["timestamp"]) for f in frames)
        # the first window (sequence 0 never comes) is the only one short of a record
        windows = check_received(settings, frontend, sim)
        assert {w["received"] for w in windows if w["timestamp"] > 0.6} == {50}
        assert all(u["incomplete"] == 1 and u["complete"] for u in extra["units"])

    def test_reordered_and_duplicated_datagrams_still_give_exact_windows(self):
        settings = default_settings(4, 8, buffSize=50)
        faults = Faults(reorder=1.0, duplicate=0.2)
        stats, _, frames, sim, extra = run_system(settings, 262, faults=faults)
        assert sim.datagrams_duplicated > 50
        assert stats.duplicates() == sim.datagrams_duplicated and stats.dropped() == 0
        check_exact_windows(settings, frames, sim, extra["backend"], 250)

    def test_dropped_datagrams_are_counted_and_windows_scaled(self):
        settings = default_settings(4, 4, buffSize=50, maxFails=100000)
        stats, frontend, frames, sim, extra = run_system(settings, 262, faults=Faults(drop=0.02),
                                                         seed=4)
        assert sim.datagrams_dropped >= 5
        # a window that lost records says so: the read model counted what arrived
        short = [w for w in check_received(settings, frontend, sim) if w["received"] < 50]
        assert len(short) >= 5
        assert all(w["rate"] == w["counts"] / 0.5 for w in short)
        # a loss among the last few datagrams shows no gap yet
        assert sim.datagrams_dropped - 4 <= stats.dropped() <= sim.datagrams_dropped
        assert stats.sync_failed == 0 and extra["backend"]["TIMESTAMP"] == 0.0
        check_exact_windows(settings, frames, sim, extra["backend"], 250)

    def test_late_datagrams_are_counted_and_harm_nothing_else(self):
        settings = default_settings(4, 4, buffSize=50, maxFails=100000)
        stats, _, frames, sim, _ = run_system(settings, 200, faults=Faults(late=0.05), seed=4)
        assert sim.datagrams_late >= 10
        # one held back behind its own board's next datagram arrives out of order;
        # two in a row from one board still arrive in order
        assert 0.8 * sim.datagrams_late <= stats.late() <= sim.datagrams_late
        assert stats.dropped() == 0
        assert stats.errors == 0
        assert all(len(windows_of(frames, cu.rank)) >= 2 for cu in settings.units())

    def test_a_burst_of_held_traffic_still_gives_exact_windows(self):
        settings = default_settings(4, 8, buffSize=50, maxFails=100000)
        stats, _, frames, sim, extra = run_system(settings, 212, faults=Faults(burst=(60, 60)))
        check_exact_windows(settings, frames, sim, extra["backend"], 200)
        assert stats.dropped() == stats.late() == stats.errors == 0

    @pytest.mark.parametrize("transport", ["ipc", "tcp"])
    def test_worker_processes_give_the_same_windows(self, transport):
        settings = default_settings(2, 4, buffSize=50)
        stats, _, frames, sim, extra = run_system(settings, 212, worker_processes=2,
                                                  transport=transport, settle=1.0)
        check_exact_windows(settings, frames, sim, extra["backend"], 200)
        assert stats.errors == 0
        assert not shm_exists(extra["shm"])


class TestCorrection:
    def test_wrong_settings_are_corrected_once(self):
        settings = default_settings(2, 4, buffSize=50)
        pair = (1, 2)
        stats, _, _, sim, extra = run_system(settings, 120, faults=Faults(wrong={pair}))
        unit = sim.units[pair]
        expected = echo_of(settings.unit(*pair).configuration.as_dict())
        assert extra["units"][settings.unit(*pair).rank - 1]["updates"] == 1
        assert stats.updates_sent == 1
        assert unit.updates_received == unit.updates_applied == 1
        assert unit.settings == expected           # the echo is the configuration's, bit for bit
        assert extra["workers"][pair].mismatches == 1
        data, config = extra["workers"][pair].last_mismatch
        assert config["biasV"] == expected["biasV"] and data["biasV"] != expected["biasV"]

    def test_changed_configuration_reaches_the_unit(self):
        settings = default_settings(2, 4, buffSize=50)
        rank = settings.unit(0, 3).rank

        def change(host, sim, extra):
            extra["cfg"] = host._control.set_config(rank, biasI=3.5e-5, triggerV=0.2, pgaGain=9)

        stats, _, _, sim, extra = run_system(settings, 150, phases={60: change})
        unit = sim.units[(0, 3)]
        assert unit.settings == echo_of(extra["cfg"].as_dict())
        assert extra["units"][rank - 1]["updates"] == 1 and stats.updates_sent == 1
        assert extra["units"][rank - 1]["echo_matches"] is True
        assert extra["units"][rank - 1]["echo"]["biasI"] == extra["cfg"].biasI
        assert extra["configs"][rank - 1]["pgaGain"] == 9

    def test_unit_that_ignores_updates_is_retried_every_tenth_message(self):
        settings = default_settings(1, 2, buffSize=50)
        pair = (0, 1)
        faults = Faults(wrong={pair}, ignore_updates={pair})
        stats, _, _, sim, extra = run_system(settings, 100, faults=faults)
        worker = extra["workers"][pair]
        unit = extra["units"][settings.unit(*pair).rank - 1]
        assert 9 <= unit["updates"] == worker.mismatches <= 10
        assert sim.units[pair].updates_received == unit["updates"]
        # the unit echoes other settings than it was given, and the answer says so
        assert unit["echo_matches"] is False
        assert unit["echo"]["biasI"] != unit["config"]["biasI"]
        assert sim.units[pair].updates_applied == 0


class TestSilence:
    def test_silent_units_yield_status_records(self):
        settings = default_settings(2, 4, buffSize=50, timeout=0.2)
        powered, unpowered = (1, 1), (0, 2)

        def unpower(host, sim, extra):
            host._control.set_config(settings.unit(*unpowered).rank, powered=0)

        faults = Faults(silence={powered: (100, None), unpowered: (100, None)})
        stats, frontend, frames, sim, extra = run_system(settings, 220, faults=faults,
                                                         phases={50: unpower}, settle=0.1)
        p_rank, u_rank = settings.unit(*powered).rank, settings.unit(*unpowered).rank
        status = [(f["rank"], f["cuStatus"]) for f in frames if f["cuStatus"] >= 100]
        p_status = [s for r, s in status if r == p_rank]
        u_status = [s for r, s in status if r == u_rank]
        # the host may stop between the two records of the last period
        pairs = len(p_status) // 2
        assert pairs >= 4 and p_status[:2 * pairs] == [200, 100] * pairs
        assert len(u_status) >= 4 and set(u_status) == {100}
        assert {r for r, _ in status} == {p_rank, u_rank}
        assert extra["workers"][powered].timeouts - -(-len(p_status) // 2) in (0, 1)
        assert extra["workers"][unpowered].timeouts == 0
        # silence records reach the front end at once, each on its own
        forwarded = [r for r in frontend.records() if r["cuStatus"] >= 100]
        assert len(forwarded) == len(status)
        assert extra["units"][p_rank - 1]["alarms"] == p_status.count(100)

    def test_unit_coming_back_publishes_again(self):
        settings = default_settings(1, 3, buffSize=50, timeout=0.2)
        pair = (0, 1)
        _, _, frames, sim, extra = run_system(settings, 260,
                                              faults=Faults(silence={pair: (60, 160)}))
        rank = settings.unit(*pair).rank
        after = [f for f in frames if f["rank"] == rank and f["cuStatus"] == 0
                 and f["timestamp"] > 1.6]
        assert [round(f["timestamp"] / 0.01) for f in after] == [200, 250]
        total, n = sim.counts_between(pair, 200, 250)
        assert after[1]["counts"] == total and n == 50


class TestStatusRecords:
    def test_status_records_reach_the_monitor(self):
        settings = default_settings(3, 2, buffSize=50)
        stats, _, _, sim, _ = run_system(settings, 305, faults=Faults(pll_unlocked={1}))
        assert stats.status_in == 9
        for mcu_id, mcu in stats.mcus.items():
            sent = unpack("mcu_message", sim.last_status[mcu_id])
            assert mcu.reports == 3
            assert (mcu.temp1, mcu.temp2) == (sent["temp1"], sent["temp2"])
            assert mcu.pll == (0 if mcu_id == 1 else 1)
            assert mcu.status_changes == 0


class TestIvSweep:
    def test_sweep_points_are_exact_and_the_result_reaches_the_front_end(self):
        settings = default_settings(1, 2, buffSize=50)
        for cu in settings.units():
            cu.configuration = cu.configuration.replaced(biasIStop=5e-6, biasSweepT=10)
        rank = 1

        stats, frontend, frames, sim, extra = run_system(
            settings, 200, phases={40: lambda h, s, e: start_sweeps(h, {rank})})
        points = [f for f in frames if f["rank"] == rank and f["cuStatus"] == 2]
        assert len(points) == 6 and sim.units[(0, 0)].sweeps_done == 1
        assert [p["biasI"] for p in points] == pytest.approx([k * 1e-6 for k in range(6)],
                                                            abs=1e-11)
        for p in points:
            end = round(p["timestamp"] / 0.01)
            total, n = sim.counts_between((0, 0), end - 10, end)
            assert (p["counts"], n) == (total, 10)
        assert extra["configs"][0]["cuStatus"] == 0      # the worker ended the sweep
        (result,) = frontend.iv_results
        row = result["counts"][1]
        assert [c for c in row if c is not None] == [p["counts"] for p in points]
        assert all(c is None for c in result["counts"][2])
        assert frontend.ranges and len(frontend.iv_results) == 1
        assert extra["units"][0]["sweep_biasI"] == pytest.approx(5e-6)
        assert not [f for f in frames if f["rank"] == 2 and f["cuStatus"] == 2]


    def test_status_three_ends_a_running_sweep(self):
        settings = default_settings(1, 1, buffSize=50)
        start = lambda h, s, e: start_sweeps(h)
        end = lambda h, s, e: h._control.set_config(1, cuStatus=3)
        stats, frontend, frames, sim, extra = run_system(settings, 200,
                                                         phases={20: start, 80: end})
        points = [f for f in frames if f["cuStatus"] == 2]
        # 41 points were planned; the sweep stopped after about 60 steps of it
        assert 4 <= len(points) <= 7
        unit = sim.units[(0, 0)]
        assert unit.sweep is None and unit.settings["cuStatus"] == 0 and unit.sweeps_done == 0
        assert extra["configs"][0]["cuStatus"] == 0
        assert len(frontend.iv_results) == 1
        # one update asks for the sweep, one ends it; the first sweep message
        # disagrees too, but it is the second of a run of mismatches
        assert stats.updates_sent == 2
        assert windows_of(frames, 1)[-1]["timestamp"] == pytest.approx(2.0)


class TestShutdown:
    def test_stop_releases_shared_memory(self):
        settings = default_settings(2, 2)
        _, _, _, _, extra = run_system(settings, 20)
        assert not shm_exists(extra["shm"])

    def test_a_system_stopped_before_its_simulator_ran_stops(self):
        """A service whose start fails right after the system's (its app could
        not be built) stops the system before the simulator's task first ran."""
        async def scenario():
            system = System(default_settings(1, 1))
            await system.start()
            await asyncio.wait_for(system.stop(), 5)
        asyncio.run(scenario())

    def test_failed_start_releases_shared_memory(self):
        async def scenario():
            busy = await asyncio.get_running_loop().create_datagram_endpoint(
                asyncio.DatagramProtocol, local_addr=("127.0.0.1", 0))
            system = System(default_settings(1, 1), listen=busy[0].get_extra_info("sockname"))
            before = own_blocks()
            with pytest.raises(OSError):
                await system.start()
            busy[0].close()
            return before, own_blocks()

        before, after = asyncio.run(scenario())
        assert after <= before

    def test_ctrl_c_stops_the_console_command_cleanly(self):
        env = dict(os.environ)   # the same vantor this test imports: installed, or PYTHONPATH=src
        proc = subprocess.Popen([sys.executable, "-m", "vantor", "run", "--mcus", "2",
                                 "--units", "2"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        first = proc.stdout.readline()        # the first frame of the view: it is running
        assert first.startswith("vantor ")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
        assert proc.returncode == 0, err
        name = out.strip().splitlines()[-1].split()[3]
        assert "records in" in out and not shm_exists(name)
        assert "Traceback" not in err


@pytest.mark.parametrize("processes", [0, 1])
def test_worker_failures_are_counted_and_traffic_goes_on(processes):
    settings = default_settings(1, 2, buffSize=50)

    def window(size):
        return lambda host, sim, extra: host._path.write_buff_size(size)

    stats, _, frames, sim, _ = run_system(settings, 262, phases={60: window(0), 110: window(50)},
                                          worker_processes=processes, settle=1.0)
    assert stats.errors >= 2 * 40
    assert "ZeroDivisionError" in stats.last_error
    for cu in settings.units():
        late = [w for w in windows_of(frames, cu.rank) if w["timestamp"] > 1.75]
        assert [round(w["timestamp"] / 0.01) for w in late] == [200, 250]
        for w in late:
            end = round(w["timestamp"] / 0.01)
            assert w["counts"] == sim.counts_between((cu.mcuId, cu.cuId), end - 50, end)[0]


def test_worker_process_that_dies_at_start_fails_the_start_cleanly():
    settings = default_settings(1, 1)
    settings.doc = {"mcu": "not a list"}     # the worker process cannot rebuild the settings

    async def scenario():
        system = System(settings, worker_processes=1)
        with pytest.raises(RuntimeError, match="exited with code 1 before it was ready"):
            await system.start()
        return system.host

    before = own_blocks()
    host = asyncio.run(scenario())
    assert own_blocks() <= before and host._path.block is None

"""Read-out electronics on loopback: M microcontrollers with K channel units
each, one datagram per microcontroller per 10 ms step, status records once a
second, updates applied from the next step."""
import asyncio
import collections
import math
import random

from vantor.wire import CU_UPDATE, MCU_MESSAGE, STEP_S, current_to_voltage, echo_of, f32
from .faults import Faults
from .sensor import Sensor, unit_values
from .unit import Response, SimUnit

STEP = STEP_S
STATUS_EVERY = 100        # steps between microcontroller status records
MAX_CATCH_UP = 50         # steps sent at once when the event loop fell behind


class _McuEndpoint(asyncio.DatagramProtocol):
    def __init__(self, sim, mcu_id):
        self.sim, self.mcu_id = sim, mcu_id
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        self.sim._update_received(self.mcu_id, data)

    def error_received(self, exc):
        self.sim.send_errors += 1


class Simulator:
    def __init__(self, settings, target, *, seed=1, faults=None, history=6000,
                 bind_host="127.0.0.1", plateau=20.0):
        self.settings = settings
        self.target = target
        self.faults = faults or Faults()
        self.bind_host = bind_host
        self.fault_rng = random.Random(seed * 7919 + 1)
        self.sequence = 0
        self.units = {}
        self.mcus = {}
        self.history = {}
        self.datagrams_sent = self.datagrams_dropped = self.datagrams_duplicated = 0
        self.datagrams_late = 0
        self.status_sent = self.updates_unknown = self.send_errors = 0
        self.last_status = {}     # mcuId -> the last status record sent
        self._held = []          # datagrams delayed by one step
        self._burst = []         # datagrams withheld for a burst
        self._stop = None
        self._stopped = False
        for index, cu in enumerate(settings.units()):
            cfg = cu.configuration.as_dict()
            echo = echo_of(cfg)
            if cu_pair(cu) in self.faults.wrong:
                echo.update(biasV=f32(echo["biasV"] * 0.5 + 0.01), triggerV=f32(echo["triggerV"] + 0.05))
            rng = random.Random(seed * 1000003 + index)
            to_v = current_to_voltage(cfg["resistorCryo"], cfg["resistorParallel"],
                                      cfg["resistorSeries"], cfg["resistorBias"])
            if settings.sim is None:
                response = Response(plateau=plateau * (0.8 + 0.4 * rng.random()))
            else:
                response = Sensor(unit_values(settings.sim, cu_pair(cu), seed))
            unit = SimUnit(cu.mcuId, cu.cuId, echo, to_v, response, rng,
                           ignores_updates=cu_pair(cu) in self.faults.ignore_updates)
            self.units[unit.pair] = unit
            self.history[unit.pair] = collections.deque(maxlen=history)
            self.mcus.setdefault(cu.mcuId, []).append(unit)
        self.endpoints = {}

    # -- sockets ---------------------------------------------------------------

    async def start(self):
        loop = asyncio.get_running_loop()
        for mcu_id in self.mcus:
            _, proto = await loop.create_datagram_endpoint(
                lambda m=mcu_id: _McuEndpoint(self, m), local_addr=(self.bind_host, 0))
            self.endpoints[mcu_id] = proto
        return self

    @property
    def addresses(self):
        """mcuId -> the local address its datagrams come from."""
        return {m: p.transport.get_extra_info("sockname") for m, p in self.endpoints.items()}

    def close(self):
        for proto in self.endpoints.values():
            if proto.transport is not None:
                proto.transport.close()
        self.endpoints = {}

    def _update_received(self, mcu_id, data):
        if len(data) != CU_UPDATE.size or data[0] != mcu_id:
            self.updates_unknown += 1
            return
        unit = self.units.get((data[0], data[1]))
        if unit is None:
            self.updates_unknown += 1
            return
        unit.receive_update(data)

    def _send(self, mcu_id, data):
        proto = self.endpoints.get(mcu_id)
        if proto is None or proto.transport is None or proto.transport.is_closing():
            return
        proto.transport.sendto(data, self.target)

    # -- traffic ---------------------------------------------------------------

    def step(self):
        """Produce and send one step of traffic."""
        self.sequence += 1
        seq, faults, rng = self.sequence, self.faults, self.fault_rng
        silences = bool(faults.silence)
        datagrams = []
        for mcu_id, units in self.mcus.items():
            parts, counted = [], []
            for unit in units:
                record, counts = unit.step(seq)
                if silences and faults.silent(unit.pair, seq):
                    continue
                parts.append(record)
                counted.append((unit, counts))
            if parts:
                datagrams.append((mcu_id, b"".join(parts), counted))
        if faults.reorder and rng.random() < faults.reorder:
            rng.shuffle(datagrams)
        # Datagrams held back last step go out behind this step's.
        out, held, self._held = [], self._held, []
        for item in datagrams:
            if faults.late and rng.random() < faults.late:
                self._held.append(item)
                self.datagrams_late += 1
            else:
                out.append(item)
        out += held
        burst = faults.burst
        if burst and burst[0] <= seq < burst[0] + burst[1]:
            self._burst.extend(out)
            out = []
        elif self._burst:
            out, self._burst = self._burst + out, []
        for mcu_id, data, counted in out:
            self._emit(mcu_id, data, counted)
        if seq % STATUS_EVERY == 0:
            for mcu_id in self.mcus:
                record = self.last_status[mcu_id] = self.mcu_status(mcu_id, seq)
                self._send(mcu_id, record)
                self.status_sent += 1

    def _emit(self, mcu_id, data, counted):
        faults, rng = self.faults, self.fault_rng
        if faults.drop and rng.random() < faults.drop:
            self.datagrams_dropped += 1
            return
        seq = int.from_bytes(data[8:12], "little")
        for unit, counts in counted:
            unit.total_counts += counts
            unit.records_sent += 1
            self.history[unit.pair].append((seq, counts))
        copies = 2 if faults.duplicate and rng.random() < faults.duplicate else 1
        self.datagrams_duplicated += copies - 1
        for _ in range(copies):
            self._send(mcu_id, data)
            self.datagrams_sent += 1

    def mcu_status(self, mcu_id, seq):
        t = seq * STEP
        temp1 = 35.0 + 0.5 * math.sin(t / 30.0 + mcu_id) + self.fault_rng.gauss(0, 0.05)
        temp2 = 4.2 + 0.01 * math.sin(t / 10.0 + mcu_id) + self.fault_rng.gauss(0, 0.002)
        lock = 0 if mcu_id in self.faults.pll_unlocked else 1
        return MCU_MESSAGE.pack(mcu_id, 0, 0, lock, temp1, temp2)

    async def run(self, steps=None, seconds=None):
        """Send steps every 10 ms until `steps`/`seconds` are done or stop() is called."""
        if seconds is not None:
            limit = int(round(seconds / STEP))
            steps = limit if steps is None else min(steps, limit)
        loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        if self._stopped:          # stopped before this run began (a start that failed)
            return 0
        start, done = loop.time(), 0
        while steps is None or done < steps:
            due = int((loop.time() - start) / STEP) + 1
            for _ in range(min(due - done, MAX_CATCH_UP)):
                if steps is not None and done >= steps:
                    break
                self.step()
                done += 1
            if due - done > MAX_CATCH_UP:       # too far behind: skip time, not steps
                start = loop.time() - done * STEP
            wait = start + (done + 1) * STEP - loop.time()
            try:
                await asyncio.wait_for(self._stop.wait(), max(wait, 0))
                break
            except asyncio.TimeoutError:
                pass
        # A step's datagrams held back for later still go out at the end.
        for mcu_id, data, counted in self._burst + self._held:
            self._emit(mcu_id, data, counted)
        self._burst, self._held = [], []
        return done

    def stop(self):
        self._stopped = True
        if self._stop is not None:
            self._stop.set()

    # -- bookkeeping for comparisons -------------------------------------------

    def counts_between(self, pair, first, end):
        """Sum and number of the counts this unit delivered with first <= sequence < end."""
        total = n = 0
        for seq, counts in self.history[pair]:
            if first <= seq < end:
                total += counts
                n += 1
        return total, n

    def sensors(self):
        """Every unit's sensor values (drawn and set), in the settings' order."""
        return [{"rank": cu.rank, "name": cu.label, **self.units[cu_pair(cu)].response.describe()}
                for cu in self.settings.units()]

    def expected_echo(self, pair):
        return dict(self.units[pair].settings)


def cu_pair(cu):
    return (cu.mcuId, cu.cuId)


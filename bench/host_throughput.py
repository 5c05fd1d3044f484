"""Throughput of the reference host's in-process data path: datagrams handed
to the host as fast as it takes them (no UDP, no pacing), through broker,
workers and hub.  Prints records per second for a few site sizes."""
import asyncio
import time

from vantor.host.app import Host
from vantor.host.settings import default_settings
from vantor.sim import Simulator

STEPS = 2000


async def measure(mcus, units):
    settings = default_settings(mcus, units, buffSize=100)
    host = await Host(settings).start()
    sim = Simulator(settings, None, seed=1)
    datagrams = []
    sim._send = lambda mcu, data: datagrams.append(data) if len(data) != 12 else None
    for _ in range(STEPS):
        sim.step()
    addr = ("127.0.0.1", 1)
    start = time.perf_counter()
    for data in datagrams:
        host._path._datagram_received(data, addr)
    intake = time.perf_counter() - start
    while host._stats.stream_in < (STEPS // 100 - 1) * mcus * units:
        await asyncio.sleep(0.001)
    total = time.perf_counter() - start
    records = host._stats.records_in
    errors = host._stats.errors
    await host.stop()
    return records, intake, total, errors


def main():
    print(f"{'units':>6} {'records':>9} {'intake s':>9} {'with hub s':>10} "
          f"{'records/s':>11} {'us/record':>10} {'errors':>6}")
    for mcus, units in [(4, 8), (8, 16), (16, 32)]:
        records, intake, total, errors = asyncio.run(measure(mcus, units))
        print(f"{mcus * units:>6} {records:>9} {intake:>9.3f} {total:>10.3f} "
              f"{records / total:>11.0f} {1e6 * total / records:>10.2f} {errors:>6}")


if __name__ == "__main__":
    main()

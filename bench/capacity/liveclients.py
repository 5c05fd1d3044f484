"""The service level's users, in a process of their own: live-stream clients
of /api/live (mode=records) and one acquisition job of every unit that runs
as long as the sender does.

    python bench/capacity/liveclients.py --url http://127.0.0.1:PORT --units 2048 \
        --seconds 13 [--clients 4] [--rate 10] [--linger 0.5]

Connects every client (each reads its hello), prints "ready", then reads t0
(a time.monotonic() value) from standard input, submits the acquisition (to
end 0.5 s after the sender's last step, due at t0 + seconds) and reads until
t0 + seconds + linger.  Prints one JSON line: the job as submitted and, per
client, the messages, records and events received, whether the service
closed the socket, and for every records message the CLOCK_MONOTONIC time it
was read, the time the service built it (its "time", moved onto the same
clock), and its window records grouped by board and timestamp:
[t, built, [[mcuId, timestamp, n], ...]].  time.monotonic() is
CLOCK_MONOTONIC, one clock for every process on the machine, so these times
compare with the host's.  Messages are parsed after the run, so that one
client's parsing does not delay another's read."""
import argparse
import asyncio
import collections
import json
import os
import sys
import time

import aiohttp

JOB_AFTER_SENDER_S = 0.5
CU_NORMAL = 0


class LiveClient:
    def __init__(self, index):
        self.index = index
        self.ws = None
        self.messages = self.records = self.other_records = self.events = 0
        self.samples = []
        self.raw = []                        # (monotonic time read, message text)
        self.hello_units = None
        self.closed_by_service = None       # monotonic time the service ended the stream

    async def connect(self, session, url):
        self.ws = await session.ws_connect(url, max_msg_size=0, autoping=True)
        hello = json.loads((await self.ws.receive(timeout=60)).data)
        if hello.get("type") != "hello":
            raise RuntimeError(f"client {self.index}: expected a hello, got {hello.get('type')!r}")
        self.hello_units = len(hello["snapshot"]["units"])

    async def read(self):
        clock = time.monotonic
        ws = self.ws
        while True:
            msg = await ws.receive()
            t = clock()
            if msg.type == aiohttp.WSMsgType.TEXT:
                self.raw.append((t, msg.data))
            elif msg.type in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSING,
                              aiohttp.WSMsgType.CLOSED, aiohttp.WSMsgType.ERROR):
                self.closed_by_service = t
                return

    def parse(self):
        """The messages read, parsed; wall-clock "time" moved onto CLOCK_MONOTONIC."""
        wall_minus_mono = time.time() - time.monotonic()
        for t, text in self.raw:
            self.take(t, json.loads(text), wall_minus_mono)
        self.raw = []

    def take(self, t, message, wall_minus_mono):
        kind = message.get("type")
        if kind == "event":
            self.events += 1
            return
        if kind == "events":
            self.events += len(message["events"])
            return
        if kind != "records":
            return
        self.messages += 1
        groups = collections.Counter()
        for r in message["records"]:
            if r["cuStatus"] == CU_NORMAL:
                groups[(r["mcuId"], r["timestamp"])] += 1
            else:
                self.other_records += 1
        if groups:
            self.records += sum(groups.values())
            built = message["time"] - wall_minus_mono
            self.samples.append([t, built, [[m, ts, n] for (m, ts), n in groups.items()]])

    def report(self):
        return {"hello_units": self.hello_units, "messages": self.messages,
                "records": self.records, "other_records": self.other_records,
                "events": self.events, "closed_by_service": self.closed_by_service,
                "samples": self.samples}


async def submit_acquisition(session, args, t0):
    seconds = round(t0 + args.seconds + JOB_AFTER_SENDER_S - time.monotonic(), 3)
    async with session.post(args.url + "/api/jobs/acquire",
                            json={"units": list(range(1, args.units + 1)),
                                  "seconds": seconds}) as resp:
        answer = await resp.json()
        return {"status": resp.status, "id": answer.get("id"), "state": answer.get("state"),
                "error": answer.get("error"), "seconds": seconds}


async def run(args):
    live_url = args.url.replace("http", "ws", 1) + f"/api/live?mode=records&rate={args.rate:g}"
    timeout = aiohttp.ClientTimeout(total=None, sock_connect=30)
    loop = asyncio.get_running_loop()
    async with aiohttp.ClientSession(timeout=timeout) as session:
        clients = [LiveClient(i) for i in range(args.clients)]
        await asyncio.gather(*(c.connect(session, live_url) for c in clients))
        readers = [asyncio.create_task(c.read()) for c in clients]
        print("ready", flush=True)
        t0 = float(await loop.run_in_executor(None, sys.stdin.readline))
        job = None
        if not args.no_acquire:
            job = await submit_acquisition(session, args, t0)
        await asyncio.sleep(max(0.0, t0 + args.seconds + args.linger - time.monotonic()))
        for task in readers:
            task.cancel()
        await asyncio.gather(*readers, return_exceptions=True)
        for c in clients:
            await c.ws.close()
    for c in clients:
        c.parse()
    cpu = os.times()
    print(json.dumps({"job": job, "clients": [c.report() for c in clients],
                      "cpu_s": cpu.user + cpu.system}), flush=True)


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True, help="the service, http://127.0.0.1:PORT")
    p.add_argument("--units", type=int, required=True, help="units to acquire: ranks 1..N")
    p.add_argument("--seconds", type=float, required=True, help="how long the sender sends")
    p.add_argument("--clients", type=int, default=4)
    p.add_argument("--rate", type=float, default=10.0, help="messages per second per client")
    p.add_argument("--linger", type=float, default=0.5,
                   help="seconds to read on after the sender's last step")
    p.add_argument("--no-acquire", action="store_true",
                   help="no acquisition job (to see what the job itself costs)")
    p.add_argument("--cpu", type=int, default=None, help="pin to this CPU")
    args = p.parse_args(argv)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    asyncio.run(run(args))


if __name__ == "__main__":
    main()

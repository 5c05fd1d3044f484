"""The service under load and after crashes, as a real process: floods of
connections, slow clients, jobs and live streams meet their limits with a
clear answer while the API keeps answering and the data path loses nothing
(its dropped/late counters are read before and after); a SIGKILL leaves jobs
listed with why, ids that go on, and no process of the service behind."""
import asyncio
import json
import os
import resource
import signal
import socket
import threading
import time
import tomllib

import aiohttp
import pytest

from tests.service_process import Service, settings_text, wait_for
from tests.test_host_processes import alive
from tests.test_service import raw
from vantor.client import Client, ServiceError
from vantor.service import guard, jobs as jobs_module, live

SETTINGS = settings_text([4, 4, 4, 4], "buffSize = 10")


def loss(client):
    totals = client.snapshot()["totals"]
    return totals["dropped"], totals["late"]


def timed(call):
    started = time.monotonic()
    result = call()
    return result, time.monotonic() - started


@pytest.fixture
def site(tmp_path):
    config = tmp_path / "site.toml"
    config.write_text(SETTINGS)
    return config


def test_a_flood_of_idle_and_half_sent_connections_leaves_the_api_answering(tmp_path, site):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 2400:
        pytest.skip("this test opens 1,150 sockets")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    held = []
    with Service(tmp_path / "data", "--config", str(site), open_files=1024) as svc:
        client = Client(svc.url)
        wait_for(lambda: all(u["windows"] for u in client.units()), 20, "every unit streaming")
        before = loss(client)
        port = int(svc.url.rsplit(":", 1)[1])
        try:
            # 1,100 connections from 40 loopback addresses (more than the
            # service's whole limit), half of them with a request begun...
            for n in range(1100):
                sock = socket.socket()
                sock.bind((f"127.0.0.{2 + n % 40}", 0))
                sock.connect(("127.0.0.1", port))
                if n % 2:
                    sock.sendall(b"GET /api/snapshot HTTP/1.1\r\nHost: 127.0.0.1\r\n")
                held.append(sock)
            # ... and 40 from one address (over its own limit)
            for _ in range(40):
                sock = socket.socket()
                sock.bind(("127.0.0.250", 0))
                sock.connect(("127.0.0.1", port))
                held.append(sock)
            snap, took = timed(client.snapshot)
            assert len(snap["units"]) == 16 and took < 2.0, took
            units, took = timed(lambda: client.configure([1], biasI=1.2e-5))
            assert units[0]["config"]["biasI"] == pytest.approx(1.2e-5) and took < 5.0
            refused = 0
            for sock in held[-40:]:
                sock.settimeout(0.5)
                try:
                    refused += sock.recv(100).startswith(b"HTTP/1.1 503")
                except socket.timeout:
                    pass
            assert refused >= 40 - guard.PER_ADDRESS      # its own limit, or the whole one
            # Silent and slow clients are closed after the idle time-out.
            deadline = time.monotonic() + guard.IDLE_S + 10
            open_left = list(held)
            while open_left and time.monotonic() < deadline:
                still = []
                for sock in open_left:
                    sock.settimeout(0.01)
                    try:
                        if sock.recv(4096):
                            still.append(sock)      # a 503 or a 408 first; its close follows
                    except socket.timeout:
                        still.append(sock)
                    except OSError:
                        pass
                open_left = still
                time.sleep(0.2)
            assert not open_left, f"{len(open_left)} connections still open"
        finally:
            for sock in held:
                sock.close()
        assert loss(client) == before, "the data path lost datagrams under the flood"
        status, _, err = svc.stop()
    assert status == 0 and "Traceback" not in err and len(err) < 10000, err[-2000:]


async def _live_clients(url, count):
    async with aiohttp.ClientSession() as session:
        sockets, refused = [], []
        for _ in range(count):
            try:
                ws = await session.ws_connect(url + "/api/live?rate=1")
                await ws.receive()               # the hello
                sockets.append(ws)
            except aiohttp.WSServerHandshakeError as exc:
                refused.append(exc.status)
        big = sockets[0]
        await big.send_str("x" * (live.MAX_MESSAGE + 1))
        closed = await big.receive(10)
        while closed.type == aiohttp.WSMsgType.TEXT:          # what was under way
            closed = await big.receive(10)
        for ws in sockets:
            await ws.close()
        return len(sockets), refused, closed


def test_live_streams_and_their_messages_are_bounded(tmp_path, site):
    with Service(tmp_path / "data", "--config", str(site)) as svc:
        client = Client(svc.url)
        wait_for(lambda: all(u["windows"] for u in client.units()), 20, "every unit streaming")
        before = loss(client)
        accepted, refused, closed = asyncio.run(_live_clients(svc.url, live.MAX_CLIENTS + 3))
        assert accepted == live.MAX_CLIENTS and refused == [503] * 3
        assert closed.type == aiohttp.WSMsgType.CLOSE and closed.data == 1009   # too big
        assert loss(client) == before


def test_a_flood_of_jobs_is_bounded_and_each_change_is_one_event(tmp_path, site):
    with Service(tmp_path / "data", "--config", str(site)) as svc:
        client = Client(svc.url)
        wait_for(lambda: all(u["windows"] for u in client.units()), 20, "every unit streaming")
        before = loss(client)
        events = []
        stop = threading.Event()

        def listen():
            with Client(svc.url).live(rate=1) as stream:
                for message in stream:
                    batch = message.get("events") or [message.get("event")]
                    events.extend(e for e in batch if e and e.get("kind") in ("job", "queue"))
                    if stop.is_set():
                        break

        listener = threading.Thread(target=listen)
        listener.start()
        time.sleep(1.0)
        long = client.submit_acquire([16], 60)       # the others wait behind it
        answers, slowest = [], 0.0
        for n in range(199):
            answers.append(raw(svc.url + "/api/jobs/acquire", "POST",
                               json.dumps({"units": [1 + n % 16], "seconds": 0.05}).encode())[0])
            if n % 20 == 0:
                slowest = max(slowest, timed(client.snapshot)[1])
        assert answers.count(202) == jobs_module.MAX_WAITING - 1
        assert answers.count(429) == 200 - jobs_module.MAX_WAITING
        assert slowest < 1.0, slowest
        client.cancel(long)
        wait_for(lambda: all(j["state"] in ("done", "cancelled") for j in client.jobs()), 60,
                 "every job done")
        time.sleep(1.5)
        stop.set()
        listener.join(10)
        accepted = jobs_module.MAX_WAITING
        # queued, running, done and one queue move each: not one per waiting job
        assert accepted * 3 <= len(events) <= accepted * 5, len(events)
        assert loss(client) == before
        assert client.alarms() is not None and raw(svc.url + "/api/alarms")[1]["archive"][
            "skipped"] == 0, "the archive and alarm feed dropped items"


def descendants(pid):
    """Process ids whose parent chain leads to `pid`."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as fh:
                    parents[int(entry)] = int(fh.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    found, grew = set(), True
    while grew:
        grew = False
        for child, parent in parents.items():
            if child not in found and (parent == pid or parent in found):
                found.add(child)
                grew = True
    return found


def test_after_a_sigkill_jobs_are_listed_ids_go_on_and_no_process_is_left(tmp_path, site):
    data = tmp_path / "data"
    hooked = tmp_path / "hooked.toml"         # an alarm hook that is still running at the kill
    hooked.write_text(settings_text([4, 4, 4, 4], 'buffSize = 10\n[alarms]\nunheard_seconds = 1\n'
                                    'hook = ["sleep", "600"]\nhook_timeout = 600'))
    with Service(data, "--config", str(hooked), "--silence", "3.3") as svc:
        client = Client(svc.url)
        wait_for(lambda: any(open(f"/proc/{p}/cmdline", "rb").read().startswith(b"sleep")
                             for p in descendants(svc.proc.pid) if alive(p)), 20,
                 "the alarm hook running")
        first = client.submit_acquire([1], 0.2)
        client.wait(first)
        kept = client.download(first, tmp_path / "first.csv").read_bytes()   # the helper starts
        running = client.submit_acquire([2], 600)
        wait_for(lambda: client.job(running)["state"] == "running", 10, "the job running")
        queued = client.submit_acquire([3], 1)
        helpers = descendants(svc.proc.pid)
        assert len(helpers) >= 3, "the results helper, its resource tracker and the hook"
        svc.proc.send_signal(signal.SIGKILL)
        svc.proc.wait(10)
    wait_for(lambda: not any(alive(p) for p in helpers), 10,
             "every process of the killed service gone")
    with Service(data, "--config", str(site)) as svc:
        client = Client(svc.url)
        listed = {j["id"]: j for j in client.jobs()}
        assert listed[first["id"]]["state"] == "done"
        assert listed[running["id"]]["state"] == "failed"
        assert "killed or crashed" in listed[running["id"]]["error"]
        assert listed[queued["id"]]["state"] == "failed"
        assert "before this job started" in listed[queued["id"]]["error"]
        again = client.submit_acquire([1], 0.2)
        assert int(again["id"]) > int(queued["id"])
        client.wait(again)
        client.download(again, tmp_path / "again.csv")
        assert client.download(first, tmp_path / "first-again.csv").read_bytes() == kept
        with pytest.raises(ServiceError) as err:
            client.result(first)
        assert err.value.status == 409 and "restarted" in str(err.value)


def test_a_sigkill_amid_settings_changes_leaves_every_file_valid(tmp_path, site):
    data = tmp_path / "data"
    with Service(data, "--config", str(site)) as svc:
        client = Client(svc.url)
        stop = threading.Event()

        def change():
            n = 0
            while not stop.is_set():
                try:
                    client.configure([1 + n % 16], timeout=1, biasI=1e-5 + 1e-7 * (n % 50))
                except ServiceError:
                    return
                n += 1

        workers = [threading.Thread(target=change) for _ in range(3)]
        for w in workers:
            w.start()
        wait_for(lambda: len(list(tmp_path.glob("site.toml.*.bak"))) >= 5, 30, "backups")
        wait_for(lambda: client.settings_log(since=-600), 10, "changes in the archive")
        svc.proc.send_signal(signal.SIGKILL)
        svc.proc.wait(10)
        stop.set()
        for w in workers:
            w.join(20)
    for path in [site, *tmp_path.glob("site.toml.*.bak")]:
        tomllib.loads(path.read_text())           # raises on a half-written file
    with Service(data, "--config", str(site)) as svc:
        assert Client(svc.url).settings_log(since=-600), "the archive reads on after the kill"

"""The reference host: one asyncio event loop carrying datagrams from the UDP
endpoint through the broker to the workers, stream records to the hub, and
update records back to the units' microcontrollers."""
import asyncio
import itertools
import os
import shutil
import tempfile

import zmq
import zmq.asyncio

from .frontend import Frontend
from .protocols import Broker, Hub, Monitor
from .pump import messages
from .records import CU_MESSAGE, CU_UPDATE, MCU_MESSAGE, UPDATE_FRAMES
from .shared import SharedBlock
from .stats import Stats
from .udp import UdpEndpoint
from .workerproc import RemoteWorkers
from .workers import LocalWorkers

_instances = itertools.count()


def default_listen(hardware=None):
    """Loopback for the simulator; facing hardware, every interface on its port."""
    return ("0.0.0.0", hardware[1]) if hardware else ("127.0.0.1", 0)


class _Endpoint:
    """Status records are exactly one 12-byte mcu_message; channel-unit
    datagrams are whole 60-byte records.  Anything else is counted and dropped."""

    def __init__(self, host):
        self.host = host

    def datagram_received(self, data, addr):
        size = len(data)
        if size == MCU_MESSAGE.size:
            self.host._status_received(data)
        elif size and size % CU_MESSAGE.size == 0:
            self.host._datagram_received(data, addr)
        else:
            self.host.stats.malformed += 1

    def error_received(self, exc):
        self.host.stats.error("udp", exc)


class Host:
    def __init__(self, settings, *, listen=("127.0.0.1", 0), hardware=None,
                 worker_processes=0, transport="ipc", keep=False):
        self.settings = settings
        self.listen = listen
        self.hardware = hardware          # fallback address for updates, if given
        self.worker_processes = worker_processes
        self.transport_kind = transport
        self.stats = Stats(settings)
        self.frontend = Frontend(self.stats, keep=keep)
        self.tap = None                   # called with every stream frame (tests)
        self.block = None
        self.udp = None
        self._tasks = []
        self._tmpdir = None
        self._started = False

    # -- life cycle --------------------------------------------------------------

    async def start(self):
        settings = self.settings
        units = settings.units()
        try:
            self.block = SharedBlock(len(units))
            for cu in units:
                self.block.write_config(cu.rank - 1, cu.configuration)
            self.block.write_buff_size(settings.buffSize)

            self.ctx = zmq.Context()
            self.actx = zmq.asyncio.Context.shadow(self.ctx.underlying)
            self.stream_in = self._pull("stream")
            self.update_in = self._pull("update")
            stream_url = self.stream_in.getsockopt_string(zmq.LAST_ENDPOINT)
            update_url = self.update_in.getsockopt_string(zmq.LAST_ENDPOINT)

            if self.worker_processes:
                self.workers = RemoteWorkers(
                    settings, self.block, self.ctx, stream_url, update_url, self.stats,
                    processes=self.worker_processes, endpoint=self._bind,
                    doc=settings.doc)
            else:
                self.workers = LocalWorkers(settings, self.block, self.ctx, stream_url,
                                            update_url, self.stats)
            self.device_addresses = {}
            cuids = {(cu.mcuId, cu.cuId) for cu in units}
            self.broker = Broker(settings.maxFails, len(units), len(settings.devices),
                                 self.block.backend_pair(), self.device_addresses, cuids,
                                 False).bind(self.workers.deliver, self.stats)
            self.hub = Hub(settings)
            self.hub.frontend = self.frontend
            self.monitors = {m: Monitor().bind(self.stats.mcus[m]) for m in settings.devices}

            self._tasks = [asyncio.create_task(self._pump_stream()),
                           asyncio.create_task(self._pump_updates())]
            await self.workers.start()
            self.endpoint = _Endpoint(self)
            self.udp = UdpEndpoint(asyncio.get_running_loop(), self.listen, self.endpoint)
            self._started = True
        except BaseException:
            await self.stop()
            raise
        return self

    async def stop(self):
        """Stop intake first, then the workers (and their timers), then the
        objects holding shared-memory addresses, and only then the memory."""
        if self.udp is not None:
            self.udp.close()
            self.udp = None
        for task in self._tasks:
            task.cancel()
        for task in self._tasks:
            try:
                await task
            except (asyncio.CancelledError, Exception):
                pass
        self._tasks = []
        workers = getattr(self, "workers", None)
        if workers is not None:
            await workers.stop()
            self.workers = None
        self.broker = self.hub = None
        self.monitors = {}
        for name in ("stream_in", "update_in"):
            sock = getattr(self, name, None)
            if sock is not None:
                sock.close(linger=0)
                setattr(self, name, None)
        if getattr(self, "ctx", None) is not None:
            self.ctx.destroy(linger=0)   # also closes any socket a failed start left open
            self.ctx = None
        if self.block is not None:
            self.block.close()
            self.block = None
        if self._tmpdir:
            shutil.rmtree(self._tmpdir, ignore_errors=True)
            self._tmpdir = None
        self._started = False

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.stop()

    @property
    def address(self):
        return self.udp.get_extra_info("sockname")[:2]

    @property
    def shm_name(self):
        return self.block.name if self.block else None

    # -- sockets -----------------------------------------------------------------

    def _bind(self, sock, role):
        if not self.worker_processes:
            sock.bind(f"inproc://vantor-{os.getpid()}-{next(_instances)}-{role}")
        elif self.transport_kind == "tcp":
            sock.bind("tcp://127.0.0.1:*")
        else:
            if self._tmpdir is None:
                self._tmpdir = tempfile.mkdtemp(prefix="vantor-")
            sock.bind(f"ipc://{self._tmpdir}/{role}")
        return sock.getsockopt_string(zmq.LAST_ENDPOINT)

    def _pull(self, role):
        sock = self.actx.socket(zmq.PULL)
        sock.setsockopt(zmq.RCVHWM, 100000)
        sock.setsockopt(zmq.LINGER, 0)
        self._bind(sock, role)
        return sock

    # -- data path ---------------------------------------------------------------

    def _datagram_received(self, data, addr):
        stats = self.stats
        stats.datagrams += 1
        mcu = stats.mcus.get(data[0])
        if mcu is None:
            stats.unknown_mcu += 1
        else:
            mcu.sequence.see(int.from_bytes(data[8:12], "little"))
        try:
            self.broker.msg_received(data, addr)
        except Exception as exc:
            stats.error("broker", exc)
        self.workers.flush()

    def _status_received(self, data):
        self.stats.status_in += 1
        monitor = self.monitors.get(data[0])
        if monitor is None:
            self.stats.unknown_mcu += 1
            return
        try:
            monitor.msg_received([data])
        except Exception as exc:
            self.stats.error("monitor", exc)

    async def _pump_stream(self):
        async for frames in messages(self.stream_in):
            frame = frames[0]
            self.stats.stream_frame(frame)
            if self.tap is not None:
                self.tap(frame)
            try:
                self.hub.msg_received([frame])
            except Exception as exc:
                self.stats.error("hub", exc)

    async def _pump_updates(self):
        sock = self.update_in
        while True:
            frames = await sock.recv_multipart()
            if self.workers.control(frames):
                continue
            if len(frames) != 3 or tuple(frames[:2]) != UPDATE_FRAMES or len(frames[2]) < CU_UPDATE.size:
                self.stats.malformed += 1
                continue
            self.send_update(frames[2][:CU_UPDATE.size])

    def send_update(self, record):
        """An update record as a datagram to its unit's microcontroller."""
        stats = self.stats
        unit = stats.by_pair.get((record[0], record[1]))
        addr = self.device_addresses.get(bytes(record[:1])) or self.hardware
        if addr is None or self.udp is None:
            stats.updates_undeliverable += 1
            return
        if not self.udp.sendto(record, addr):
            stats.updates_undeliverable += 1
            return
        stats.updates_sent += 1
        if unit is not None:
            unit.updates += 1
            unit.last_update = asyncio.get_running_loop().time()

    # -- operator actions ----------------------------------------------------------

    def set_config(self, rank, **changes):
        """Change a unit's configuration: the shared record (under its lock) and
        the settings object the hub reads."""
        cu = self.settings.units()[rank - 1]
        cu.configuration = cu.configuration.replaced(**changes)
        self.block.write_config(rank - 1, cu.configuration)
        return cu.configuration

    def start_sweeps(self, ranks=None):
        for cu in self.settings.units():
            if ranks is None or cu.rank in ranks:
                self.set_config(cu.rank, cuStatus=2)

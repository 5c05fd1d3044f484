"""The host's data path: UDP endpoint -> broker -> workers -> hub, on one
asyncio event loop, and update records back to the units' microcontrollers.

Nothing here is for operators to read: the hub's output goes to the read
model (readmodel.py), which the facade (`vantor.host.app.Host`) turns into
snapshots and subscriptions; events of the intake go to the read model's
`publish_event(event)`."""
import asyncio
import itertools
import os
import shutil

import zmq
import zmq.asyncio

from vantor.wire import CU_UPDATE, UPDATE_FRAMES
from . import lifeline, secure
from .protocols import Broker, Hub, Monitor
from .pump import batches, messages
from .road import Router
from .settings import SettingsError
from .shared import SharedBlock
from .sources import Admission
from .timebase import TimeBase
from .udp import Classifier, UdpEndpoint
from .workerproc import RemoteWorkers
from .workers import LocalWorkers

_instances = itertools.count()


def default_listen(hardware=None):
    """Loopback for the simulator; facing hardware, every interface on its port."""
    return ("0.0.0.0", hardware[1]) if hardware else ("127.0.0.1", 0)


class DataPath:
    def __init__(self, settings, stats, model, *, listen=("127.0.0.1", 0),
                 hardware=None, worker_processes=0, transport="ipc"):
        self.settings = settings
        self.stats = stats
        self.model = model
        self.listen = listen
        self.hardware = hardware          # fallback address for updates, if given
        self.worker_processes = worker_processes
        self.transport_kind = transport
        self.tap = None                   # called with every stream frame (tests)
        self.broker = None
        self.router = None                # routes every passing record (road.Router)
        self.block = None
        self.udp = None
        self.workers = None
        self.admission = None
        self.timebase = None
        self.curve = None                 # the run's keys, for tcp links to worker processes
        self._tasks = []
        self._tmpdir = None

    # -- life cycle --------------------------------------------------------------

    async def start(self):
        settings = self.settings
        units = settings.units()
        publish = self.model.publish_event
        try:
            try:
                self.admission = Admission(settings, hardware=self.hardware, on_event=publish)
            except ValueError as exc:
                raise SettingsError(str(exc)) from None
            self.stats.sequences = self.admission.sequences
            self.timebase = TimeBase(on_event=publish)
            lifeline.clean_leftovers()     # of hosts that were killed
            self.block = SharedBlock(len(units), name=lifeline.owned_name())
            for cu in units:
                self.block.write_config(cu.rank - 1, cu.configuration)
            self.write_buff_size(settings.buffSize)

            if self.worker_processes and self.transport_kind == "tcp":
                self.curve = secure.CurveKeys()
            self.ctx = zmq.Context()
            self.actx = zmq.asyncio.Context.shadow(self.ctx.underlying)
            self.stream_in = self._pull("stream")
            self.update_in = self._pull("update")
            stream_url = self.stream_in.getsockopt_string(zmq.LAST_ENDPOINT)
            update_url = self.update_in.getsockopt_string(zmq.LAST_ENDPOINT)
            self.control_in = None

            if self.worker_processes:
                # Worker processes report readiness and failures on a socket of
                # their own, so the update path carries only update messages.
                self.control_in = self._pull("control")
                self.workers = RemoteWorkers(
                    settings, self.block, self.ctx, stream_url, update_url, self.stats,
                    processes=self.worker_processes, endpoint=self._bind,
                    control_url=self.control_in.getsockopt_string(zmq.LAST_ENDPOINT),
                    doc=settings.doc, curve=self.curve, on_event=publish)
            else:
                self.workers = LocalWorkers(settings, self.block, self.ctx, stream_url,
                                            update_url, self.stats)
            self.router = Router([(cu.mcuId, cu.cuId) for cu in units],
                                 self.block.backend_pair()[0], self._worker_failed, self.timebase)
            self.router.route(self.workers.targets())
            self.timebase.router = self.stats.router = self.model.router = self.router
            self.workers.attach(self.router)
            self.device_addresses = {}
            cuids = {(cu.mcuId, cu.cuId) for cu in units}
            self.broker = Broker(settings.maxFails, len(units), len(settings.devices),
                                 self.timebase.broker_backend(), self.device_addresses, cuids,
                                 False).bind(self.router, self.stats, self.timebase)
            self.hub = Hub(settings)
            self.hub.stats, self.hub.model = self.stats, self.model
            self.monitors = {m: Monitor().bind(self.stats.mcus[m]) for m in settings.devices}

            self._tasks = [asyncio.create_task(self._pump_stream()),
                           asyncio.create_task(self._pump_updates())]
            if self.control_in is not None:
                self._tasks.append(asyncio.create_task(self._pump_control()))
            await self.workers.start()
            self.endpoint = Classifier(self._datagram_received, self._status_received,
                                       self._malformed, self._udp_error)
            self.udp = UdpEndpoint(asyncio.get_running_loop(), self.listen, self.endpoint)
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
        self.model.router = None
        if self.router is not None:
            self.router.route([None] * len(self.settings.units()))   # lets go of the workers
        self.monitors = {}
        for name in ("stream_in", "update_in", "control_in"):
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

    @property
    def address(self):
        return self.udp.get_extra_info("sockname")[:2]

    @property
    def shm_name(self):
        return self.block.name if self.block else None

    def workers_state(self):
        state = getattr(self.workers, "state", None)
        if state is None:
            return {"processes": 0, "alive": [], "deaths": 0, "lost": 0, "failed": []}
        return state()

    # -- sockets -----------------------------------------------------------------

    def _bind(self, sock, role):
        if not self.worker_processes:
            sock.bind(f"inproc://vantor-{os.getpid()}-{next(_instances)}-{role}")
        elif self.transport_kind == "tcp":
            secure.serve(sock, self.curve)
            sock.bind(secure.check_loopback("tcp://127.0.0.1:*"))
        else:
            if self._tmpdir is None:
                self._tmpdir = lifeline.ipc_folder()
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
        # Only what the board's believed source sent, naming known units, goes on.
        for datagram in self.admission.admit(data, addr):
            try:
                self.broker.msg_received(datagram, addr)
            except Exception as exc:
                stats.error("broker", exc)
        self.workers.flush()

    def _worker_failed(self, mcu, cu, exc):
        """A worker's msg_received (or an echo watcher) raised: counted, and
        the broker's drain goes on."""
        self.stats.error(f"worker {mcu}.{cu}", exc)

    def _malformed(self, data, addr):
        self.stats.malformed += 1

    def _udp_error(self, exc):
        self.stats.error("udp", exc)

    def _status_received(self, data, addr=None):
        self.stats.status_in += 1
        if not self.admission.admit_status(data, addr):
            return
        monitor = self.monitors.get(data[0])
        if monitor is None:
            return
        try:
            monitor.msg_received([data])
        except Exception as exc:
            self.stats.error("monitor", exc)

    async def _pump_stream(self):
        """Every stream record to the hub; and the records of one turn of the
        pump, together, to the read model: it takes each window as the
        workers publish it, not a window later when the hub's batch leaves."""
        stats, model = self.stats, self.model
        async for batch in batches(self.stream_in):
            for frames in batch:
                frame = frames[0]
                stats.stream_in += 1
                if self.tap is not None:
                    self.tap(frame)
                try:
                    self.hub.msg_received([frame])
                except Exception as exc:
                    stats.error("hub", exc)
            model.stream(b"".join(frames[0] for frames in batch if len(frames[0]) == 32))

    async def _pump_updates(self):
        sock = self.update_in
        while True:
            frames = await sock.recv_multipart()
            if len(frames) != 3 or tuple(frames[:2]) != UPDATE_FRAMES or len(frames[2]) < CU_UPDATE.size:
                self.stats.malformed += 1
                continue
            self.send_update(frames[2][:CU_UPDATE.size])

    async def _pump_control(self):
        async for frames in messages(self.control_in):
            self.workers.control(frames)

    def send_update(self, record):
        """An update record as a datagram to its unit's microcontroller."""
        stats = self.stats
        addr = self.admission.update_address(record[0])
        if addr is None or self.udp is None:
            stats.updates_undeliverable += 1
            return
        if not self.udp.sendto(record, addr):
            stats.updates_undeliverable += 1
            return
        stats.updates_sent += 1
        self.model.update_sent((record[0], record[1]))

    # -- what the host's control changes -------------------------------------------

    def write_config(self, rank, configuration):
        self.block.write_config(rank - 1, configuration)
        if self.hub is not None:
            self.hub.configuration_changed()

    def read_config(self, rank):
        return self.block.read_config(rank - 1)

    def read_backend(self):
        return self.block.read_backend()

    def write_buff_size(self, buff_size):
        """The workers' window length (the router reads it where they do)."""
        self.block.write_buff_size(buff_size)

    def watch_echoes(self, watchers):
        """Records of the units in `watchers` ((mcuId, cuId) -> callable) also go
        to their watcher, until `unwatch_echoes`."""
        for (mcu, cu), watcher in watchers.items():
            self.router.watch(mcu, cu, watcher)

    def unwatch_echoes(self, pairs):
        if self.router is not None:
            for mcu, cu in pairs:
                self.router.watch(mcu, cu, None)

"""The host's UDP socket, read in batches.

The loop's own datagram transport takes one datagram per wake-up of the
selector, so a busy host pays a whole turn of the event loop for every
datagram. This endpoint drains up to BATCH datagrams per system call
(recvmmsg, vantor.host.road.receive_many), and then lets the loop's other
work (stream pump, silence checks) have its turn.  After a long wait for its
turn (thousands of windows closing at once keep the service's readers busy)
it goes on reading for part of that wait, so the backlog in the kernel
shrinks instead of growing by a turn's worth each time."""
import socket
import time

from vantor.wire import CU_MESSAGE, MCU_MESSAGE
from .road import receive_many

BATCH = 64        # datagrams per wake-up: about 3 ms of work at 32 records each
MAX_SIZE = 65536
RECEIVE_BUFFER = 4 << 20   # bytes; the kernel caps it at net.core.rmem_max
CATCH_UP_SHARE = 0.5       # of the time since the last wake-up, spent reading on
MAX_CATCH_UP_S = 0.02      # ... but never longer than this per wake-up


class UdpEndpoint:
    def __init__(self, loop, local_addr, protocol):
        host, port = local_addr
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        try:
            self.sock.setblocking(False)
            # A burst from the boards (after a stall of the loop or of the
            # network) must wait in the kernel, not be dropped there.
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
            except OSError:
                pass
            self.sock.bind((host, port))
        except BaseException:
            self.sock.close()
            raise
        self.loop, self.protocol = loop, protocol
        self._woke = time.perf_counter()
        loop.add_reader(self.sock.fileno(), self._read_ready)

    def _read_ready(self):
        now = time.perf_counter()
        until = now + min(MAX_CATCH_UP_S, (now - self._woke) * CATCH_UP_SHARE)
        self._woke = now
        deliver, fd = self.protocol.datagram_received, self.sock.fileno()
        while True:
            try:
                datagrams = receive_many(fd, BATCH, MAX_SIZE)
            except OSError as exc:   # e.g. ICMP port unreachable of an earlier send
                self.protocol.error_received(exc)
                return
            for data, addr in datagrams:
                deliver(data, addr)
            if len(datagrams) < BATCH or time.perf_counter() >= until or self.sock.fileno() < 0:
                return

    def sendto(self, data, addr):
        """True once the kernel took the datagram; a full send buffer or an
        unreachable address is reported to the protocol instead of raised."""
        try:
            self.sock.sendto(data, addr)
            return True
        except OSError as exc:
            self.protocol.error_received(exc)
            return False

    def get_extra_info(self, name):
        return {"socket": self.sock, "sockname": self.sock.getsockname()}.get(name)

    def close(self):
        if self.sock.fileno() >= 0:
            self.loop.remove_reader(self.sock.fileno())
            self.sock.close()


class Classifier:
    """Tells the host's datagrams apart by length: a status record is exactly
    one 12-byte mcu_message, a channel-unit datagram whole 60-byte records
    (12 is no multiple of 60, so the two cannot be confused).  Anything else
    is counted and dropped before it reaches a module."""

    def __init__(self, on_records, on_status, on_malformed, on_error):
        self.on_records, self.on_status = on_records, on_status
        self.on_malformed, self.error_received = on_malformed, on_error

    def datagram_received(self, data, addr):
        size = len(data)
        if size == MCU_MESSAGE.size:
            self.on_status(data, addr)
        elif size and size % CU_MESSAGE.size == 0:
            self.on_records(data, addr)
        else:
            self.on_malformed(data, addr)

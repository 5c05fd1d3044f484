"""The host's UDP endpoint: batched reads, failures reported instead of raised."""
import asyncio
import socket
import time

import pytest

from vantor.host import udp


class Collect:
    def __init__(self):
        self.data, self.errors = [], []

    def datagram_received(self, data, addr):
        self.data.append(data)

    def error_received(self, exc):
        self.errors.append(exc)


@pytest.mark.parametrize("waited_s, first_wake", [
    (0.0, list(range(5))),      # a prompt wake-up reads one batch
    (0.05, list(range(12))),    # after a long wait it reads on while datagrams are queued
])
def test_a_wake_up_reads_queued_datagrams_in_order(monkeypatch, waited_s, first_wake):
    monkeypatch.setattr(udp, "BATCH", 5)

    async def scenario():
        proto = Collect()
        endpoint = udp.UdpEndpoint(asyncio.get_running_loop(), ("127.0.0.1", 0), proto)
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            for i in range(12):   # loopback queues each at once; the loop has not run yet
                tx.sendto(bytes([i]) * 60, endpoint.get_extra_info("sockname"))
            time.sleep(waited_s)
            if not waited_s:
                monkeypatch.setattr(udp, "CATCH_UP_SHARE", 0.0)
            endpoint._read_ready()
            first = list(proto.data)
            for _ in range(20):
                await asyncio.sleep(0.01)
            return first, proto.data
        finally:
            tx.close()
            endpoint.close()

    first, everything = asyncio.run(scenario())
    assert [d[0] for d in first] == first_wake
    assert [d[0] for d in everything] == list(range(12))   # the rest on later wake-ups


def test_a_send_the_kernel_refuses_is_reported_not_raised():
    async def scenario():
        proto = Collect()
        endpoint = udp.UdpEndpoint(asyncio.get_running_loop(), ("127.0.0.1", 0), proto)
        try:
            ok = endpoint.sendto(b"x" * 48, ("127.0.0.1", 0))   # port 0: no such destination
            good = endpoint.sendto(b"x" * 48, endpoint.get_extra_info("sockname"))
        finally:
            endpoint.close()
        endpoint.close()   # closing twice is harmless
        return ok, good, proto.errors

    ok, good, errors = asyncio.run(scenario())
    assert ok is False and good is True
    assert len(errors) == 1 and isinstance(errors[0], OSError)


def test_a_port_in_use_fails_the_start_and_leaves_no_socket():
    async def scenario():
        loop = asyncio.get_running_loop()
        first = udp.UdpEndpoint(loop, ("127.0.0.1", 0), Collect())
        try:
            try:
                udp.UdpEndpoint(loop, first.get_extra_info("sockname"), Collect())
            except OSError as exc:
                return exc
        finally:
            first.close()

    assert isinstance(asyncio.run(scenario()), OSError)

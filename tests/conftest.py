"""Fixtures shared by the module tests: an event loop, recording locks, ZMQ
pairs, and the real servers of tests/servers.py."""
import asyncio
import itertools

import pytest
import zmq

from tests.servers import (nats_server, nats_server_process, postgres_server,  # noqa: F401
                           postgres_url)


class RecordingLock:
    """Context-manager lock that logs enter/exit; optionally fails or swallows."""

    def __init__(self, log=None, name="lock", fail_enter=None, swallow=False):
        self.log = log if log is not None else []
        self.name = name
        self.fail_enter = fail_enter
        self.swallow = swallow
        self.held = False

    def __enter__(self):
        if self.fail_enter is not None:
            raise self.fail_enter
        assert not self.held, "lock entered twice"
        self.held = True
        self.log.append(("enter", self.name))
        return self

    def __exit__(self, et, ev, tb):
        self.held = False
        self.log.append(("exit", self.name, et))
        return self.swallow


@pytest.fixture
def loop():
    """A fresh event loop set as the current one."""
    lp = asyncio.new_event_loop()
    asyncio.set_event_loop(lp)
    yield lp
    lp.close()
    asyncio.set_event_loop(None)


_endpoints = itertools.count()


@pytest.fixture
def zmq_pair():
    """Factory of connected inproc PAIR sockets: (sender, receiver)."""
    ctx = zmq.Context()
    socks = []

    def make():
        url = f"inproc://pair-{next(_endpoints)}"
        rx = ctx.socket(zmq.PAIR)
        rx.bind(url)
        tx = ctx.socket(zmq.PAIR)
        tx.connect(url)
        socks.extend([tx, rx])
        return tx, rx

    yield make
    for s in socks:
        s.close(linger=0)
    ctx.term()


def recv_all(sock):
    """Every multipart message waiting on `sock`, without blocking."""
    out = []
    while sock.poll(0):
        out.append(sock.recv_multipart(zmq.NOBLOCK))
    return out

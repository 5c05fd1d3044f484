"""Loopback-only EPICS for tests: free ports chosen once per test process,
the client side's environment set here (pyepics, aioca and p4p read it when
they first start), the server side's handed to each `vantor serve`.  Two
test runs at once pick different ports and never see each other."""
import os
import random
import socket


def _free(port):
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                return False
    return True


def _pick(taken):
    while True:
        port = random.randint(20000, 60000)
        if port not in taken and _free(port):
            taken.add(port)
            return port


_taken = set()
CA_PORT, CA_REPEATER, PVA_TCP, PVA_UDP = (_pick(_taken) for _ in range(4))

CLIENT_ENV = {
    "EPICS_CA_ADDR_LIST": "127.0.0.1", "EPICS_CA_AUTO_ADDR_LIST": "NO",
    "EPICS_CA_SERVER_PORT": str(CA_PORT), "EPICS_CA_REPEATER_PORT": str(CA_REPEATER),
    "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO",
    "EPICS_PVA_BROADCAST_PORT": str(PVA_UDP), "EPICS_PVA_SERVER_PORT": str(PVA_TCP),
}
SERVER_ENV = {
    "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_CAS_SERVER_PORT": str(CA_PORT),
    "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO", "EPICS_CAS_BEACON_ADDR_LIST": "127.0.0.1",
    "EPICS_CA_REPEATER_PORT": str(CA_REPEATER),
    "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_PVAS_SERVER_PORT": str(PVA_TCP),
    "EPICS_PVAS_BROADCAST_PORT": str(PVA_UDP), "EPICS_PVAS_AUTO_BEACON_ADDR_LIST": "NO",
    "EPICS_PVAS_BEACON_ADDR_LIST": "127.0.0.1",
}
os.environ.update(CLIENT_ENV)


def pva_context():
    """A p4p client context on this test run's loopback ports."""
    from p4p.client.thread import Context
    return Context("pva", conf=CLIENT_ENV, useenv=False)

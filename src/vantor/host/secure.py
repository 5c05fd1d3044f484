"""The host's ZMQ links to its worker processes over tcp, closed to every
other program on the machine.

An ipc link lives in a folder only the host's user may enter.  A tcp port
on loopback, though, is open to every local user, who could push stream
records into a recording or settings updates towards the units.  So a tcp
link is encrypted and authenticated with CURVE keys made afresh for every
run: the host's sockets are the servers, the worker processes the clients,
and the keys travel to the workers only inside their start-up job (the
pipe multiprocessing starts them through), never on a command line or in a
file.  A peer that does not hold them fails the handshake and its messages
never reach the host.  tcp is bound to loopback only; any other address is
refused."""
import ipaddress
import urllib.parse

import zmq


class LinkError(RuntimeError):
    """A worker link that cannot be made safe."""


class CurveKeys:
    """One run's key pairs: the host's (server) and the workers' (client)."""

    def __init__(self):
        if not zmq.has("curve"):
            raise LinkError("--transport tcp needs a ZMQ library with CURVE; use --transport ipc")
        self.server_public, self.server_secret = zmq.curve_keypair()
        self.client_public, self.client_secret = zmq.curve_keypair()

    def client_job(self):
        """What a worker process needs to connect (goes into its start-up job)."""
        return {"server_public": self.server_public, "client_public": self.client_public,
                "client_secret": self.client_secret}


def serve(sock, keys):
    """Make `sock` (before bind) a CURVE server with the run's keys."""
    sock.curve_secretkey = keys.server_secret
    sock.curve_publickey = keys.server_public
    sock.curve_server = True
    return sock


def connect_as_client(sock, job):
    """Make `sock` (before connect) a CURVE client of the host; `job` is
    CurveKeys.client_job() as the worker process received it."""
    sock.curve_serverkey = job["server_public"]
    sock.curve_publickey = job["client_public"]
    sock.curve_secretkey = job["client_secret"]
    return sock


def check_loopback(url):
    """Refuse a tcp endpoint that is not on loopback (a bind there would open
    the workers' link to the network)."""
    parsed = urllib.parse.urlsplit(url)
    if parsed.scheme != "tcp":
        return url
    host = parsed.hostname or ""
    try:
        loopback = ipaddress.ip_address(host).is_loopback
    except ValueError:
        loopback = host == "localhost"
    if not loopback:
        raise LinkError(f"{url}: worker links over tcp are bound to loopback only")
    return url

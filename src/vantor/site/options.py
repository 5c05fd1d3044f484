"""The [bus] table of the settings file (and `--bus URL`, `--node NAME` on the
command line): where the site's NATS server is, how to authenticate to it,
and how much a node keeps while the bus is away.

    [bus]
    url = "nats://bus.lab:4222"
    node = "cryo-2"                  # this host's name at the site (vantor serve)
    user = "cryo2"                   # user/password, or token, or nkey_seed
    password = "..."
    tls_ca = "/etc/vantor/bus-ca.pem" # TLS when any tls_ key is given
    buffer_mb = 256                   # kept for the bus while it is unreachable
    heartbeat_s = 1.0
    retention_h = 24                  # the site's JetStream retention
"""
import re
from dataclasses import dataclass, fields, replace
from pathlib import Path

from vantor.host.option_table import entries, number
from .protocol import check_node_name

URL_RE = re.compile(r"(nats|tls)://[^\s/]+(:\d+)?/?")
FILE_KEYS = ("nkey_seed", "tls_ca", "tls_cert", "tls_key")


@dataclass(frozen=True)
class BusOptions:
    url: str = None                 # None: no bus
    node: str = None
    user: str = None
    password: str = None
    token: str = None
    nkey_seed: str = None           # file holding the nkey seed
    tls_ca: str = None
    tls_cert: str = None
    tls_key: str = None
    buffer_mb: float = 256.0
    heartbeat_s: float = 1.0
    retention_h: float = 24.0

    @property
    def enabled(self):
        return self.url is not None

    @property
    def tls(self):
        return any((self.tls_ca, self.tls_cert, self.tls_key)) or self.url.startswith("tls://")

    def with_command_line(self, url=None, node=None):
        """These options with `--bus URL` and `--node NAME` applied; ValueError
        naming the option that cannot be used."""
        options = replace(self, url=check_url("--bus", url) if url is not None else self.url,
                          node=_node("--node", node) if node is not None else self.node)
        if options.node is not None and not options.enabled:
            raise ValueError("--node: needs --bus nats://HOST:PORT (or a [bus] table with url)")
        return options

    def described(self):
        """The options without secrets, for logs and the API."""
        hidden = {"password", "token", "nkey_seed"}
        return {f.name: ("***" if f.name in hidden and getattr(self, f.name) else
                         getattr(self, f.name)) for f in fields(self)}


def check_url(where, value):
    if not isinstance(value, str) or not URL_RE.fullmatch(value):
        raise ValueError(f"{where}: expected nats://HOST:PORT (or tls://HOST:PORT), got {value!r}")
    return value


def _node(where, value):
    try:
        return check_node_name(value)
    except ValueError as exc:
        raise ValueError(f"{where}: {str(exc).removeprefix('node name: ')}") from None


def parse_bus(table):
    """BusOptions from the [bus] table (None: no table); ValueError naming the key."""
    if table is None:
        return BusOptions()
    values = {}
    for key, where, value in entries("bus", table, BusOptions):
        if key == "url":
            values[key] = check_url(where, value)
        elif key == "node":
            values[key] = _node(where, value)
        elif key in ("buffer_mb", "heartbeat_s", "retention_h"):
            limits = {"buffer_mb": (1, 65536), "heartbeat_s": (0.1, 60),
                      "retention_h": (0.01, 24 * 365)}[key]
            values[key] = float(number(where, value, *limits))
        elif not isinstance(value, str) or not value:
            raise ValueError(f"{where}: expected a non-empty string, got {value!r}")
        elif key in FILE_KEYS and not Path(value).is_file():
            raise ValueError(f"{where}: no such file: {value}")
        else:
            values[key] = value
    options = BusOptions(**values)
    if sum(bool(x) for x in (options.user, options.token, options.nkey_seed)) > 1:
        raise ValueError("bus: give one of user/password, token or nkey_seed")
    if bool(options.user) != bool(options.password):
        raise ValueError("bus: user and password go together")
    return options

"""What a running service leaves in its data directory for the user who runs
it, and how that user's client finds it: `service.json` (mode 0600) names
the address it serves and its TLS certificate, `token` holds the user's
operator token (see tokens.py).  The client sends that token only to the
loopback address the record names, never to another service."""
import ipaddress
import json
import os
import urllib.parse
from pathlib import Path

from .tokens import LOCAL_TOKEN_FILE, write_private

RECORD_FILE = "service.json"


def default_data_dir():
    """$VANTOR_DATA, else $XDG_DATA_HOME/vantor or ~/.local/share/vantor."""
    if os.environ.get("VANTOR_DATA"):
        return Path(os.environ["VANTOR_DATA"]).expanduser()
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                            "share")
    return Path(base) / "vantor"


def is_loopback(host):
    host = (host or "").strip("[]")
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def reachable_url(scheme, host, port):
    """The URL a client on this machine uses for a service bound to host:port
    (a wildcard address is reached through loopback)."""
    if host in ("0.0.0.0", ""):
        host = "127.0.0.1"
    elif host == "::":
        host = "::1"
    shown = f"[{host}]" if ":" in host else host
    return f"{scheme}://{shown}:{port}"


def write_record(data_dir, url, cert=None):
    """True once written; False where the data directory takes no files (the
    service runs on; its user's client is then told the address by hand)."""
    try:
        write_private(Path(data_dir) / RECORD_FILE, json.dumps(
            {"url": url, "pid": os.getpid(), "cert": str(Path(cert).resolve()) if cert else None})
            + "\n")
    except OSError:
        return False
    return True


def remove_record(data_dir):
    """Removes the record if it is this process's (a later service may have
    written its own meanwhile)."""
    record = read_record(data_dir)
    if record is not None and record.get("pid") == os.getpid():
        try:
            (Path(data_dir) / RECORD_FILE).unlink(missing_ok=True)
        except OSError:
            pass


def read_record(data_dir):
    """The record of the service running from `data_dir`, or None."""
    try:
        record = json.loads((Path(data_dir) / RECORD_FILE).read_text())
        pid = int(record["pid"])
        os.kill(pid, 0)
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return record if isinstance(record.get("url"), str) else None


def _origin(url):
    parts = urllib.parse.urlsplit(url)
    port = parts.port or (443 if parts.scheme == "https" else 80)
    return parts.scheme, parts.hostname, port


def found_url(data_dir=None):
    """The URL of this user's running service, or None."""
    record = read_record(data_dir or default_data_dir())
    return record["url"] if record else None


def found_credentials(url, data_dir=None):
    """(token, certificate file) that this user's service left for a client
    of `url`: only for the loopback address and port it serves."""
    record = read_record(data_dir or default_data_dir())
    if record is None:
        return None, None
    try:
        scheme, host, port = _origin(url)
        same = (scheme, port) == _origin(record["url"])[::2] and is_loopback(host)
    except ValueError:
        return None, None
    if not same:
        return None, None
    try:
        token = (Path(data_dir or default_data_dir()) / LOCAL_TOKEN_FILE).read_text().strip()
    except OSError:
        token = None
    return token or None, record.get("cert")

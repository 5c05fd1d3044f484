"""Who may use the API.  On loopback everyone on the machine already could
reach the units, so the API is open; bound to any other address every API
request must carry the service's token (created on first start, kept with
mode 0600 in the data directory)."""
import ipaddress
import os
import secrets
from pathlib import Path

TOKEN_FILE = "token"


def load_or_create_token(data_dir):
    path = Path(data_dir) / TOKEN_FILE
    try:
        token = path.read_text().strip()
        if token:
            return token
    except FileNotFoundError:
        pass
    path.parent.mkdir(parents=True, exist_ok=True)
    token = secrets.token_urlsafe(32)
    # Created with 0600 from the start: no moment in which others could read it.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as fh:
        fh.write(token + "\n")
    return token


def is_loopback(host):
    if host in ("localhost", ""):
        return host == "localhost"
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def presented_token(request):
    header = request.headers.get("Authorization", "")
    if header.startswith("Bearer "):
        return header[7:].strip()
    return request.query.get("token")


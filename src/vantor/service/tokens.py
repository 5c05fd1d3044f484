"""API tokens: each has a name and a role, `viewer` (read and the live
stream) or `operator` (also settings, jobs, cancel, acknowledge).  The data
directory keeps only their SHA-256 hashes (tokens.json, mode 0600): a token
is 32 random bytes, so a fast hash is as safe as a slow one, and a copy of
the file lets nobody in.  The operator token of the user who runs the
service ("local") is the one secret kept in clear, in the file `token`
(mode 0600), so that user's client and commands find it by themselves.

The service reads tokens.json again whenever it changes, so `vantor token
create` and `revoke` take effect on a running service."""
import fcntl
import hashlib
import hmac
import json
import os
import re
import secrets
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from . import atomic

ROLES = ("viewer", "operator")
STORE_FILE = "tokens.json"
LOCAL_NAME = "local"
LOCAL_TOKEN_FILE = "token"
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.@-]{0,63}")


class TokenError(ValueError):
    """A token name, role or store that cannot be used; the message says which."""


@dataclass(frozen=True)
class Token:
    name: str
    role: str
    created: float


def _digest(secret):
    return hashlib.sha256(secret.encode()).hexdigest()


def write_private(path, text):
    """`text` into `path` atomically, readable by its owner only from the start."""
    atomic.write_text(path, text, mode=0o600, sync=True)


class TokenStore:
    def __init__(self, data_dir):
        self.dir = Path(data_dir)
        self.path = self.dir / STORE_FILE
        self._seen = None            # (mtime_ns, size) of the file last read
        self._by_hash = {}           # sha256 hex -> Token

    # -- reading -----------------------------------------------------------------

    def _read(self):
        try:
            text = self.path.read_text()
        except FileNotFoundError:
            return {}
        except OSError as exc:
            raise TokenError(f"{self.path}: {exc.strerror or exc}") from None
        try:
            entries = json.loads(text)["tokens"]
            return {e["name"]: e for e in entries if e["role"] in ROLES and e["hash"]}
        except (ValueError, KeyError, TypeError):
            raise TokenError(f"{self.path}: not a token list written by vantor; move it "
                             "away and create the tokens again") from None

    def _refresh(self):
        try:
            st = os.stat(self.path)
            seen = (st.st_mtime_ns, st.st_size)
        except FileNotFoundError:
            seen = None
        if seen != self._seen:
            entries = self._read()
            self._by_hash = {e["hash"]: Token(e["name"], e["role"], e.get("created", 0.0))
                             for e in entries.values()}
            self._seen = seen

    def check(self, secret):
        """The Token whose secret this is, or None."""
        if not secret or not secret.isascii():
            return None
        self._refresh()
        digest = _digest(secret)
        for known, token in self._by_hash.items():
            if hmac.compare_digest(known, digest):
                return token
        return None

    def tokens(self):
        """Every token, oldest first."""
        self._refresh()
        return sorted(self._by_hash.values(), key=lambda t: (t.created, t.name))

    # -- changing ----------------------------------------------------------------

    @contextmanager
    def _changing(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        with open(self.dir / f".{STORE_FILE}.lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            entries = self._read()
            yield entries
            write_private(self.path, json.dumps(
                {"tokens": sorted(entries.values(), key=lambda e: e.get("created", 0))},
                indent=1) + "\n")

    def create(self, name, role):
        """A new token's secret (shown once; only its hash is kept)."""
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            raise TokenError(f"token name {name!r}: use 1 to 64 letters, digits and . _ @ - "
                             "(starting with a letter or digit)")
        if role not in ROLES:
            raise TokenError(f"role {role!r}: expected {' or '.join(ROLES)}")
        secret = secrets.token_urlsafe(32)
        with self._changing() as entries:
            if name in entries:
                raise TokenError(f"a token named {name} exists already (vantor token revoke "
                                 f"{name} first)")
            entries[name] = {"name": name, "role": role, "hash": _digest(secret),
                             "created": time.time()}
        return secret

    def revoke(self, name):
        """Removes the token; False when there was none of that name."""
        with self._changing() as entries:
            found = entries.pop(name, None) is not None
        if found and name == LOCAL_NAME:
            (self.dir / LOCAL_TOKEN_FILE).unlink(missing_ok=True)
        return found

    def local_operator(self):
        """The secret of this user's operator token, created when missing; a
        token file of earlier versions becomes that token."""
        path = self.dir / LOCAL_TOKEN_FILE
        try:
            secret = path.read_text().strip()
        except FileNotFoundError:
            secret = ""
        if secret and secret.isascii():
            token = self.check(secret)
            if token is not None and token.role == "operator":
                return secret
        else:
            secret = secrets.token_urlsafe(32)
        self.dir.mkdir(parents=True, exist_ok=True)
        write_private(path, secret + "\n")
        with self._changing() as entries:
            entries[LOCAL_NAME] = {"name": LOCAL_NAME, "role": "operator",
                                   "hash": _digest(secret), "created": time.time()}
        return secret

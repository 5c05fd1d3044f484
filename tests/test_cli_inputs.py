"""Input problems of the console command end in one line and exit status 2,
and a reader that goes away (`| head`) ends it without a traceback."""
import os
import socket
import subprocess
import sys

import pytest

from tests.service_process import vantor_env

# The vantor this test imports, also from another working folder.
ENV = vantor_env()

LATIN1 = b"timeout = 0.5\n# r\xe9glage du banc\n[[mcu]]\nmcuId = 0\n[[mcu.unit]]\ncuId = 0\nrank = 1\n"


def vantor(*args, **kw):
    return subprocess.run([sys.executable, "-m", "vantor", *args], capture_output=True,
                          text=True, timeout=60, env=ENV, **kw)


def one_line_error(done):
    lines = done.stderr.strip().splitlines()
    assert done.returncode == 2, done.stderr
    assert len(lines) == 1 and "Traceback" not in done.stderr, done.stderr
    return lines[0]


@pytest.mark.parametrize("command", [["run", "--seconds", "1"],
                                     ["record", "--no-server", "--seconds", "1", "--no-plot"]])
def test_a_settings_file_that_is_not_utf8_is_named_with_its_line(tmp_path, command):
    path = tmp_path / "bench.toml"
    path.write_bytes(LATIN1)
    line = one_line_error(vantor(*command, "--config", str(path), cwd=tmp_path))
    assert f"{path}: line 2: byte 0xe9 is not UTF-8" in line


@pytest.mark.parametrize("command", [["run", "--seconds", "1", "--no-view"],
                                     ["record", "--no-server", "--seconds", "1", "--no-plot"],
                                     ["iv", "--no-server", "--no-plot"]])
def test_a_udp_port_in_use_is_named(tmp_path, command):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as busy:
        busy.bind(("127.0.0.1", 0))
        port = busy.getsockname()[1]
        line = one_line_error(vantor(*command, "--mcus", "1", "--units", "1",
                                     "--listen", f"127.0.0.1:{port}", cwd=tmp_path))
    assert f"UDP address 127.0.0.1:{port} is already in use" in line
    assert not list(tmp_path.iterdir())


def test_a_closed_output_pipe_ends_quietly():
    """The reader closes its end before the command prints anything."""
    read, write = os.pipe()
    os.close(read)
    try:
        proc = subprocess.run([sys.executable, "-m", "vantor", "sim", "--target", "127.0.0.1:9",
                               "--mcus", "1", "--units", "1", "--seconds", "0.2"],
                              stdout=write, stderr=subprocess.PIPE, text=True, timeout=60,
                              env=ENV)
    finally:
        os.close(write)
    assert "Traceback" not in proc.stderr and "BrokenPipe" not in proc.stderr, proc.stderr
    assert proc.returncode == 141


def test_the_live_view_piped_to_a_reader_that_leaves_stops_the_run():
    """`vantor run | head -1` without --seconds: the run ends when head does."""
    proc = subprocess.Popen([sys.executable, "-m", "vantor", "run", "--mcus", "1", "--units", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, text=True)
    try:
        assert proc.stdout.readline().startswith("vantor ")
        proc.stdout.close()             # the reader goes away
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 141, err
    assert "Traceback" not in err and "BrokenPipe" not in err


@pytest.mark.parametrize("options, words", [
    (["--tls-cert", "/nonexistent/cert.pem", "--tls-key", "/nonexistent/key.pem"],
     "no such file"),
    (["--tls-cert", "/nonexistent/cert.pem"], "go together"),
    (["--tls-cert", "{garbage}", "--tls-key", "{garbage}"], "TLS certificate"),
])
def test_serve_names_an_unusable_certificate(tmp_path, options, words):
    garbage = tmp_path / "garbage.pem"
    garbage.write_text("not a certificate\n")
    options = [o.replace("{garbage}", str(garbage)) for o in options]
    line = one_line_error(vantor("serve", "--data", str(tmp_path / "d"), "--http",
                                 "127.0.0.1:0", *options))
    assert words in line


@pytest.mark.parametrize("args, words", [
    (["token", "revoke", "nobody"], "no token named nobody"),
    (["token", "create", "../up"], "token name"),
])
def test_token_commands_refuse_with_one_line(tmp_path, args, words):
    line = one_line_error(vantor(*args, "--data", str(tmp_path)))
    assert words in line

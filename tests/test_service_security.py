"""The service's door against real clients: foreign Host headers, requests
that only a browser of another site would send, viewer and operator tokens
on every state-changing route, the token never leaking, and the same
user's client finding its own token.  Real processes, real HTTP."""
import http.client
import json
import sqlite3
import subprocess
import sys
import urllib.parse

import pytest

from tests.service_process import Service, settings_text, vantor_env, wait_for
from tests.test_service import raw
from vantor.client import Client, ServiceError
from vantor.service.app import ROUTE_GROUPS


def vantor(*args, **env):
    return subprocess.run([sys.executable, "-m", "vantor", *args], capture_output=True,
                          text=True, timeout=120, env=vantor_env(**env))


def request(url, method="GET", path="/", headers=None, body=None):
    """(status, headers, body text) of one request with exactly these headers."""
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=20)
    try:
        conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in (headers or {"Host": parts.netloc}).items():
            conn.putheader(name, value)
        if body is not None:
            conn.putheader("Content-Length", str(len(body)))
        conn.endheaders(body)
        resp = conn.getresponse()
        return resp.status, dict(resp.getheaders()), resp.read().decode(errors="replace")
    finally:
        conn.close()


def state_changing_routes():
    """Every (method, path) of the API that is not a read, from the route
    tables themselves: a route added later is covered too."""
    found = []
    for group in ROUTE_GROUPS:
        for route in group.routes:
            if getattr(route, "method", "GET") not in ("GET", "HEAD"):
                found.append((route.method, route.path))
    return found


@pytest.fixture(scope="module")
def guarded(tmp_path_factory):
    """A service that needs tokens on loopback too (--auth always)."""
    root = tmp_path_factory.mktemp("door")
    config = root / "site.toml"
    config.write_text(settings_text([2, 2], "buffSize = 10"))
    data = root / "data"
    with Service(data, "--config", str(config), "--auth", "always") as svc:
        svc.data = data
        made = {}
        for role in ("viewer", "operator"):
            done = vantor("token", "create", "--role", role, "--data", str(data), f"{role}-1")
            assert done.returncode == 0, done.stderr
            made[role] = done.stdout.strip()
        svc.tokens = made
        yield svc


@pytest.fixture(scope="module")
def open_service(tmp_path_factory):
    root = tmp_path_factory.mktemp("open")
    with Service(root / "data", "--mcus", "1", "--units", "2",
                 "--allow-host", "lab.example") as svc:
        yield svc


class TestHost:
    @pytest.mark.parametrize("host", ["evil.example", "evil.example:8765", "localhost.evil",
                                      "127.0.0.1.nip.example"])
    @pytest.mark.parametrize("path", ["/", "/api/status", "/api/live", "/metrics"])
    def test_a_foreign_host_name_is_refused(self, open_service, host, path):
        status, _, body = request(open_service.url, path=path, headers={"Host": host})
        assert status == 403 and "not a name of this service" in json.loads(body)["error"]

    @pytest.mark.parametrize("host", ["127.0.0.1:{port}", "localhost:{port}", "LOCALHOST",
                                      "[::1]:{port}", "lab.example", "10.1.2.3:{port}"])
    def test_the_service_s_own_names_pass(self, open_service, host):
        port = urllib.parse.urlsplit(open_service.url).port
        status, _, _ = request(open_service.url, path="/api/status",
                               headers={"Host": host.format(port=port)})
        assert status == 200


class TestCrossSite:
    BODY = b'{"units": [1], "settings": {"biasI": 1.1e-5}}'

    @pytest.mark.parametrize("headers", [
        {"Origin": "http://evil.example", "Content-Type": "application/json"},
        {"Origin": "null", "Content-Type": "application/json"},
        {"Origin": "http://127.0.0.1:1", "Content-Type": "application/json"},
        {"Sec-Fetch-Site": "cross-site", "Content-Type": "application/json"},
        {"Sec-Fetch-Site": "same-site", "Sec-Fetch-Mode": "navigate",
         "Content-Type": "application/json"},
        {"Content-Type": "text/plain"},
        {"Content-Type": "application/x-www-form-urlencoded"},
        {"Content-Type": "multipart/form-data; boundary=x"},
        {},
    ])
    def test_what_a_page_of_another_site_sends_changes_nothing(self, open_service, headers):
        url = open_service.url
        before = Client(url).unit(1)["config"]
        host = {"Host": urllib.parse.urlsplit(url).netloc}
        status, answer_headers, body = request(url, "POST", "/api/settings",
                                               {**host, **headers}, self.BODY)
        assert 400 <= status < 500 and json.loads(body)["error"]
        assert "Access-Control-Allow-Origin" not in answer_headers
        assert Client(url).unit(1)["config"] == before

    def test_the_service_s_own_origin_and_plain_clients_pass(self, open_service):
        url = open_service.url
        netloc = urllib.parse.urlsplit(url).netloc
        status, _, body = request(url, "POST", "/api/settings", {
            "Host": netloc, "Origin": url, "Content-Type": "application/json",
            "Sec-Fetch-Site": "same-origin"}, self.BODY)
        assert status == 200 and json.loads(body)["verified"]
        status, _, _ = request(url, "GET", "/api/status", {
            "Host": netloc, "Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate"})
        assert status == 200                 # following a link is no attack

    @pytest.mark.parametrize("origin", ["http://evil.example", "null"])
    def test_a_websocket_from_another_origin_is_refused(self, open_service, origin):
        netloc = urllib.parse.urlsplit(open_service.url).netloc
        status, _, body = request(open_service.url, "GET", "/api/live", {
            "Host": netloc, "Origin": origin, "Connection": "Upgrade", "Upgrade": "websocket",
            "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="})
        assert status == 403 and "other sites" in json.loads(body)["error"]

    def test_every_answer_keeps_the_page_from_being_framed_or_sniffed(self, open_service):
        for path in ("/", "/api/status", "/api/nothing", "/static/js/main.js"):
            _, headers, _ = request(open_service.url, path=path)
            assert headers["X-Frame-Options"] == "DENY"
            assert headers["X-Content-Type-Options"] == "nosniff"
            assert "frame-ancestors 'none'" in headers["Content-Security-Policy"]
            assert headers["Referrer-Policy"] == "no-referrer"


class TestRoles:
    def test_every_state_changing_route_refuses_a_viewer_token(self, guarded):
        routes = state_changing_routes()
        assert len(routes) >= 5
        viewer = {"Authorization": f"Bearer {guarded.tokens['viewer']}"}
        for method, path in routes:
            concrete = path.replace("{id}", "1")
            status, body = raw(guarded.url + concrete, method, b"{}", viewer)
            assert status == 403 and "viewer" in body["error"], (path, body)
        assert Client(guarded.url, token=guarded.tokens["viewer"]).units()   # reading is fine
        assert not Client(guarded.url, token=guarded.tokens["operator"]).jobs()

    def test_an_operator_token_is_accepted_everywhere_and_named_in_the_log(self, guarded):
        operator = Client(guarded.url, token=guarded.tokens["operator"])
        assert operator.configure([1], biasI=1.3e-5)[0]["rank"] == 1
        long = operator.submit_iv([2], start=0, stop=4e-5, step=1e-6, point_steps=50)
        acq = operator.submit_acquire([3], 0.2)
        assert operator.cancel(long)["id"] == long["id"]
        operator.wait(acq)
        with pytest.raises(ServiceError) as err:
            operator.ack("999")
        assert err.value.status == 404          # through the door, no such alarm
        key = {"Authorization": f"Bearer {guarded.tokens['operator']}"}
        status, body = raw(guarded.url + "/api/jobs/tune", "POST", b'{"units": []}', key)
        assert status == 400 and "no unit" in body["error"]
        status, body = raw(guarded.url + f"/api/jobs/{acq['id']}/apply", "POST", b"{}", key)
        assert status == 409 and "not a tune" in body["error"]
        covered = {"/api/settings", "/api/jobs/iv", "/api/jobs/acquire", "/api/jobs/tune",
                   "/api/jobs/{id}/cancel", "/api/jobs/{id}/apply", "/api/alarms/{id}/ack"}
        assert {p for _, p in state_changing_routes()} == covered
        log = wait_for(lambda: operator.settings_log(since=-60), what="the change in the log")
        assert log[0]["actor"] == {"token": "operator-1", "address": "127.0.0.1"}

    @pytest.mark.parametrize("headers, status", [
        ({}, 401), ({"Authorization": "Bearer nope"}, 403),
        ({"Authorization": "Bearer caf\u00e9".encode().decode("latin-1")}, 403)])
    def test_a_missing_or_wrong_token_is_refused_without_saying_more(self, guarded, headers,
                                                                     status):
        code, body = raw(guarded.url + "/api/status", headers=headers)
        assert code == status and "nope" not in body["error"]

    def test_revoking_a_token_takes_effect_on_the_running_service(self, guarded):
        done = vantor("token", "create", "--data", str(guarded.data), "short-lived")
        secret = done.stdout.strip()
        assert Client(guarded.url, token=secret).units()
        listed = vantor("token", "list", "--data", str(guarded.data), "--json")
        names = {t["name"]: t["role"] for t in json.loads(listed.stdout)}
        assert names["short-lived"] == "viewer" and names["local"] == "operator"
        assert vantor("token", "revoke", "--data", str(guarded.data), "short-lived").returncode == 0
        with pytest.raises(ServiceError) as err:
            Client(guarded.url, token=secret).units()
        assert err.value.status == 403

    def test_tokens_are_kept_hashed_and_private(self, guarded):
        store = guarded.data / "tokens.json"
        text = store.read_text()
        assert store.stat().st_mode & 0o777 == 0o600
        assert (guarded.data / "token").stat().st_mode & 0o777 == 0o600
        for secret in guarded.tokens.values():
            assert secret not in text

    def test_the_same_user_s_client_and_commands_find_their_operator_token(self, guarded):
        env = {"VANTOR_DATA": str(guarded.data)}
        shown = vantor("status", **env)          # no --server, no --token
        assert shown.returncode == 0, shown.stderr
        changed = vantor("set", "4", "biasI=1.2e-5", **env)
        assert changed.returncode == 0, changed.stderr
        assert Client(data_dir=guarded.data).unit(4)["config"]["biasI"] == pytest.approx(1.2e-5)
        # ... but never send it to a service it does not belong to
        assert Client("http://127.0.0.1:9", data_dir=guarded.data).token is None


class TestTokenLeaks:
    def test_a_token_in_the_address_becomes_a_cookie_and_leaves_the_address(self, guarded):
        secret = guarded.tokens["viewer"]
        status, headers, _ = request(guarded.url, path=f"/?token={secret}&x=1")
        assert status == 303 and headers["Location"] == "/?x=1"
        cookie = headers["Set-Cookie"]
        assert secret in cookie and "HttpOnly" in cookie and "SameSite=Strict" in cookie
        netloc = urllib.parse.urlsplit(guarded.url).netloc
        status, _, _ = request(guarded.url, path="/api/status", headers={
            "Host": netloc, "Cookie": f"vantor_token={secret}"})
        assert status == 200

    def test_tokens_appear_in_no_log_error_or_archive(self, guarded, tmp_path):
        for secret in guarded.tokens.values():
            raw(guarded.url + "/api/status?token=" + secret + "x")
            raw(guarded.url + "/api/nothing", headers={"Authorization": f"Bearer {secret}"})
        operator = Client(guarded.url, token=guarded.tokens["operator"])
        operator.configure([1], biasI=1.4e-5)
        wait_for(lambda: len(operator.settings_log(since=-60)) >= 1, what="logged")
        copy = tmp_path / "archive.sqlite"
        with sqlite3.connect(guarded.data / "archive.sqlite") as source, \
                sqlite3.connect(copy) as target:
            source.backup(target)
        archive = copy.read_bytes()
        _, out, err = guarded.stop()
        for secret in guarded.tokens.values():
            assert secret.encode() not in archive
            assert secret not in out and secret not in err

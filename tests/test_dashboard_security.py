"""Real attacks in a real browser: headless Chromium opens a page served from
another loopback port, which tries every way a page has to reach the
service (a simple fetch, a preflighted one, a read, a form post, a
WebSocket): nothing changes and nothing is read.  And the dashboard over
HTTPS with a self-signed certificate, in the browser and through the client."""
import functools
import http.server
import shutil
import subprocess
import threading
import urllib.request

import pytest

from tests.service_process import wait_for
from tests.test_dashboard import Served, console_errors, open_page
from tests.test_dashboard import chromium as start_chromium
from vantor.client import Client, ServiceError

pytestmark = pytest.mark.browser

ATTACKS = """<!doctype html><html><body>
<iframe name="sink"></iframe>
<form id="text-form" method="POST" action="TARGET/api/jobs/acquire" target="sink"
  enctype="text/plain"><input name='{"units":[1],"seconds":1,"x":"' value='"}'></form>
<form id="url-form" method="POST" action="TARGET/api/settings" target="sink">
  <input name="units" value="1"><input name="settings" value="biasI=1.1e-5"></form>
<script>
const target = "TARGET";
const body = JSON.stringify({units: [1], settings: {biasI: 1.1e-5}});
window.results = {};
async function attempt(name, fn) {
  try { window.results[name] = await fn(); } catch (e) { window.results[name] = "error: " + e; }
}
(async () => {
  await attempt("simple settings", async () => {
    const r = await fetch(target + "/api/settings", {method: "POST", mode: "no-cors",
      headers: {"Content-Type": "text/plain"}, body});
    return "opaque " + r.type; });
  await attempt("simple iv", async () => {
    const r = await fetch(target + "/api/jobs/iv", {method: "POST", mode: "no-cors",
      headers: {"Content-Type": "text/plain"}, body: JSON.stringify({units: [1]})});
    return "opaque " + r.type; });
  await attempt("preflighted settings", async () => {
    const r = await fetch(target + "/api/settings", {method: "POST",
      headers: {"Content-Type": "application/json"}, body});
    return "read " + r.status + " " + await r.text(); });
  await attempt("read snapshot", async () => {
    const r = await fetch(target + "/api/snapshot");
    return "read " + (await r.text()).slice(0, 60); });
  await attempt("read with credentials", async () => {
    const r = await fetch(target + "/api/units", {credentials: "include"});
    return "read " + (await r.text()).slice(0, 60); });
  await attempt("websocket", () => new Promise((resolve) => {
    const ws = new WebSocket(target.replace("http", "ws") + "/api/live");
    let got = null;
    ws.onmessage = (m) => { got = String(m.data).slice(0, 60); };
    ws.onerror = () => {};
    ws.onclose = () => resolve(got ? "read " + got : "closed");
    setTimeout(() => resolve(got ? "read " + got : "nothing"), 3000);
  }));
  document.getElementById("text-form").submit();
  await new Promise((r) => setTimeout(r, 500));
  document.getElementById("url-form").submit();
  await new Promise((r) => setTimeout(r, 500));
  window.done = true;
})();
</script></body></html>"""


@pytest.fixture(scope="module")
def chromium():
    driver = start_chromium(acceptInsecureCerts=True)      # the self-signed test certificate
    yield driver
    driver.quit()


@pytest.fixture
def evil_site(tmp_path):
    """A web server on another loopback port: the page of another site."""
    folder = tmp_path / "evil"
    folder.mkdir()
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(folder))
    handler.log_message = lambda *a: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield folder, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def test_a_page_of_another_site_changes_nothing_and_reads_nothing(chromium, tmp_path,
                                                                  evil_site):
    service = Served(tmp_path / "data")
    try:
        client = Client(service.url)
        before = client.unit(1)["config"]
        totals = client.snapshot()["totals"]
        folder, site = evil_site
        (folder / "attack.html").write_text(ATTACKS.replace("TARGET", service.url))
        chromium.get(site + "/attack.html")
        wait_for(lambda: chromium.execute_script("return window.done === true"), 30,
                 "the attacks to run")
        results = chromium.execute_script("return window.results")
        assert set(results) == {"simple settings", "simple iv", "preflighted settings",
                                "read snapshot", "read with credentials", "websocket"}
        read = {name: r for name, r in results.items() if r.startswith("read")}
        assert read == {}, read
        after = client.unit(1)["config"]
        assert after == before, "the unit's settings changed"
        assert client.jobs() == [], "a job was started"
        assert client.settings_log(since=-600) == []
        later = client.snapshot()["totals"]
        assert (later["dropped"], later["late"]) == (totals["dropped"], totals["late"])
    finally:
        service.stop()


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed")
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", str(key), "-out", str(cert), "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    return cert, key


def test_https_and_wss_with_a_self_signed_certificate(chromium, tmp_path, certificate):
    cert, key = certificate
    data = tmp_path / "data"
    service = Served(data, "--tls-cert", str(cert), "--tls-key", str(key), "--auth", "always")
    try:
        assert service.url.startswith("https://")
        token = (data / "token").read_text().strip()
        with pytest.raises(ServiceError, match="not trusted"):
            Client(service.url, token=token).units()
        client = Client(service.url, token=token, cafile=str(cert))
        assert len(client.units()) == 16
        with client.live(rate=5) as stream:
            assert next(stream)["type"] == "hello"
        found = Client(data_dir=data)            # address, certificate and token from the data dir
        assert found.url.startswith("https://") and found.configure([2], biasI=1.2e-5)
        plain = urllib.request.Request(service.url.replace("https", "http") + "/api/status")
        with pytest.raises(Exception):
            urllib.request.urlopen(plain, timeout=5)
        console_errors(chromium)                 # what earlier tests provoked
        chromium.get(f"{service.url}/?token={token}")
        wait_for(lambda: chromium.current_url.startswith(service.url)
                 and "token" not in chromium.current_url, 10,
                 "the page at its address without the token")
        wait_for(lambda: chromium.find_element("id", "conn").get_attribute("data-state")
                 == "connected", 20, "the page connected over WSS")
        cookies = {c["name"]: c for c in chromium.get_cookies()}
        assert cookies["vantor_token"]["httpOnly"] and cookies["vantor_token"]["secure"]
        assert chromium.execute_script("return document.cookie") == ""
        wait_for(lambda: chromium.execute_script(
            "return document.querySelectorAll('#unit-rows tr').length") == 16, 10, "every unit")
        assert console_errors(chromium) == []
    finally:
        service.stop()
        chromium.delete_all_cookies()


def test_the_dashboard_fits_its_content_security_policy(chromium, tmp_path):
    service = Served(tmp_path / "data")
    try:
        console_errors(chromium)
        open_page(chromium, service.url)
        for view in ("rates", "iv", "boards", "overview"):
            chromium.find_element("css selector", f"#tabs button[data-view={view}]").click()
        wait_for(lambda: chromium.execute_script("return typeof Plotly") == "object", 10,
                 "plotly loaded")
        with urllib.request.urlopen(service.url + "/") as answer:
            assert "frame-ancestors 'none'" in answer.headers["Content-Security-Policy"]
        assert console_errors(chromium) == []     # a refused script or style is an error here
    finally:
        service.stop()

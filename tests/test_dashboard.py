"""The dashboard in a real browser: headless Chromium driven by Selenium against
`vantor serve` with the simulator, each service a process of its own.
Screenshots of the overview and the IV view land in build/ for people to see."""
import json
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import pytest

from tests.service_process import wait_for

pytestmark = pytest.mark.browser

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
if not (CHROMIUM and CHROMEDRIVER):
    pytest.skip("Debian's chromium and chromium-driver are not installed (make browser installs them)",
                allow_module_level=True)

from selenium import webdriver  # noqa: E402  (only once the browser is known to be there)
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

BUILD = Path(__file__).resolve().parents[1] / "build"
UNITS = 16                      # 2 boards x 8 units
SILENCE_TIMEOUT_S = 1.0         # the built-in settings' silence time-out
WINDOW_S = 1.0                  # and their integration window (100 steps of 10 ms)
SUMMARY_PERIOD_S = 0.5          # the page asks for 2 summaries a second


class Served:
    """`vantor serve` with the simulator on a free (or given) loopback port."""

    def __init__(self, data_dir, *options, port=0):
        self.lines = queue.Queue()
        self.output = []
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "vantor", "serve", "--http", f"127.0.0.1:{port}",
             "--data", str(data_dir), "--mcus", "2", "--units", "8", *options],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._drain, daemon=True).start()
        self.url = self._wait_ready(60)
        self.port = int(self.url.rsplit(":", 1)[1])

    def _drain(self):
        for line in self.proc.stdout:
            self.output.append(line)
            self.lines.put(line)

    def _wait_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                if self.proc.poll() is not None:
                    break
                continue
            m = re.match(r"serving (https?://\S+)", line)
            if m:
                return m.group(1)
        self.stop()
        raise AssertionError("vantor serve did not start:\n" + "".join(self.output))

    def api(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as answer:
            return json.load(answer)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def chromium(**capabilities):
    """Headless Chromium that keeps the console's messages for console_errors."""
    options = Options()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,900"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    for name, value in capabilities.items():
        options.set_capability(name, value)
    driver = webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)
    driver.set_script_timeout(20)
    return driver


@pytest.fixture(scope="module")
def browser():
    driver = chromium()
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    service = Served(tmp_path_factory.mktemp("serve"))
    yield service
    service.stop()


def console_errors(driver, allowed=()):
    """Errors the page logged since the last call, less those a test provoked."""
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"
            and not any(re.search(pattern, e["message"]) for pattern in allowed)]


def open_page(driver, url):
    driver.get(url + "/")
    wait_for(lambda: driver.find_element(By.ID, "conn").get_attribute("data-state") == "connected",
             20, "page connected to the live stream")


def page_units(driver):
    """Every row of the unit grid as {rank: {"name", "status", "rate", "bias", "rateClass"}}."""
    return driver.execute_script("""
        const out = {};
        for (const tr of document.querySelectorAll('#unit-rows tr')) {
          const td = tr.children;
          out[tr.dataset.rank] = {name: td[2].textContent, status: tr.dataset.status,
            word: td[3].textContent, rate: td[4].textContent, rateClass: td[4].className,
            bias: td[6].textContent, hidden: tr.hidden};
        }
        return out;""")


def select_units(driver, text):
    box = driver.find_element(By.ID, "sel-text")
    box.clear()
    box.send_keys(text, Keys.ENTER)


def show_view(driver, name):
    driver.find_element(By.CSS_SELECTOR, f"#tabs button[data-view={name}]").click()


def test_overview_shows_every_unit_with_live_rates(browser, served):
    open_page(browser, served.url)
    expected = {str(u["rank"]): u["name"] for u in served.api("/api/units")["units"]}
    assert len(expected) == UNITS
    shown = wait_for(lambda: (rows := page_units(browser)) and len(rows) == UNITS and rows,
                     10, "a row for every unit")
    assert {rank: row["name"] for rank, row in shown.items()} == expected
    wait_for(lambda: all(r["status"] == "ok" for r in page_units(browser).values()),
             15, "every unit ok on the page")

    first = wait_for(lambda: re.fullmatch(r"\d+\.\d", page_units(browser)["1"]["rate"]) and
                     page_units(browser)["1"]["rate"], 10, "a rate for unit 1")
    wait_for(lambda: page_units(browser)["1"]["rate"] != first, 10, "unit 1's rate changing")

    # Filtering by MCU shows that board's units only.
    def shown_names():
        return sorted(r["name"] for r in page_units(browser).values() if not r["hidden"])

    box = browser.find_element(By.ID, "filter-text")
    box.send_keys("1.")
    wait_for(lambda: shown_names() == [f"1.{c}" for c in range(8)], 5, "filter 1. showing board 1's units")
    box.send_keys(Keys.CONTROL, "a")
    box.send_keys(Keys.BACKSPACE)
    wait_for(lambda: len(shown_names()) == UNITS, 5, "every unit shown again")

    BUILD.mkdir(exist_ok=True)
    browser.save_screenshot(str(BUILD / "dashboard-overview.png"))
    assert console_errors(browser) == []


def test_bias_change_from_page_reaches_the_unit(browser, served):
    open_page(browser, served.url)
    wait_for(lambda: page_units(browser).get("2", {}).get("status") == "ok", 15, "unit 2 ok")
    browser.find_element(By.CSS_SELECTOR, '#unit-rows tr[data-rank="2"] td:nth-child(3)').click()
    assert browser.find_element(By.ID, "sel-text").get_attribute("value") == "2"
    assert browser.find_element(By.ID, "set-field").get_attribute("value") == "biasI"

    value = browser.find_element(By.ID, "set-value")
    value.clear()
    value.send_keys("500")                       # µA: beyond the physical limit
    browser.find_element(By.ID, "set-apply").click()
    result = browser.find_element(By.ID, "set-result")
    refused = wait_for(lambda: "error" in result.get_attribute("class") and result.text, 10,
                       "the service's refusal shown")
    assert "biasI" in refused
    assert served.api("/api/units/2")["config"]["biasI"] == pytest.approx(2e-5)

    value.clear()
    value.send_keys("25")
    browser.find_element(By.ID, "set-apply").click()
    wait_for(lambda: "ok" in result.get_attribute("class").split() and "verified" in result.text,
             15, "the change verified")
    unit = served.api("/api/units/2")
    assert unit["config"]["biasI"] == pytest.approx(2.5e-5, rel=1e-6)
    wait_for(lambda: served.api("/api/units/2")["status"] == "ok", 10, "unit 2 back to ok")
    wait_for(lambda: page_units(browser)["2"]["bias"] == "25.000" and
             page_units(browser)["2"]["status"] == "ok", 5, "the page showing the new bias")
    assert console_errors(browser, allowed=[r"/api/settings .*status of 400"]) == []


def test_iv_sweep_started_from_page_draws_curves(browser, served):
    open_page(browser, served.url)
    select_units(browser, "3, 9.9")
    count = browser.find_element(By.ID, "sel-count")
    wait_for(lambda: "9.9" in count.text and "error" in count.get_attribute("class"), 5,
             "the selection naming the unit that does not exist")
    select_units(browser, "3, 1.2")
    wait_for(lambda: count.text == "2 units selected", 5, "two units selected")
    for field, text in (("iv-start", "0"), ("iv-stop", "20"), ("iv-step", "2"), ("iv-point", "5")):
        box = browser.find_element(By.ID, field)
        box.clear()
        box.send_keys(text)
    browser.find_element(By.ID, "iv-start-btn").click()
    wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, '#job-list li[data-state="done"]'), 60,
             "the sweep job done in the job list")
    assert browser.find_elements(By.CSS_SELECTOR, '#job-list li[data-state="done"] .actions a')

    show_view(browser, "iv")
    traces = wait_for(lambda: browser.execute_script("""
        const div = document.getElementById('iv-rate-plot');
        return div.data && div.data.length >= 2 ? div.data.map((t) => [t.name, t.x, t.y]) : null;"""),
        15, "two curves in the IV plot")
    assert sorted(name for name, _, _ in traces) == ["0.2", "1.2"]
    curves = {c["name"]: c for c in served.api("/api/iv")["curves"].values()}
    for name, x, y in traces:
        assert len(x) == 11 and x[0] == pytest.approx(0) and x[-1] == pytest.approx(20, rel=1e-3)
        assert x == pytest.approx([a * 1e6 for a in curves[name]["biasI"]])
        assert y == pytest.approx(curves[name]["rate"])
        assert y[-1] > y[0], f"{name}: the rate should rise along the sweep"
    assert len(browser.find_elements(By.CSS_SELECTOR, "#iv-rate-plot .scatterlayer .trace")) == 2
    assert len(browser.find_elements(By.CSS_SELECTOR, "#iv-monitor-plot .scatterlayer .trace")) == 2
    BUILD.mkdir(exist_ok=True)
    browser.save_screenshot(str(BUILD / "dashboard-iv.png"))
    show_view(browser, "overview")
    assert console_errors(browser) == []



def test_acquisition_stopped_from_page_keeps_its_file(browser, served):
    open_page(browser, served.url)
    select_units(browser, "0.0")
    seconds = browser.find_element(By.ID, "acq-seconds")
    seconds.clear()
    seconds.send_keys("60")
    browser.find_element(By.ID, "acq-start").click()
    job = '#job-list li:first-child'
    wait_for(lambda: browser.execute_script(
        f"const li = document.querySelector('{job}'); return li && li.dataset.state === 'running' && "
        "li.querySelector('progress').value > 0"), 15, "the acquisition running with progress")
    browser.find_element(By.CSS_SELECTOR, f"{job} button[data-cancel]").click()
    wait_for(lambda: browser.execute_script(f"return document.querySelector('{job}').dataset.state")
             == "cancelled", 10, "the acquisition stopped")
    link = wait_for(lambda: browser.execute_script(
        f"const a = document.querySelector('{job} .actions a[href*=\"format=csv\"]'); return a && a.href"),
        5, "a CSV download link")
    with urllib.request.urlopen(link, timeout=10) as answer:
        text = answer.read().decode()
    assert "interrupted = true" in text
    rows = [line for line in text.splitlines() if line and not line.startswith("#")]
    assert len(rows) >= 2, "a header and at least one recorded window"
    assert console_errors(browser) == []

def test_silenced_unit_turns_silent_within_its_timeout(browser, tmp_path):
    service = Served(tmp_path, "--silence", "0.3@20-24")
    try:
        open_page(browser, service.url)
        wait_for(lambda: page_units(browser)["4"]["status"] == "ok", 15, "unit 0.3 ok before its silence")
        last_window = None
        deadline = time.monotonic() + 40
        while time.monotonic() < deadline:
            if page_units(browser)["4"]["status"] == "silent":
                break
            unit = service.api("/api/units/0.3")
            if unit["status"] == "ok":
                last_window = unit["last_seen"]
            time.sleep(0.05)
        else:
            raise AssertionError("unit 0.3 never turned silent on the page")
        seen_silent = time.time()
        # The unit's last message came at most one window after its last window;
        # the service waits the time-out, the page at most one summary period.
        assert last_window is not None
        assert seen_silent - last_window <= WINDOW_S + SILENCE_TIMEOUT_S + SUMMARY_PERIOD_S + 0.5
        assert page_units(browser)["4"]["word"] == "silent"
        banner = browser.find_element(By.ID, "alarm-banner")
        wait_for(lambda: banner.is_displayed() and re.search(r"0\.3\b.*silent", banner.text), 5,
                 "the alarm banner naming the silent unit")
        wait_for(lambda: "stale" in page_units(browser)["4"]["rateClass"], 5, "its rate greyed")

        # Back after its silence: the rate plot shows the pause as a gap, not a line across it.
        wait_for(lambda: page_units(browser)["4"]["status"] == "ok", 15, "unit 0.3 back to ok")
        select_units(browser, "0.3")
        show_view(browser, "rates")
        def silence_gap():
            """Seconds between the windows around the longest run of nulls in the trace."""
            trace = browser.execute_script("""
                const div = document.getElementById('rate-plot');
                if (!div.data || !div.data.length) return null;      // the unit's trace first
                return [div.data[0].x.map((d) => d.getTime() / 1000), div.data[0].y];""")
            if not trace:
                return None
            x, y = trace
            measured = [i for i, v in enumerate(y) if v is not None]
            spans = [x[b] - x[a] for k, (a, b) in enumerate(zip(measured, measured[1:]))
                     if b > a + 1 and len(measured) - k >= 4]    # two windows drawn after it
            return max(spans, default=None)

        # The silence (4 s) lies between two measured windows with nothing drawn across it.
        assert wait_for(silence_gap, 10, "a gap in the rate trace") >= 3.0
        BUILD.mkdir(exist_ok=True)
        browser.save_screenshot(str(BUILD / "dashboard-rates.png"))
        show_view(browser, "overview")
        assert console_errors(browser) == []
    finally:
        service.stop()


def test_windows_that_missed_records_are_drawn_apart(browser, tmp_path):
    """With datagrams lost on the way, the windows that missed records read
    low; the page marks them in the grid and draws them apart in the rate plot."""
    service = Served(tmp_path, "--drop", "0.05")
    try:
        console_errors(browser)        # what the page of an earlier, stopped service logged
        open_page(browser, service.url)
        wait_for(lambda: any(u["rate"].endswith("*") and "short" in u["rateClass"]
                             for u in page_units(browser).values()), 20,
                 "a rate in the grid marked as from a window that missed records")
        select_units(browser, "1-4")
        show_view(browser, "rates")

        def short_points():
            return browser.execute_script("""
                const div = document.getElementById('rate-plot');
                const t = (div.data || []).find((d) => d.name.startsWith('window missed records'));
                return t ? t.x.length : 0;""")
        wait_for(lambda: short_points() >= 3, 20, "windows that missed records drawn apart")
        # each drawn-apart point is also on its unit's line, at the same rate
        traces = browser.execute_script("""
            return document.getElementById('rate-plot').data.map((d) => [d.name, d.y.filter((v) => v !== null)]);""")
        lines = [set(y) for name, y in traces if not name.startswith("window missed")]
        short = next(y for name, y in traces if name.startswith("window missed"))
        assert all(any(v in line for line in lines) for v in short)
        unit = service.api("/api/units/1")
        assert unit["incomplete"] >= 1 and {"received", "complete"} <= set(unit)
        BUILD.mkdir(exist_ok=True)
        browser.save_screenshot(str(BUILD / "dashboard-missed-records.png"))
        show_view(browser, "overview")
        assert console_errors(browser) == []
    finally:
        service.stop()


def test_page_reconnects_when_the_service_restarts(browser, tmp_path):
    first = Served(tmp_path / "a")
    try:
        open_page(browser, first.url)
        wait_for(lambda: len(page_units(browser)) == UNITS, 10, "the units of the first service")
    finally:
        first.stop()
    conn = browser.find_element(By.ID, "conn")
    wait_for(lambda: conn.get_attribute("data-state") in ("disconnected", "connecting"), 10,
             "the page noticing the service went away")
    second = Served(tmp_path / "b", "--mcus", "1", port=first.port)
    try:
        wait_for(lambda: conn.get_attribute("data-state") == "connected", 20, "the page reconnected")
        # The second service has other units (argparse keeps the last --mcus): the grid follows.
        wait_for(lambda: len(page_units(browser)) == 8, 10, "the grid rebuilt for the new service")
        assert console_errors(browser, allowed=[r"WebSocket connection to .* failed",
                                                r"Failed to load resource: net::ERR_CONNECTION_REFUSED"]) == []
    finally:
        second.stop()

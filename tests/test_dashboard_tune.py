"""The dashboard's Tune tab in headless Chromium against `vantor serve` with
simulated sensors of known switching currents (those of test_tune_service):
a tune started from the side panel, its table, curves and yield map against
the service's own answer, applying from the page, refusals shown under their
buttons, and a unit latched since the tune turning up in the yield map.
A screenshot lands in build/dashboard-tune.png."""
import json
import urllib.request

import pytest

from tests.service_process import wait_for
from tests.test_dashboard import (BUILD, Served, browser, console_errors, open_page,  # noqa: F401
                                  select_units, show_view)
from tests.test_tune_service import DEAD, FLAT, site_text
from vantor.wire import f32

from selenium.webdriver.common.by import By  # noqa: E402  (after the skip in test_dashboard)

pytestmark = pytest.mark.browser

BOARDS, PER_BOARD = 2, 16
UNITS = BOARDS * PER_BOARD
REFUSED = [r"/api/jobs/tune .*status of 400", r"/api/jobs/\d+/apply .*status of 409"]


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    root = tmp_path_factory.mktemp("tune-page")
    (root / "site.toml").write_text(site_text(BOARDS, PER_BOARD))
    service = Served(root / "data", "--config", str(root / "site.toml"))
    yield service
    service.stop()


def post(served, path, body=None):
    request = urllib.request.Request(served.url + path, json.dumps(body or {}).encode(),
                                     {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=60) as answer:
        return json.load(answer)


def fill(driver, values):
    for field, text in values.items():
        box = driver.find_element(By.ID, field)
        box.clear()
        box.send_keys(text)


def page_table(driver):
    return driver.execute_script("""
        const out = {};
        for (const tr of document.querySelectorAll('#tune-rows tr')) {
          const td = [...tr.children].map((c) => c.textContent);
          out[tr.dataset.rank] = {status: td[3], switching: td[4], onset: td[5], plateau: td[6],
                                  proposed: td[7], reason: td[8], hidden: tr.hidden};
        }
        return out;""")


def page_plot(driver):
    """{trace name: [x...]} of the tune plot."""
    return driver.execute_script("""
        const div = document.getElementById('tune-plot');
        if (!div.data) return null;
        return Object.fromEntries(div.data.map((t) => [t.name, t.x]));""")


def legend(driver):
    return driver.find_element(By.ID, "tune-yield-legend").text


def ua(amperes):
    return "–" if amperes is None else f"{amperes * 1e6:.2f}"


def test_a_tune_from_the_page_shows_what_the_service_found(browser, served):
    open_page(browser, served.url)
    select_units(browser, f"1-{UNITS}")
    fill(browser, {"tune-start": "4", "tune-stop": "36", "tune-step": "1", "tune-point": "40",
                   "tune-fraction": "1.5"})
    start = browser.find_element(By.ID, "tune-start-btn")
    start.click()
    out = browser.find_element(By.ID, "tune-result")
    refused = wait_for(lambda: "error" in out.get_attribute("class") and out.text, 10,
                       "the refusal under the tune button")
    assert "fraction" in refused and "between 0 and 1" in refused
    assert not [j for j in served.api("/api/jobs")["jobs"] if j["kind"] == "tune"]

    fill(browser, {"tune-fraction": "0.8"})
    start.click()
    wait_for(lambda: "ok" in out.get_attribute("class").split() and "tune #" in out.text, 10,
             "the tune started")
    show_view(browser, "tune")
    state = browser.find_element(By.ID, "tune-state")
    progress = browser.find_element(By.ID, "tune-progress")
    wait_for(lambda: state.text == "running" and progress.is_displayed() and
             float(progress.get_attribute("value")) > 0, 20, "the tune's progress on the page")
    wait_for(lambda: state.text == "done", 90, "the tune done on the page")
    assert not progress.is_displayed()
    job = [j for j in served.api("/api/jobs")["jobs"] if j["kind"] == "tune"][0]
    assert job["params"]["fraction"] == 0.8 and job["units"] == list(range(1, UNITS + 1))
    truth = served.api(f"/api/jobs/{job['id']}/tune")["units"]

    table = wait_for(lambda: len(rows := page_table(browser)) == UNITS and rows, 10,
                     "a row per unit")
    for rank, row in truth.items():
        shown = table[rank]
        assert (shown["status"], shown["switching"], shown["onset"], shown["proposed"]) == (
            row["status"], ua(row["switching_current"]), ua(row["plateau_onset"]),
            ua(row["proposed_bias"])), rank
        assert shown["reason"] == row["reason"]
    names = {u["name"]: str(u["rank"]) for u in served.api("/api/units")["units"]}
    assert (truth[names[DEAD]]["status"], truth[names[FLAT]]["status"]) == ("dead", "no plateau")
    wait_for(lambda: all(w in legend(browser) for w in ("ok 30", "dead 1", "no plateau 1",
                                                        "latched 0")),
             15, "the yield counts (the units the sweep latched reset)")
    assert "yield 94 % of 32" in legend(browser)
    cells = browser.execute_script("""
        return [...document.querySelectorAll('#tune-yield-map .yield-row:not(.yield-head)')]
          .map((row) => [row.firstChild.textContent,
                         [...row.querySelectorAll('i')].map((i) => i.className)]);""")
    assert [board for board, _ in cells] == ["0", "1"]
    assert all(len(squares) == PER_BOARD for _, squares in cells)
    assert cells[0][1][5] == "y-dead" and cells[1][1][7] == "y-no-plateau"
    assert sum(squares.count("y-ok") for _, squares in cells) == 30

    # Eight units' curves, those ok first (the dead 0.5 makes way for 0.8),
    # each marked where the service put the marks.
    plot = wait_for(lambda: page_plot(browser), 10, "the tune plot")
    shown = [name for name in plot if "." in name]
    assert shown == [f"0.{c}" for c in (0, 1, 2, 3, 4, 6, 7, 8)]
    marked = [truth[names[n]] for n in shown if truth[names[n]]["status"] == "ok"]
    assert plot["switching"] == pytest.approx([r["switching_current"] * 1e6 for r in marked])
    assert plot["proposed bias"] == pytest.approx([r["proposed_bias"] * 1e6 for r in marked])
    assert len(plot["plateau onset"]) == len(marked)
    # A square of the map adds that unit's curve; a count filters the table.
    browser.find_element(By.CSS_SELECTOR, f'#tune-yield-map i[data-rank="{names[FLAT]}"]').click()
    wait_for(lambda: FLAT in page_plot(browser), 5, "the no-plateau unit's curve drawn")
    browser.find_element(By.CSS_SELECTOR, '#tune-yield-legend [data-outcome="dead"]').click()
    wait_for(lambda: [r for r, row in page_table(browser).items() if not row["hidden"]]
             == [names[DEAD]], 5, "the table showing the dead unit only")
    browser.find_element(By.CSS_SELECTOR, '#tune-yield-legend [data-outcome="dead"]').click()
    BUILD.mkdir(exist_ok=True)
    browser.save_screenshot(str(BUILD / "dashboard-tune.png"))

    # Nothing changed until Apply; then every ok unit takes its proposed bias.
    assert {u["config"]["biasI"] for u in served.api("/api/units")["units"]} == {f32(2e-5)}
    apply = browser.find_element(By.ID, "tune-apply")
    assert apply.text == "Apply 30 proposed biases" and apply.is_enabled()
    apply.click()
    result = browser.find_element(By.ID, "tune-apply-result")
    wait_for(lambda: "ok" in result.get_attribute("class").split(), 60, "the biases applied")
    assert result.text == "30 units set and verified, 2 left unchanged; calibrations stored"
    units = {str(u["rank"]): u for u in served.api("/api/units")["units"]}
    for rank, row in truth.items():
        expected = f32(2e-5) if row["status"] != "ok" else f32(row["proposed_bias"])
        assert units[rank]["config"]["biasI"] == expected, rank
    wait_for(lambda: apply.text.startswith("Applied at") and not apply.is_enabled(), 5,
             "the button saying the tune was applied")
    assert console_errors(browser, allowed=REFUSED) == []


def test_applying_a_tune_applied_elsewhere_shows_the_refusal(browser, served):
    open_page(browser, served.url)
    show_view(browser, "tune")
    job = post(served, "/api/jobs/tune", {"units": [1, 2], "start": 4e-6, "stop": 3.6e-5,
                                          "step": 1e-6, "point_steps": 10})
    picker = browser.find_element(By.ID, "tune-job")
    wait_for(lambda: picker.get_attribute("value") == job["id"], 10, "the page following the new tune")
    apply = browser.find_element(By.ID, "tune-apply")
    wait_for(lambda: apply.is_enabled() and apply.text == "Apply 2 proposed biases", 60,
             "the new tune's result on the page")
    post(served, f"/api/jobs/{job['id']}/apply")       # as `vantor tune --apply` would
    apply.click()
    result = browser.find_element(By.ID, "tune-apply-result")
    refused = wait_for(lambda: "error" in result.get_attribute("class") and result.text, 10,
                       "the refusal under the Apply button")
    assert f"job {job['id']} was applied already" in refused
    wait_for(lambda: apply.text.startswith("Applied at"), 5, "the button showing it applied")
    assert console_errors(browser, allowed=REFUSED) == []


def test_a_unit_latched_since_the_tune_shows_in_the_yield_map(browser, served):
    open_page(browser, served.url)
    show_view(browser, "tune")
    first = min((j for j in served.api("/api/jobs")["jobs"] if j["kind"] == "tune"),
                key=lambda j: int(j["id"]))
    picker = browser.find_element(By.ID, "tune-job")
    wait_for(lambda: first["id"] in [o.get_attribute("value") for o in
                                     picker.find_elements(By.TAG_NAME, "option")], 10,
             "the first tune in the picker")
    browser.execute_script(f"const s = document.getElementById('tune-job'); s.value = '{first['id']}';"
                           "s.dispatchEvent(new Event('change'));")
    wait_for(lambda: "ok 30" in legend(browser), 10, "the first tune's yield")
    post(served, "/api/settings", {"units": [3], "settings": {"biasI": 4e-5}, "timeout": 5})
    square = browser.find_element(By.CSS_SELECTOR, '#tune-yield-map i[data-rank="3"]')
    wait_for(lambda: square.get_attribute("class") == "y-latched", 15, "unit 3 latched in the map")
    assert "latched 1" in legend(browser) and "ok 29" in legend(browser)
    post(served, "/api/settings", {"units": [3], "settings": {"biasI": 0.0}, "timeout": 5})
    wait_for(lambda: square.get_attribute("class") == "y-ok", 15, "unit 3 back to ok in the map")
    assert console_errors(browser, allowed=REFUSED) == []

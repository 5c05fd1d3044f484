"""The dashboard served by a site, in headless Chromium: every node's units,
grouped by node, and each node's state in the header."""
import time

import pytest

from tests.service_process import wait_for
from tests.test_dashboard import By, Keys, chromium, console_errors, open_page
from tests.test_site import bus, nodes, sites  # noqa: F401  (fixtures)

pytestmark = pytest.mark.browser


def test_the_site_page_shows_every_node_its_units_and_a_lost_node(bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path), "--heartbeat-timeout", "1")
    north, south = nodes("north", ranks=[1, 2, 3]), nodes("south", ranks=[1, 2])
    for node in (north, south):
        node.state()
        node.windows(3, start=time.time() - 1)
    wait_for(lambda: len(site.get("/api/units")["units"]) == 5, what="five units at the site")
    driver = chromium()
    try:
        open_page(driver, site.url)
        names = wait_for(lambda: (lambda r: r if len(r) == 5 else None)(driver.execute_script(
            "return [...document.querySelectorAll('#unit-rows tr')]"
            ".map((tr) => tr.children[2].textContent)")), 20, "five unit rows")
        # grouped by node: north's units, then south's
        assert names == ["north/0.0", "north/0.1", "north/0.2", "south/0.0", "south/0.1"]
        def chips():
            return driver.execute_script(
                "return Object.fromEntries([...document.querySelectorAll('.node-chip')]"
                ".map((c) => [c.dataset.node, c.dataset.state]))")
        assert wait_for(chips, 20, "node chips") == {"north": "ok", "south": "ok"}
        # the page names units by its own numbers; the site's history takes them
        keys = driver.execute_script("return [...document.querySelectorAll('#unit-rows tr')]"
                                     ".map((tr) => tr.dataset.rank)")
        found = wait_for(lambda: site.get(f"/api/history?units={keys[0]},{keys[3]}&since=-600"
                                          f"&resolution=0")["series"], what="history by number")
        assert {k: v["name"] for k, v in found.items()} == {keys[0]: "north/1", keys[3]: "south/1"}
        # a settings change from the page reaches the node of the selected unit
        south.answers["settings"] = (200, {"units": [{"rank": 2, "name": "0.1"}],
                                           "verified": True})
        driver.execute_script("document.querySelectorAll('#unit-rows tr')[4]"
                              ".querySelector('input').click()")
        driver.find_element(By.ID, "set-value").send_keys("12")
        driver.find_element(By.ID, "set-apply").click()
        wait_for(lambda: south.requests, 20, "the change at south")
        assert south.requests[-1][0] == "settings"
        assert south.requests[-1][1]["units"] == [2]
        assert south.requests[-1][1]["settings"]["biasI"] == pytest.approx(12e-6)
        assert north.requests == []
        # the Units box names the selection by node and takes such names back
        box = driver.find_element(By.ID, "sel-text")
        assert box.get_attribute("value") == "south/2"
        box.clear()
        box.send_keys("north/1-2, south/0.1", Keys.ENTER)
        assert wait_for(lambda: (lambda n: n if n == 3 else None)(driver.execute_script(
            "return document.querySelectorAll('#unit-rows tr input:checked').length")),
            10, "three units selected") == 3
        box.clear()
        box.send_keys("2", Keys.ENTER)          # two nodes: a bare rank names neither
        assert "name the node" in driver.find_element(By.ID, "sel-count").text
        # a node that comes after the page opened gets its rows without a reload
        east = nodes("east", ranks=[1])
        east.state()
        east.windows(2, start=time.time() - 1)
        wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#unit-rows tr")) == 6, 20,
                 "east's unit on the page")
        south.beating = False
        wait_for(lambda: chips().get("south") == "lost", 20, "south shown lost")
        driver.save_screenshot(str(tmp_path / "site.png"))
        errors = console_errors(driver)
        assert errors == [], errors
    finally:
        driver.quit()

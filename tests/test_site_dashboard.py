"""The dashboard served by a site, in headless Chromium: every node's units,
grouped by node, and each node's state in the header."""
import time

import pytest

from tests.service_process import wait_for
from tests.test_dashboard import chromium, console_errors, open_page
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
        south.beating = False
        wait_for(lambda: chips().get("south") == "lost", 20, "south shown lost")
        driver.save_screenshot(str(tmp_path / "site.png"))
        errors = console_errors(driver)
        assert errors == [], errors
    finally:
        driver.quit()

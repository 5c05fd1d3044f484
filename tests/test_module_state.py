"""Each import of a native module keeps its own types, names and host
references: a reload, a second copy of the module or an import in another
interpreter must leave the first one's objects working as before."""
import gc
import importlib
import importlib.util
import weakref

import pytest

from tests.test_hub_helpers import rec, settings
from vantor.cluster import feedhub, ingestgate
from vantor.cluster.workers import boardwatch, lanecore

MODULES = [lanecore, feedhub, ingestgate, boardwatch]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__.rsplit(".", 1)[-1])
def test_reload_keeps_the_classes(module):
    cls = module.SpeedUpProtocol
    assert importlib.reload(module) is module
    assert module.SpeedUpProtocol is cls


def second_copy(module):
    """The same extension loaded again as a separate module object."""
    found = importlib.util.spec_from_file_location(module.__name__, module.__file__)
    copy = importlib.util.module_from_spec(found)
    found.loader.exec_module(copy)
    return copy


class Hub(feedhub.SpeedUpProtocol):
    def __init__(self, s):
        self.batches = []
        super().__init__(s)

    def streamData(self, data):
        self.batches.append(data)


def test_a_dropped_second_copy_leaves_the_first_working():
    hub = Hub(settings(1))
    copy = second_copy(feedhub)
    assert copy.SpeedUpProtocol is not feedhub.SpeedUpProtocol

    class Other(copy.SpeedUpProtocol):
        pass

    other = Other(settings(1))
    other.msg_received([rec(timestamp=1.0)])
    gone = weakref.ref(copy)
    del copy, Other, other
    gc.collect()
    assert gone() is None  # its state went with it
    # The first module's hub still finds its own class and names.
    for t in (1.0, 2.0, 3.0):
        hub.msg_received([rec(timestamp=t)])
    assert hub.batches == [b"", rec(timestamp=1.0), rec(timestamp=2.0)]
    assert hub.get_min_max() == pytest.approx((1e-6, 5e-6, 401))


SUB_SCRIPT = """
from vantor.cluster import feedhub, ingestgate
from vantor.cluster.workers import boardwatch

class Monitor(boardwatch.SpeedUpProtocol):
    def set_pll_lock(self, lock):
        self.lock = lock

m = Monitor()
m.msg_received([bytes(12)])
assert m.lock == 0
assert ingestgate.SpeedUpProtocol.__name__ == "SpeedUpProtocol"
"""


def test_import_in_another_interpreter():
    interpreters = pytest.importorskip("_xxsubinterpreters")

    class Monitor(boardwatch.SpeedUpProtocol):
        def set_pll_lock(self, lock):
            self.locks.append(lock)

        def on_temp(self, t1, t2):
            self.temps.append((t1, t2))

    monitor = Monitor()
    monitor.locks, monitor.temps = [], []
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, SUB_SCRIPT)
    finally:
        interpreters.destroy(interp)
    gc.collect()
    monitor.msg_received([bytes(12)])
    hub = Hub(settings(1))
    hub.msg_received([rec(timestamp=1.0)])
    assert monitor.locks == [0] and monitor.temps == [(0.0, 0.0)] and hub.batches == [b""]

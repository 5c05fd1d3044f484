"""The package as a host sees it: every module imports from its fixed path, and
the native classes cannot be patched behind their subclasses' backs (the
modules call their own operations directly unless a subclass overrides them)."""
import importlib

import pytest

MODULES = ["vantor.headers.wirelayouts", "vantor.functions.lanemath", "vantor.cluster.workers.lanecore",
           "vantor.cluster.ingestgate", "vantor.cluster.feedhub", "vantor.cluster.workers.boardwatch"]
CLASSES = [("vantor.cluster.workers.lanecore", "SpeedUpProtocol"), ("vantor.cluster.ingestgate", "SpeedUpProtocol"),
           ("vantor.cluster.feedhub", "SpeedUpProtocol"), ("vantor.cluster.feedhub", "RecordData"),
           ("vantor.cluster.workers.boardwatch", "SpeedUpProtocol")]


@pytest.mark.parametrize("name", MODULES)
def test_module_imports_as_native_extension(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(".so")


@pytest.mark.parametrize("module, cls", CLASSES)
def test_native_class_is_immutable_but_subclassable(module, cls):
    base = getattr(importlib.import_module(module), cls)
    with pytest.raises(TypeError):
        base.msg_received = lambda self, *a: None
    sub = type("Host", (base,), {"extra": 1})
    sub.extra = 2
    assert sub.extra == 2

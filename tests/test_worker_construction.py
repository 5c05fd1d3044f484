"""Worker construction: arguments, rejections, the first timer, module binding."""
import subprocess
import sys
import threading

import pytest
import zmq

from tests.wire import SharedRecord
from vantor.cluster.workers import lanecore


class Worker(lanecore.SpeedUpProtocol):
    pass


@pytest.fixture
def shared():
    cfg, backend = SharedRecord("cu_config"), SharedRecord("C_Backend", buffSize=10)
    return (cfg.address, threading.Lock()), (backend.address, threading.Lock()), (cfg, backend)


def pending(loop):
    return [h for h in loop._scheduled if not h.cancelled()]


class TestConstruction:
    def test_schedules_its_own_handle_timeout(self, loop, shared):
        c_config, c_backend, _ = shared
        w = Worker(3, c_config, c_backend, None, None, 0.25)
        (handle,) = pending(loop)
        assert w.timer is handle
        assert handle._callback == w.handle_timeout
        assert handle.when() == pytest.approx(loop.time() + 0.25, abs=0.05)

    def test_keywords_equal_positions(self, loop, shared):
        c_config, c_backend, _ = shared
        kw = Worker(timeout=1, updateSock=None, streamSock=None, c_backend=c_backend, c_config=c_config, rank=2)
        pos = Worker(2, c_config, c_backend, None, None, 1)
        assert [h.when() for h in pending(loop)] == pytest.approx([kw.timer.when(), pos.timer.when()])

    def test_accepts_native_sockets_and_subclasses(self, loop, shared):
        c_config, c_backend, _ = shared
        ctx = zmq.Context.instance()
        with ctx.socket(zmq.PUSH) as a, ctx.socket(zmq.PUSH) as b:
            assert isinstance(a, zmq.backend.Socket)
            Worker(1, c_config, c_backend, a, b, 1)

    @pytest.mark.parametrize("rank", [0, 4294967295, True, 7.9])
    def test_rank_range(self, loop, shared, rank):
        c_config, c_backend, _ = shared
        Worker(rank, c_config, c_backend, None, None, 1)

    def test_reads_no_shared_memory(self, loop):
        # addresses are only stored: 1 and 2 would crash if dereferenced
        Worker(1, [1, threading.Lock()], iter([2, threading.Lock()]), None, None, 1)

    def test_timer_is_writable_not_deletable(self, loop, shared):
        c_config, c_backend, _ = shared
        w = Worker(1, c_config, c_backend, None, None, 1)
        w.timer = None
        assert w.timer is None
        with pytest.raises(NotImplementedError, match="^__del__$"):
            del w.timer


LOCK = threading.Lock()


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((1, (1, LOCK), (2, LOCK), None, None), {}, TypeError,
     r"^__init__\(\) takes exactly 6 positional arguments \(5 given\)$"),
    ((1, (1, LOCK), (2, LOCK), None, None, 1, 2), {}, TypeError,
     r"^__init__\(\) takes exactly 6 positional arguments \(7 given\)$"),
    ((1, (1, LOCK)), {"c_backend": (2, LOCK), "streamSock": None, "updateSock": None}, TypeError,
     r"^__init__\(\) takes exactly 6 positional arguments \(5 given\)$"),
    ((1, (1, LOCK), (2, LOCK), None, None, 1), {"bogus": 1}, TypeError,
     r"^__init__\(\) got an unexpected keyword argument 'bogus'$"),
    ((1, (1, LOCK), (2, LOCK), None, None, 1), {"rank": 1}, TypeError, "multiple values"),
    ((1, (1, LOCK, 3), (2, LOCK), None, None, 1), {}, ValueError,
     r"^too many values to unpack \(expected 2\)$"),
    ((1, (1,), (2, LOCK), None, None, 1), {}, ValueError, r"^need more than 1 value to unpack$"),
    ((1, (1, LOCK), (), None, None, 1), {}, ValueError, r"^need more than 0 values to unpack$"),
    ((1, 5, (2, LOCK), None, None, 1), {}, TypeError, "not iterable"),
    ((1, (-1, LOCK), (2, LOCK), None, None, 1), {}, OverflowError,
     "^can't convert negative value to size_t$"),
    ((1, (1, LOCK), (2**64, LOCK), None, None, 1), {}, OverflowError, "^value too large to convert to size_t$"),
    ((1, ("1", LOCK), (2, LOCK), None, None, 1), {}, TypeError, "^an integer is required$"),
    ((-1, (1, LOCK), (2, LOCK), None, None, 1), {}, OverflowError,
     "^can't convert negative value to uint32_t$"),
    ((2**32, (1, LOCK), (2, LOCK), None, None, 1), {}, OverflowError, "^value too large to convert to uint32_t$"),
    ((None, (1, LOCK), (2, LOCK), None, None, 1), {}, TypeError, "^an integer is required$"),
    ((1, (1, LOCK), (2, LOCK), 5, None, 1), {}, TypeError,
     r"^Argument 'streamSock' has incorrect type \(expected zmq\.backend\.cython\._zmq\.Socket, got int\)$"),
    ((1, (1, LOCK), (2, LOCK), None, "s", 1), {}, TypeError, r"^Argument 'updateSock' has incorrect type"),
    ((1, (1, LOCK), (2, LOCK), None, None, "1"), {}, TypeError, "must be real number"),
])
def test_rejections_schedule_nothing(loop, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        Worker(*args, **kwargs)
    assert pending(loop) == []


def test_without_current_event_loop_fails_cleanly(shared):
    # no current loop in this thread: the scheduling step raises, nothing crashes
    import asyncio
    asyncio.set_event_loop(None)
    c_config, c_backend, _ = shared
    with pytest.raises(RuntimeError):
        Worker(1, c_config, c_backend, None, None, 1)


@pytest.mark.parametrize("module, name", [
    ("vantor.headers.wirelayouts", "createStreamMsg"),
    ("vantor.functions.lanemath", "verifyConfig"),
    ("vantor.functions.lanemath", "calculateCounts"),
])
def test_import_fails_when_a_native_function_is_missing(module, name):
    code = (f"import importlib; m = importlib.import_module({module!r}); del m._native_api[{name!r}]\n"
            "try:\n    import vantor.cluster.workers.lanecore\n"
            "except ImportError as e:\n    print('ImportError:', e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith(f"ImportError: {module} does not export native function {name}")

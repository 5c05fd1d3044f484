"""IV range from the configurations, IV curve binning, and the IV result wrappers."""
import builtins
import math

import pytest

from tests.test_hub_helpers import Configuration, Hub, Unit, f32, feed, make_hub, rec, settings


def sweep(hub, rank, points, timestamp=1.0, end=True):
    """Points (biasI, counts, monitorV) of one sweep, then optionally its end."""
    feed(hub, *(rec(rank=rank, status=2, biasI=b, counts=c, monitorV=m, timestamp=timestamp)
                for b, c, m in points))
    if end:
        feed(hub, rec(rank=rank, status=0, timestamp=timestamp))


def unit(rank, start, stop, **kw):
    return Unit(rank, Configuration(start, stop, **kw))


class TestMinMax:
    @pytest.mark.parametrize("ranges, expected", [
        ([(1e-6, 5e-6)], (f32(1e-6), f32(5e-6), 401)),
        ([(0.0, 5e-6)], (0.0, f32(5e-6), 501)),
        ([(-1e-6, -5e-6)], (f32(1e-6), f32(5e-6), 401)),
        ([(5e-6, 1e-6)], (f32(5e-6), f32(1e-6), -399)),
        ([(1e-6, 5e-6), (2e-6, 8e-6)], (f32(1e-6), f32(8e-6), 701)),
        ([(2e-6, 8e-6), (1e-6, 5e-6)], (f32(1e-6), f32(8e-6), 701)),
        ([(3e-6, 3e-6)], (f32(3e-6), f32(3e-6), 1)),
        ([(1e-6, 5e-6), (math.nan, math.nan)], (f32(1e-6), f32(5e-6), 401)),
    ])
    def test_range(self, ranges, expected):
        hub = Hub(settings(*(unit(i + 1, a, b) for i, (a, b) in enumerate(ranges))))
        got = hub.get_min_max()
        assert got == expected and type(got[2]) is int

    def test_steps_round_ties_to_even(self):
        # 2.5e-8 is not a float32: the float64 product of its float32 is what rounds
        start = f32(2.5e-8) * 1e8
        hub = Hub(settings(unit(1, 0.0, 2.5e-8)))
        assert hub.get_min_max()[2] == round(start) + 1

    def test_polarity_is_tested_but_ignored(self):
        class Loud:
            def __bool__(self):
                raise ZeroDivisionError("truth")

        assert make_hub(unit(1, 1e-6, 5e-6, inverted=True)).get_min_max()[2] == 401
        hub = make_hub(1)
        hub.create_look_up(settings(unit(1, 1e-6, 5e-6, inverted=Loud())))
        with pytest.raises(ZeroDivisionError, match="truth"):
            hub.get_min_max()

    @pytest.mark.parametrize("start, stop, error, message", [
        (math.nan, 5e-6, ValueError, "^cannot convert float NaN to integer$"),
        (1e-6, math.inf, OverflowError, "^cannot convert float infinity to integer$"),
        (1e-6, 1e39, OverflowError, "^cannot convert float infinity to integer$"),
        (0.0, 1e30, OverflowError, "^value too large to convert to int$"),
        ("1", 5e-6, TypeError, "abs"),
    ])
    def test_failures(self, start, stop, error, message):
        with pytest.raises(error, match=message):
            make_hub(unit(1, start, stop))

    def test_missing_configuration_parts(self):
        hub = make_hub(1)
        hub.create_look_up(settings(Unit(2, object())))
        with pytest.raises(AttributeError):
            hub.get_min_max()
        with pytest.raises(AttributeError):
            hub.get_biasSweepTs()

    def test_sweep_times_unchanged(self):
        marker = object()
        hub = make_hub(unit(1, 0, 0, sweep_t=marker), unit(2, 0, 0, sweep_t="x"))
        ts = hub.get_biasSweepTs()
        assert ts[0] is marker and ts[1] == "x"
        assert hub.get_biasSweepTs() is not ts


class TestBinning:
    def test_worked_example(self):
        hub = make_hub(1)
        sweep(hub, 1, [(0.0, 5, 0.5), (1.0e-8, 6, 0.6), (1.4e-8, 7, 0.7), (3e-8, 8, 0.8)])
        iv = hub.get_iv(0.0, 3e-8, 4)
        assert list(iv) == ["running", "counts", "monitorV", "biasSweepTs", "timestamp_started"]
        assert iv["counts"]["biasI"] == [0.0, 1e-08, 2e-08, 3.0000000000000004e-08]
        assert iv["monitorV"]["biasI"] is iv["counts"]["biasI"]
        assert iv["counts"][1] == [5, 7, None, 8]
        assert iv["monitorV"][1] == [f32(0.5), f32(0.7), None, f32(0.8)]
        assert iv["running"] is False and iv["biasSweepTs"] == [10] and iv["timestamp_started"] == 1.0

    def test_grid_from_float32_start(self):
        grid = make_hub().get_iv(1e-6, 0.0, 3)["counts"]["biasI"]
        assert grid == [f32(1e-6) + float(k) * 1e-8 for k in range(3)]

    def test_halves_round_away_from_zero(self):
        hub = make_hub(1)
        sweep(hub, 1, [(f32(0.5e-8), 1, 0.0), (f32(2.5e-8), 3, 0.0)])
        assert hub.get_iv(0.0, 1e-7, 5)["counts"][1] == [None, 1, None, 3, None]

    def test_bias_is_stored_as_magnitude(self):
        hub = make_hub(1)
        sweep(hub, 1, [(-2e-6, 9, 0.0)])
        assert hub.get_iv(f32(2e-6), f32(2e-6), 1)["counts"][1] == [9]

    def test_outside_grid(self, capsys):
        hub = make_hub(1)
        sweep(hub, 1, [(4e-8, 1, 0.0)])
        assert hub.get_iv(0.0, 3e-8, 4)["counts"][1] == [None] * 4
        assert capsys.readouterr().out == ""
        iv = hub.get_iv(0.0, 5e-8, 4)
        assert iv["counts"][1] == iv["monitorV"][1] == [None] * 4
        assert capsys.readouterr().out == "Index error ch 0 index 4\n"

    def test_empty_grid_reports_every_point(self, capsys):
        hub = make_hub(1, 2)
        sweep(hub, 2, [(0.0, 1, 0.0), (1e-8, 2, 0.0)])
        iv = hub.get_iv(0.0, 1e-6, 0)
        assert iv["counts"] == {"biasI": [], 1: [], 2: []}
        assert capsys.readouterr().out == "Index error ch 1 index 0\nIndex error ch 1 index 1\n"

    def test_negative_steps_give_empty_lists(self):
        iv = make_hub(1).get_iv(0.0, 1e-6, -399)
        assert iv["counts"] == iv["monitorV"] == {"biasI": [], 1: []}

    def test_nan_current_is_kept_and_reported(self, monkeypatch):
        printed = []
        monkeypatch.setattr(builtins, "print", lambda *a: printed.append(a))
        hub = make_hub(1)
        sweep(hub, 1, [(math.nan, 1, 0.0)], end=False)
        hub.get_iv(0.0, 1e-6, 10)
        assert printed == [("Index error ch", 0, "index", -2147483648)]

    def test_print_failure_propagates(self, monkeypatch):
        def broken(*a):
            raise OSError("stdout closed")

        hub = make_hub(1)
        sweep(hub, 1, [(1e-6, 1, 0.0)])
        monkeypatch.setattr(builtins, "print", broken)
        with pytest.raises(OSError, match="stdout closed"):
            hub.get_iv(0.0, 1e-5, 2)

    def test_print_feeding_the_hub_is_safe(self, monkeypatch):
        hub = make_hub(1)
        sweep(hub, 1, [(1e-6, n, 0.0) for n in range(50)] + [(0.0, 7, 0.0)])
        # each report starts a new sweep, which empties this channel's points
        monkeypatch.setattr(builtins, "print", lambda *a: feed(
            hub, rec(rank=1, status=0), rec(rank=1, status=2, biasI=1e-6)))
        assert hub.get_iv(0.0, 1e-5, 2)["counts"][1] == [None, None]

    @pytest.mark.parametrize("args, error", [
        (("a", 0.0, 1), TypeError), ((0.0, None, 1), TypeError), ((0.0, 0.0, 1.0), TypeError),
        ((0.0, 0.0, 2**70), OverflowError),
    ])
    def test_argument_conversion(self, args, error):
        with pytest.raises(error):
            make_hub(1).get_iv(*args)

    def test_keywords(self):
        hub = make_hub(1)
        assert hub.get_iv(steps=2, stop=1.0, start=0.0)["counts"][1] == [None, None]


class TestResults:
    def test_get_iv_data_while_running_and_after(self):
        hub = make_hub(unit(1, 0.0, 3e-8), unit(2, 0.0, 3e-8))
        sweep(hub, 1, [(1e-8, 4, 0.0)], timestamp=3.0, end=False)
        live = hub.get_iv_data()
        assert live["running"] is True and live["counts"][1] == [None, 4, None, None]
        assert live["timestamp_started"] == 3.0 and hub.get_iv_data() is not live
        feed(hub, rec(rank=1, timestamp=4.0))
        (sent,) = hub.hooks("streamIvData")
        assert hub.get_iv_data() is sent and sent["running"] is False and sent["counts"][1][1] == 4

    def test_points_stay_until_the_next_sweep(self):
        hub = make_hub(unit(1, 0.0, 3e-8))
        sweep(hub, 1, [(1e-8, 4, 0.0)])
        assert hub.gen_iv_data()["counts"][1] == [None, 4, None, None]
        sweep(hub, 1, [(2e-8, 5, 0.0)])
        assert hub.gen_iv_data()["counts"][1] == [None, None, 5, None]

    def test_missing_timestamp_started(self):
        class Hollow(Hub):
            def gen_iv_data(self):
                return {}

        hub = Hollow(settings(1))
        sweep(hub, 1, [(1e-8, 4, 0.0)])
        with pytest.raises(KeyError, match="timestamp_started"):
            hub.get_iv(0.0, 1e-7, 2)


class TestOverridesReachedInternally:
    def test_get_min_max_drives_gen_iv_data(self):
        class Narrow(Hub):
            def get_min_max(self):
                return (0.0, 1e-8, 2)

        hub = Narrow(settings(1))
        assert hub.gen_iv_data()["counts"]["biasI"] == [0.0, 1e-8]
        sweep(hub, 1, [(0.0, 1, 0.0)])
        assert hub.hooks("resetIvFrontend") == [(0.0, f32(1e-8), 2)]

    def test_get_iv_receives_converted_range(self):
        seen = []

        class Spy(Hub):
            def get_iv(self, start, stop, steps):
                seen.append((start, stop, steps))
                return super().get_iv(start, stop, steps)

        hub = Spy(settings(1))
        hub.gen_iv_data()
        sweep(hub, 1, [(1e-6, 1, 0.0)])
        assert seen == [(f32(1e-6), f32(5e-6), 401)] * 2

    def test_gen_iv_data_override_ends_a_sweep(self):
        class Fixed(Hub):
            def gen_iv_data(self):
                return {"mine": True}

        hub = Fixed(settings(1))
        sweep(hub, 1, [(1e-6, 1, 0.0)], end=False)
        assert hub.get_iv_data() == {"mine": True}  # running: through the override
        feed(hub, rec(rank=1))
        assert hub.hooks("streamIvData") == [{"mine": True}] and hub.get_iv_data() is hub.hooks("streamIvData")[0]

    def test_get_biasSweepTs_override_fills_result(self):
        class Times(Hub):
            def get_biasSweepTs(self):
                return ["t"]

        assert Times(settings(1)).get_iv(0.0, 0.0, 1)["biasSweepTs"] == ["t"]

    def test_instance_attribute_overrides_too(self):
        hub = make_hub(1)
        hub.get_min_max = lambda: (0.0, 0.0, 3)
        assert len(hub.gen_iv_data()["counts"]["biasI"]) == 3

    @pytest.mark.parametrize("name, value, expected", [
        ("get_min_max", [0.0, 0.0, 1], "tuple"), ("get_iv", [], "dict"), ("get_biasSweepTs", (), "list"),
        ("gen_iv_data", 5, "dict"),
    ])
    def test_wrong_result_type(self, name, value, expected):
        hub = make_hub(1)
        sweep(hub, 1, [(1e-6, 1, 0.0)], end=False)
        setattr(hub, name, lambda *a: value)
        call = hub.get_iv_data if name == "gen_iv_data" else hub.gen_iv_data
        with pytest.raises(TypeError, match=rf"^Expected {expected}, got {type(value).__name__}$"):
            call()

    def test_none_result_passes_through(self):
        class Empty(Hub):
            def gen_iv_data(self):
                return None

        hub = Empty(settings(1, 2))
        sweep(hub, 1, [(1e-6, 1, 0.0)])
        assert hub.hooks("streamIvData") == [None] and hub.get_iv_data() is None
        with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
            feed(hub, rec(rank=2, status=2))
        with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
            hub.create_look_up(settings(3))

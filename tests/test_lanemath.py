"""Conversion factors, settings verification and count scaling, called through
the capsules that the worker binds."""
import ctypes
import math

import pytest

from tests.native import CuConfig, CuMessage, native_function
from tests.wire import f32, pack
from vantor.functions import lanemath

F = ctypes.c_float
c2v = native_function(lanemath, "currentToVoltageMultiplier", F, F, F, F, F)
v2c = native_function(lanemath, "voltageToCurrentMultiplier", F, F, F, F, F)
verify = native_function(lanemath, "verifyConfig", ctypes.c_int, CuMessage, ctypes.POINTER(CuConfig), F)
counts = native_function(lanemath, "calculateCounts", ctypes.c_uint32, ctypes.c_uint64, ctypes.c_uint32,
                         ctypes.c_uint32)


class TestMultipliers:
    @pytest.mark.parametrize("rc, rp, rs, rb, expected", [
        (10, 0, 5, 20, 30.0),        # no parallel resistor: rc + rb
        (10, -1, 5, 20, 30.0),
        (10, 100, 5, 20, 36.5),      # rc + rb + rs/rp * (rb + rc + rp)
    ])
    def test_current_to_voltage(self, rc, rp, rs, rb, expected):
        assert c2v(rc, rp, rs, rb) == expected

    def test_current_to_voltage_keeps_binary32_order(self):
        rc, rp, rs, rb = f32(0.1), f32(3.3), f32(0.7), f32(1.9)
        q = f32(rs / rp)
        s = f32(f32(rb + rc) + rp)
        t = f32(rb + f32(q * s))
        assert c2v(rc, rp, rs, rb) == f32(rc + t)

    def test_nan_parallel_resistor_takes_the_parallel_formula(self):
        assert math.isnan(c2v(10, float("nan"), 5, 20))

    @pytest.mark.parametrize("rc, rp, rs, rb, expected", [
        (10, 0, 5, 20, f32(1 / f32(35))),
        (10, 100, 5, 20, f32(100 / f32(3175))),
        (0, 0, 0, 0, 0.0),
        (0, 5, 0, 0, 0.0),           # r_sum 0 wins over the parallel branch
    ])
    def test_voltage_to_current(self, rc, rp, rs, rb, expected):
        assert v2c(rc, rp, rs, rb) == expected

    def test_voltage_to_current_zero_denominator(self):
        # rc=-1, rb=0, rs=2: r_sum = 1; d = (-1)(2) + 2(1) = 0
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            v2c(-1, 2, 2, 0)

    def test_multipliers_are_not_reciprocals(self):
        assert c2v(10, 100, 5, 20) * v2c(10, 100, 5, 20) != 1.0


def message(**kw):
    return CuMessage.from_buffer_copy(pack("cu_message", **kw))


def config(**kw):
    return CuConfig.from_buffer_copy(pack("cu_config", **kw))


MATCHING_CONFIG = dict(cuStatus=0, prescale=3, pgaGain=4, triggerV=0.5, biasI=2.0, latchV=0.25,
                       latchFLow=1.5, latchFHigh=2.5, unlatchT=7, biasIStart=1.0, biasIStop=4.0,
                       biasIStep=0.5, biasSweepT=100)
C = 1.5


def echo(cfg, c=C, sign=1.0, **over):
    """The message a unit sends after applying the configuration."""
    m = dict(cuStatus=cfg["cuStatus"], prescale=cfg["prescale"], pgaGain=cfg["pgaGain"],
             triggerV=cfg["triggerV"], biasV=f32(f32(cfg["biasI"] * c) * sign), latchV=cfg["latchV"],
             latchFLow=cfg["latchFLow"], latchFHigh=cfg["latchFHigh"], unlatchT=cfg["unlatchT"],
             biasVStart=f32(f32(cfg["biasIStart"] * c) * sign), biasVStop=f32(f32(cfg["biasIStop"] * c) * sign),
             biasVStep=f32(f32(c * cfg["biasIStep"]) * sign), biasSweepT=cfg["biasSweepT"],
             sequence=9, counts=11, monitorV=0.3, mcuId=200, cuId=201, cuError=5)
    m.update(over)
    return m


class TestVerifyConfig:
    def test_exact_echo_verifies(self):
        assert verify(message(**echo(MATCHING_CONFIG)), config(**MATCHING_CONFIG), C) == 1

    @pytest.mark.parametrize("field, value", [
        ("prescale", 2), ("pgaGain", 5), ("triggerV", 0.5000001), ("biasV", 3.0000002),
        ("latchV", 0.0), ("latchFLow", 1.0), ("latchFHigh", 2.0), ("unlatchT", 8),
        ("biasVStart", 1.0), ("biasVStop", 1.0), ("biasVStep", 1.0), ("biasSweepT", 99),
        ("cuStatus", 2), ("triggerV", float("nan")),
    ])
    def test_any_differing_setting_fails(self, field, value):
        assert verify(message(**echo(MATCHING_CONFIG, **{field: value})), config(**MATCHING_CONFIG), C) == 0

    def test_ignored_fields(self):
        msg = echo(MATCHING_CONFIG, mcuId=1, cuId=2, cuError=3, sequence=4, counts=5, monitorV=6.0)
        cfg = dict(MATCHING_CONFIG, powered=1, resistorCryo=9.0, resistorBias=8.0)
        assert verify(message(**msg), config(**cfg), C) == 1

    def test_status_one_skips_bias_voltage_and_status(self):
        msg = echo(MATCHING_CONFIG, cuStatus=1, biasV=123.0)
        assert verify(message(**msg), config(**dict(MATCHING_CONFIG, cuStatus=2)), C) == 1

    @pytest.mark.parametrize("reported, expected", [(2, 1), (10, 1), (0, 0), (3, 0)])
    def test_configured_status_ten(self, reported, expected):
        cfg = dict(MATCHING_CONFIG, cuStatus=10)
        assert verify(message(**echo(cfg, cuStatus=reported)), config(**cfg), C) == expected

    def test_inverted_polarity(self):
        cfg = dict(MATCHING_CONFIG, inverted=1)
        assert verify(message(**echo(cfg, sign=-1.0)), config(**cfg), C) == 1
        assert verify(message(**echo(cfg, sign=1.0)), config(**cfg), C) == 0
        assert echo(cfg, sign=-1.0)["biasV"] == -3.0

    def test_inverted_byte_two_is_normal_polarity(self):
        cfg = dict(MATCHING_CONFIG, inverted=2)
        assert verify(message(**echo(cfg)), config(**cfg), C) == 1

    def test_negative_zero_matches_zero(self):
        cfg = dict(MATCHING_CONFIG, triggerV=0.0)
        assert verify(message(**echo(cfg, triggerV=-0.0)), config(**cfg), C) == 1


class TestCalculateCounts:
    @pytest.mark.parametrize("total, n, size, expected", [
        (1000, 25, 100, 4000),
        (1000, 26, 100, 3000),
        (600, 60, 100, 600),          # factor 1: passed on unscaled
        (600, 101, 100, 0),           # factor 0
        (2**32 + 7, 1, 1, 7),         # modulo 2**32
        (2**63, 2, 4, 0),
    ])
    def test_scaling(self, total, n, size, expected):
        assert counts(total, n, size) == expected

    def test_no_messages_raises(self):
        with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
            counts(5, 0, 100)

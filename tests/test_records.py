"""The stream record builder, byte for byte against an independent struct layout."""
import ctypes
import struct

import pytest

from tests.native import StreamData, native_function
from tests.wire import pack
from vantor.headers import wirelayouts

U8, U32, F, D = ctypes.c_uint8, ctypes.c_uint32, ctypes.c_float, ctypes.c_double
create = native_function(wirelayouts, "createStreamMsg", StreamData, U8, U8, U8, U8, D, U32, U32, F, F, U32)


def test_worked_example():
    # argument order differs from field order: timestamp fifth, rank last
    rec = bytes(create(1, 2, 0, 1, 12.5, 300, 100, 0.25, 0.0, 3))
    assert rec == (bytes([1, 2, 0, 1]) + struct.pack("<ff", 0.25, 0.0) + struct.pack("<III", 300, 100, 3)
                   + struct.pack("<d", 12.5))
    assert len(rec) == 32


@pytest.mark.parametrize("args", [
    (255, 254, 200, 2, -1.5e300, 4294967295, 1, -0.0, float("inf"), 4294967295),
    (0, 0, 100, 0, 0.0, 0, 0, 0.0, 0.0, 0),
    (7, 9, 2, 1, 1.7e9, 123456, 100, 1.0e-3, -2.5e-6, 64),
])
def test_every_field_lands_at_its_offset(args):
    mcu, cu, status, inv, ts, cnt, size, mon, bias, rank = args
    expected = pack("stream_data", mcuId=mcu, cuId=cu, cuStatus=status, inverted=inv, monitorV=mon,
                    biasI=bias, counts=cnt, intSize=size, rank=rank, timestamp=ts)
    assert bytes(create(*args)) == expected


def test_module_publishes_only_through_its_table():
    assert not hasattr(wirelayouts, "createStreamMsg")
    assert list(wirelayouts._native_api) == ["createStreamMsg"]

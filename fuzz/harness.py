"""What every fuzz target shares: the import path, the exception raised on
purpose by hostile host objects, structured draws from the fuzzer's bytes, and
the entry point that hands a target to libFuzzer."""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.append(ROOT)  # tests.wire: record layouts written independently of the modules

import atheris  # noqa: E402


class HostError(Exception):
    """Raised by a fuzzed hook, lock or socket; must come out of the operation unchanged."""


class Draw:
    """Structured values from the fuzzer's bytes; an exhausted input yields zeros."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def remaining(self):
        return self.fdp.remaining_bytes()

    def bool(self):
        return self.fdp.ConsumeBool()

    def chance(self, one_in):
        """True about once in `one_in` draws."""
        return self.fdp.ConsumeIntInRange(0, one_in - 1) == 0

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def u8(self):
        return self.fdp.ConsumeIntInRange(0, 255)

    def u32(self):
        return self.fdp.ConsumeIntInRange(0, 2**32 - 1)

    def pick(self, values):
        return self.fdp.PickValueInList(list(values))

    def float(self):
        """Any binary64, NaN and the infinities included, or a small plain value."""
        if self.bool():
            return self.fdp.ConsumeFloat()
        return float(self.fdp.ConsumeIntInRange(-64, 64)) / 4.0

    def f32(self):
        """Any binary32 (NaN, infinities and subnormals included), or a small plain value."""
        if self.bool():
            return struct.unpack("<f", self.fdp.ConsumeBytes(4).ljust(4, b"\0"))[0]
        return float(self.fdp.ConsumeIntInRange(-64, 64)) / 4.0

    def bytes(self, n):
        return self.fdp.ConsumeBytes(n)


def exact(error, allowed):
    """Re-raises `error` unless its exact type is one of `allowed`: a subclass
    (or anything else) reaching the host is a finding."""
    if type(error) not in allowed:
        raise error


def run(test_one_input):
    argv = list(sys.argv)
    # libFuzzer's merge runs argv[0] again in a shell: name the interpreter too.
    argv[0] = f"{sys.executable} {os.path.abspath(argv[0])}"
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()

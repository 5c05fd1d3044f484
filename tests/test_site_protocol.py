"""The site bus's window batches and subjects: a batch comes back as it was
sent, and any other bytes are refused with a ValueError, never more."""
import random

import numpy as np
import pytest

from vantor.host.readmodel import WINDOW_DTYPE
from vantor.site.protocol import (HEADER, check_node_name, command_subject, decode_windows, encode_windows,
                                  parse_subject, subject)


def rows(n):
    out = np.zeros(n, WINDOW_DTYPE)
    out["rank"] = np.arange(1, n + 1)
    out["counts"] = np.arange(n) * 7
    out["rate"] = np.where(np.arange(n) % 3, np.arange(n) * 700.0, np.nan)
    out["received"] = 100
    out["time"] = 1.8e9 + np.arange(n) * 0.01
    return out


@pytest.mark.parametrize("n", [0, 1, 1024])
def test_a_batch_comes_back_as_sent(n):
    sent = rows(n)
    node, when, got = decode_windows(encode_windows("cryo-2", 1.8e9 + 0.5, sent))
    assert (node, when, len(got)) == ("cryo-2", 1.8e9 + 0.5, n)
    assert got.tobytes() == sent.astype(got.dtype).tobytes()
    assert np.array_equal(got["rate"], sent["rate"], equal_nan=True)


def _forged(**fields):
    good = encode_windows("a", 1.0, rows(2))
    values = dict(zip(("magic", "version", "head", "time", "count", "size", "name"),
                      HEADER.unpack_from(good)), **fields)
    return HEADER.pack(*values.values()) + good[HEADER.size:]


@pytest.mark.parametrize("data, words", [
    (b"", "shorter than"),
    (b"XXXX" + encode_windows("a", 1.0, rows(1))[4:], "bad magic"),
    (_forged(version=2), "version 2"),
    (_forged(count=3), "for 3 rows"),
    (_forged(size=8), "rows of 8 bytes"),
    (encode_windows("a", 1.0, rows(2))[:-1], "bytes for 2 rows"),
    (encode_windows("a", 1.0, rows(1)).replace(b"\x01a", b"\x01.", 1), "node's name"),
])
def test_what_is_not_a_batch_is_refused_by_name(data, words):
    with pytest.raises(ValueError, match=words):
        decode_windows(data)


def test_random_bytes_are_refused_never_more():
    rng = random.Random(7)
    good = encode_windows("node1", 2.0, rows(3))
    for _ in range(2000):
        data = bytearray(good)
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        data = bytes(data[:rng.randint(0, len(data))]) if rng.random() < 0.3 else bytes(data)
        try:
            decode_windows(data)
        except ValueError:
            pass


@pytest.mark.parametrize("name", ["", "a.b", "a*", "x" * 65, "ü", 3])
def test_only_names_a_subject_can_carry_are_node_names(name):
    with pytest.raises(ValueError, match="node name"):
        check_node_name(name)


@pytest.mark.parametrize("text", ["vantor.a", "other.a.windows", "vantor.a*.windows", "vantor..x"])
def test_foreign_subjects_are_refused(text):
    with pytest.raises(ValueError, match="not a vantor subject"):
        parse_subject(text)


def test_subjects_round_trip_and_commands_are_known():
    assert parse_subject(command_subject("n-1", "settings")) == ("n-1", "cmd.settings")
    with pytest.raises(ValueError, match="expected one of"):
        command_subject("n", "reboot")

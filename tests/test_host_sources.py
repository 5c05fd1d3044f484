"""Who may speak for a board: fixed addresses facing hardware, a learned
address that one forged datagram cannot move, refused traffic counted with
the ids and addresses seen; the worker link over tcp closed to strangers."""
import pytest
import zmq

from vantor.host import secure
from vantor.host.settings import parse_settings
from vantor.host.sources import Admission, parse_address
from vantor.wire import CU_MESSAGE

BOARD = ("127.0.0.1", 40001)
FORGER = ("127.0.0.1", 40666)


def datagram(mcu, seq, cus=(0, 1), counts=7):
    return b"".join(CU_MESSAGE.pack(mcu, cu, 0, 0, 1, 4, seq, counts, *[0.0] * 6, 5,
                                    0.0, 0.0, 0.0, 10) for cu in cus)


def settings(address=None):
    mcu = {"mcuId": 3, "unit": [{"cuId": 0, "rank": 1}, {"cuId": 1, "rank": 2}]}
    if address:
        mcu["address"] = address
    return parse_settings({"mcu": [mcu]})


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def learned(confirm=4, quiet=2.0):
    clock = Clock()
    events = []
    gate = Admission(settings(), confirm=confirm, quiet=quiet, clock=clock, on_event=events.append)
    return gate, clock, events


def feed(gate, addr, seqs, mcu=3, clock=None, step=0.01):
    out = []
    for s in seqs:
        out += gate.admit(datagram(mcu, s), addr)
        if clock is not None:
            clock.now += step
    return out


class TestLearned:
    def test_a_board_is_confirmed_by_datagrams_in_sequence_and_loses_none(self):
        gate, clock, events = learned()
        assert feed(gate, BOARD, [10, 11, 12]) == []
        passed = feed(gate, BOARD, [13, 14])
        assert [int.from_bytes(d[8:12], "little") for d in passed] == [10, 11, 12, 13, 14]
        assert gate.update_address(3) == BOARD
        assert events[0]["old"] is None and events[0]["new"] == "127.0.0.1:40001"
        assert gate.totals()["foreign"] == 0

    def test_one_forged_datagram_before_the_board_speaks_claims_nothing(self):
        gate, clock, _ = learned()
        assert gate.admit(datagram(3, 9, counts=10_000_000), FORGER) == []
        passed = feed(gate, BOARD, range(10, 14))
        assert all(int.from_bytes(d[12:16], "little") == 7 for d in passed) and len(passed) == 4
        assert gate.update_address(3) == BOARD
        assert gate.report()["foreign"]["seen"] == {"127.0.0.1:40666": 1}

    def test_a_talking_board_is_not_taken_over_even_by_a_sequence(self):
        gate, clock, _ = learned()
        feed(gate, BOARD, range(10, 14), clock=clock)
        for s in range(14, 40):       # the forger imitates a board while the real one talks
            assert gate.admit(datagram(3, 1000 + s), FORGER) == []
            assert gate.admit(datagram(3, s), BOARD)
            clock.now += 0.01
        assert gate.update_address(3) == BOARD
        assert gate.totals()["foreign"] == 26

    def test_a_board_restarting_on_a_new_port_is_followed_after_its_silence(self):
        gate, clock, events = learned(quiet=2.0)
        feed(gate, BOARD, range(10, 14), clock=clock)
        moved = ("127.0.0.1", 40002)
        clock.now += 0.5
        assert feed(gate, moved, range(0, 8), clock=clock) == []   # old one silent only 0.5 s
        clock.now += 2.0
        passed = feed(gate, moved, range(8, 12), clock=clock)
        assert gate.update_address(3) == moved and passed
        assert events[-1]["old"] == "127.0.0.1:40001" and gate.board(3)["address_changes"] == 1

    def test_datagrams_out_of_sequence_do_not_confirm_a_source(self):
        gate, clock, _ = learned()
        for s in (5, 900, 17, 4000, 2, 70000, 9, 12):
            assert gate.admit(datagram(3, s), FORGER) == []
        assert gate.update_address(3) is None


class TestPinned:
    @pytest.mark.parametrize("address, hardware, updates_to", [
        ("127.0.0.1:5000", None, ("127.0.0.1", 5000)),
        ("localhost:5000", ("127.0.0.9", 9), ("127.0.0.1", 5000)),
        # boards behind the --hardware address: to the port each one sends from
        (None, ("127.0.0.1", 5000), ("127.0.0.1", 40001))])
    def test_traffic_only_from_the_configured_ip(self, address, hardware, updates_to):
        gate = Admission(settings(address), hardware=hardware)
        assert gate.update_address(3) == ("127.0.0.1", 5000)
        assert gate.admit(datagram(3, 1), ("127.0.0.1", 40001))      # any source port
        assert gate.admit(datagram(3, 2), ("127.0.0.2", 5000)) == []
        assert gate.update_address(3) == updates_to
        assert gate.admit(datagram(3, 3), ("::ffff:127.0.0.1", 40001, 0, 0))
        assert gate.report()["foreign"] == {"total": 1, "seen": {"127.0.0.2:5000": 1}}

    def test_bad_addresses_are_refused_naming_the_key(self):
        with pytest.raises(ValueError, match=r"mcu\[0\]\.address"):
            parse_address("nohost", "mcu[0].address")


def test_unknown_boards_units_and_mixed_datagrams_are_counted_with_their_ids():
    gate = Admission(settings(), hardware=("127.0.0.1", 5000))
    src = ("127.0.0.1", 1)
    assert gate.admit(datagram(9, 1), src) == []
    assert gate.admit(datagram(3, 2, cus=(7, 8)), src) == []       # only unknown units
    assert len(gate.admit(datagram(3, 3, cus=(0, 8)), src)) == 1   # known ones go on
    mixed = datagram(3, 4, cus=(0,)) + datagram(4, 4, cus=(0,))
    assert gate.admit(mixed, src) == []
    report = gate.report()
    assert report["unknown_boards"] == {"total": 1, "seen": {"9": 1}}
    assert report["unknown_units"] == {"total": 3, "seen": {"3.7": 1, "3.8": 2}}
    assert gate.totals()["mixed"] == 1


def test_sequences_count_only_admitted_traffic():
    """Unknown units with a wild sequence leave the board's counters alone."""
    gate = Admission(settings(), hardware=("127.0.0.1", 5000))
    src = ("127.0.0.1", 1)
    for s in range(1, 4):
        gate.admit(datagram(3, s), src)
    for _ in range(4):
        gate.admit(datagram(3, 0xFFFFFFFF, cus=(9,)), src)
        gate.admit(datagram(3, 0xFFFFFFFF), ("127.0.0.5", 1))
    for s in range(4, 8):
        gate.admit(datagram(3, s), src)
    b = gate.board(3)
    assert (b["dropped"], b["late"], b["duplicated"], b["stray"]) == (0, 0, 0, 0)


class TestCurveLink:
    def test_only_the_runs_workers_get_through(self):
        ctx = zmq.Context()
        keys = secure.CurveKeys()
        try:
            pull = secure.serve(ctx.socket(zmq.PULL), keys)
            pull.bind(secure.check_loopback("tcp://127.0.0.1:*"))
            url = pull.getsockopt_string(zmq.LAST_ENDPOINT)
            strangers = [ctx.socket(zmq.PUSH)]
            other = secure.CurveKeys()     # a stranger with keys of its own
            strangers.append(secure.connect_as_client(ctx.socket(zmq.PUSH), other.client_job()))
            for s in strangers:
                s.connect(url)
                s.send(b"forged", zmq.NOBLOCK)   # queued at once: connect makes the pipe
            worker = secure.connect_as_client(ctx.socket(zmq.PUSH), keys.client_job())
            worker.connect(url)
            worker.send(b"genuine")
            assert pull.poll(5000)
            assert pull.recv() == b"genuine"
            assert not pull.poll(300)
        finally:
            ctx.destroy(linger=0)

    @pytest.mark.parametrize("url", ["tcp://0.0.0.0:*", "tcp://192.0.2.1:5555"])
    def test_tcp_off_loopback_is_refused(self, url):
        with pytest.raises(secure.LinkError, match="loopback only"):
            secure.check_loopback(url)


def test_a_flood_from_many_ports_does_not_keep_a_board_from_being_confirmed():
    gate, clock, _ = learned(confirm=4)
    passed = []
    for seq in range(10, 14):
        for i in range(50):          # one-off forgeries, each from a port of its own
            port = 41000 + 50 * (seq - 10) + i
            gate.admit(datagram(3, 7 * port), ("127.0.0.1", port))
        passed += gate.admit(datagram(3, seq), BOARD)
    assert gate.update_address(3) == BOARD and len(passed) == 4

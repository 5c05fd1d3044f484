"""Host pieces on their own: sequence bookkeeping, shared block, datagram
classification, update routing, live view and command-line parsing."""
import asyncio
import ctypes
import os

import pytest

from tests.wire import pack, unpack
from vantor import cli
from vantor.host.app import Host
from vantor.host.settings import default_settings
from vantor.host.shared import SLOT, SharedBlock
from vantor.host.view import LiveView, render


class TestSharedBlock:
    def test_slots_hold_the_records_at_their_addresses(self):
        settings = default_settings(1, 3, buffSize=77)
        block = SharedBlock(3)
        name = block.name
        try:
            for cu in settings.units():
                block.write_config(cu.rank - 1, cu.configuration)
            block.write_buff_size(77)
            addresses = [block.config_pair(i)[0] for i in range(3)]
            assert [b - a for a, b in zip(addresses, addresses[1:])] == [SLOT, SLOT]
            raw = ctypes.string_at(addresses[2], 64)
            assert unpack("cu_config", raw) == settings.unit(0, 2).configuration.as_dict()
            backend_addr, lock = block.backend_pair()
            assert backend_addr == addresses[0] + 3 * SLOT and lock is block.backend_lock
            assert unpack("C_Backend", ctypes.string_at(backend_addr, 8)) == {
                "buffSize": 77, "TIMESTAMP": 0.0}
            assert block.config_pair(1)[1] is not block.config_pair(0)[1]
        finally:
            block.close()
        assert not os.path.exists(f"/dev/shm/{name}")

    def test_attached_view_shares_bytes_and_does_not_unlink(self):
        block = SharedBlock(2)
        name = block.name
        try:
            other = SharedBlock(2, name=name, create=False)
            block.write_buff_size(5)
            assert other.read_backend()["buffSize"] == 5
            other.close()
            assert os.path.exists(f"/dev/shm/{name}")
        finally:
            block.close()
        assert not os.path.exists(f"/dev/shm/{name}")

    def test_close_twice_is_harmless(self):
        block = SharedBlock(1)
        block.close()
        block.close()


def cu_datagram(mcu, cus, seq):
    return b"".join(pack("cu_message", mcuId=mcu, cuId=c, sequence=seq) for c in cus)


class TestEndpoint:
    def scenario(self, datagrams, **host_kw):
        async def run():
            host = await Host(default_settings(2, 2), **host_kw).start()
            loop = asyncio.get_running_loop()
            tx, _ = await loop.create_datagram_endpoint(asyncio.DatagramProtocol,
                                                        local_addr=("127.0.0.1", 0))
            for d in datagrams:
                tx.sendto(d, host.address)
            await asyncio.sleep(0.2)
            mine = tx.get_extra_info("sockname")
            tx.close()
            stats, totals = host._stats, host.totals()
            addresses = {m: host._path.admission.update_address(m) for m in (0, 1)}
            await host.stop()
            return stats, addresses, mine, totals
        return asyncio.run(run())

    def test_datagrams_are_told_apart_by_length(self):
        status = pack("mcu_message", mcuId=1, pllLock=1, temp1=3.0, temp2=4.0)
        stats, addresses, mine, _ = self.scenario([
            status, cu_datagram(0, [0, 1], 1), cu_datagram(1, [0], 1), b"x" * 59,
            b"y" * 13, cu_datagram(0, [0, 1], 2) + b"z"])
        assert stats.status_in == 1 and stats.mcus[1].temp1 == 3.0 and stats.mcus[1].pll == 1
        assert stats.datagrams == 2 and stats.malformed == 3
        # one datagram makes no sender a board's address
        assert addresses == {0: None, 1: None}

    def test_a_board_is_learned_from_datagrams_in_sequence(self):
        _, addresses, mine, _ = self.scenario([cu_datagram(0, [0, 1], s) for s in range(1, 10)])
        assert addresses == {0: mine, 1: None}

    def test_unknown_units_and_boards_are_counted(self):
        stats, _, _, totals = self.scenario(
            [cu_datagram(0, [0, 1, 9], s) for s in range(1, 11)]
            + [cu_datagram(7, [0], 5), pack("mcu_message", mcuId=7)])
        assert totals["unknown_mcu"] == 2 and stats.errors == 0
        assert totals["refused"]["unknown_boards"]["seen"] == {"7": 2}
        assert totals["refused"]["unknown_units"]["seen"] == {"0.9": 10}
        assert stats.missing >= 3


class TestUpdateRouting:
    def run(self, frames_list, **host_kw):
        import zmq

        async def run():
            host = await Host(default_settings(1, 2), **host_kw).start()
            loop = asyncio.get_running_loop()
            got = []

            class Sink(asyncio.DatagramProtocol):
                def datagram_received(self, data, addr):
                    got.append(data)

            board, _ = await loop.create_datagram_endpoint(Sink, local_addr=("127.0.0.1", 0))
            if host_kw.get("hardware") is None:   # the board is learned from its traffic
                for seq in range(1, 10):
                    board.sendto(cu_datagram(0, [0, 1], seq), host.address)
                await asyncio.sleep(0.1)
            url = host._path.update_in.getsockopt_string(zmq.LAST_ENDPOINT)
            push = host._path.ctx.socket(zmq.PUSH)
            push.connect(url)
            for frames in frames_list:
                push.send_multipart(frames)
            await asyncio.sleep(0.2)
            push.close(linger=0)
            board.close()
            stats = host._stats
            stats.unit_updates = [u["updates"] for u in host.snapshot()["units"]]
            await host.stop()
            return stats, got
        return asyncio.run(run())

    def test_update_goes_to_the_boards_address(self):
        rec = pack("cu_update_message", mcuId=0, cuId=1, biasV=0.5)
        stats, got = self.run([[b"cu_udp_broker", b"cu_update", rec + b"extra"],
                               [b"cu_udp_broker", b"cu_update"], [b"cu_udp_broker", b"x", rec],
                               [b"cu_udp_broker", b"cu_update", rec[:47]]])
        # after the workers' own corrections of the board's (all-zero) echo
        assert got[-1] == rec and got.count(rec) == 1
        assert stats.updates_sent == len(got) and stats.unit_updates[1] >= 1
        assert stats.malformed == 3

    def test_unheard_board_without_fallback_is_undeliverable(self):
        async def run():
            host = await Host(default_settings(1, 1)).start()
            host._path.send_update(pack("cu_update_message", mcuId=0, cuId=0))
            stats = host._stats
            await host.stop()
            return stats
        stats = asyncio.run(run())
        assert stats.updates_undeliverable == 1 and stats.updates_sent == 0


class TestView:
    def test_frame_shows_units_boards_and_totals(self):
        async def run():
            host = await Host(default_settings(2, 2)).start()
            host._model.stream(pack("stream_data", cuStatus=0, counts=500, intSize=100,
                                    monitorV=0.25, rank=3, mcuId=1, cuId=0)
                               + pack("stream_data", cuStatus=100, rank=4, mcuId=1, cuId=1))
            text = LiveView(host, "test").frame()
            await host.stop()
            return text
        text = asyncio.run(run())
        lines = text.splitlines()
        row3 = next(l for l in lines if l.split()[:2] == ["3", "1.0"])
        assert row3.split()[2:5] == ["ok", "500.0", "0.25000"]
        row4 = next(l for l in lines if l.split()[:2] == ["4", "1.1"])
        assert row4.split()[2] == "silent" and row4.split()[-2] == "1"
        assert sum(l.startswith("mcu ") for l in lines) == 2
        assert any(l.startswith("records in") for l in lines)

    def test_many_units_are_summarised(self):
        async def run():
            host = await Host(default_settings(10, 10)).start()
            text = render(host.snapshot())
            await host.stop()
            return text
        assert "... 36 more units" in asyncio.run(run())

    @pytest.mark.parametrize("mcus, units", [(2, 2), (4, 8), (64, 32)])
    def test_a_terminal_frame_fits_80_by_24_and_pages_through_every_unit(self, mcus, units):
        async def run():
            host = await Host(default_settings(mcus, units)).start()
            snap = host.snapshot()
            await host.stop()
            return snap
        snap = asyncio.run(run())
        seen, page = set(), 0
        while len(seen) < mcus * units and page < 1000:
            lines = render(snap, "title " * 30, height=24, page=page, width=80).splitlines()
            assert len(lines) < 24 and max(map(len, lines)) <= 80
            seen.update(int(l.split()[0]) for l in lines if l[:5].strip().isdigit())
            page += 1
        assert seen == set(range(1, mcus * units + 1))
        boards = [l for l in lines if l.startswith("mcu ") or "boards: PLL" in l]
        assert len(boards) == (mcus if mcus <= 4 else 1)


class TestCommandLine:
    @pytest.mark.parametrize("text, expected", [
        ("127.0.0.1:5000", ("127.0.0.1", 5000)), (":7", ("127.0.0.1", 7)),
        ("::1:9", ("::1", 9))])
    def test_address(self, text, expected):
        assert cli.address(text) == expected

    @pytest.mark.parametrize("text", ["5000", "host:", "host:70000", "host:x"])
    def test_bad_address(self, text):
        with pytest.raises(Exception, match="HOST:PORT"):
            cli.address(text)

    @pytest.mark.parametrize("text, expected", [
        ("1.2", ((1, 2), (1, None))), ("1.2@1.5", ((1, 2), (151, None))),
        ("0.3@1-2", ((0, 3), (101, 201)))])
    def test_silence_option(self, text, expected):
        assert cli.silence_option(text) == expected

    def test_bad_settings_file_exits_with_the_key(self, tmp_path, capsys):
        path = tmp_path / "bad.toml"
        path.write_text("buffSize = 0\n")
        assert cli.main(["run", "--config", str(path), "--seconds", "1"]) == 2
        assert "buffSize: must not be 0" in capsys.readouterr().err

    def test_faults_from_options(self):
        args = cli.parser().parse_args(["sim", "--target", "127.0.0.1:1", "--drop", "0.5",
                                        "--wrong", "1.2", "--burst", "2:30", "--silence", "0.1@1"])
        f = cli.faults_from(args)
        assert (f.drop, f.wrong, f.burst, f.silence) == (0.5, {(1, 2)}, (201, 30),
                                                         {(0, 1): (101, None)})

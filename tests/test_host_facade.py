"""The host facade's pieces that readers rely on: bounded subscriptions that
never make the publisher wait, and settings files rewritten faithfully."""
import asyncio
import tomllib

import pytest

from vantor.host.bus import Bus
from vantor.host.settings import default_settings, load_settings
from vantor.service import settings_file


class TestBus:
    def test_a_full_subscriber_loses_its_own_items_only(self):
        async def scenario():
            bus = Bus()
            slow = bus.subscribe({"windows"}, maxsize=2)
            fast = bus.subscribe({"windows", "event"}, maxsize=100)
            for i in range(5):
                bus.publish("windows", bytes([i]))
            bus.publish("event", {"kind": "x"})
            got_slow = [slow.get_nowait() for _ in range(3)]
            got_fast = [await fast.get() for _ in range(6)]
            return slow.skipped, fast.skipped, got_slow, got_fast

        slow_skipped, fast_skipped, got_slow, got_fast = asyncio.run(scenario())
        assert slow_skipped == 3 and fast_skipped == 0
        assert got_slow == [("windows", b"\x00"), ("windows", b"\x01"), None]
        assert [k for k, _ in got_fast] == ["windows"] * 5 + ["event"]

    def test_close_ends_a_waiting_reader_and_stops_delivery(self):
        async def scenario():
            bus = Bus()
            sub = bus.subscribe({"event"})

            async def read():
                return [item async for item in sub]

            reader = asyncio.create_task(read())
            bus.publish("event", 1)
            await asyncio.sleep(0)
            bus.close()
            bus.publish("event", 2)
            return await asyncio.wait_for(reader, 1)

        assert asyncio.run(scenario()) == [("event", 1)]

    def test_a_reader_of_a_long_queue_gives_the_loop_turns(self, monkeypatch):
        from vantor.host import bus as bus_module
        monkeypatch.setattr(bus_module, "TURN_S", 0.0)

        async def scenario():
            bus = Bus()
            sub = bus.subscribe({"windows"}, maxsize=0)
            for i in range(50):
                bus.publish("windows", bytes([i]))
            turns = 0

            async def other():
                nonlocal turns
                while True:
                    turns += 1
                    await asyncio.sleep(0)

            task = asyncio.create_task(other())
            await asyncio.sleep(0)
            got = [await sub.get() for _ in range(50)]
            task.cancel()
            return turns, got

        turns, got = asyncio.run(scenario())
        assert [g[1][0] for g in got] == list(range(50)) and turns >= 40

    def test_every_unit_falling_silent_at_once_finds_room_in_a_small_subscription(self):
        from vantor.host.app import Host

        async def scenario():
            host = Host(default_settings(100, 60))         # 6000 units
            small = host.subscribe({"event"}, maxsize=100)
            unbounded = host.subscribe({"event"}, maxsize=0)
            for rank in range(1, 2 * len(host.units) + 1):
                host.publish_event({"kind": "silence", "rank": rank})
            return small.skipped, unbounded.skipped, unbounded.queue.qsize()

        # two events per unit fit the small one; an unbounded one stays unbounded
        assert asyncio.run(scenario()) == (0, 0, 12000)

    def test_unknown_kind_is_refused(self):
        with pytest.raises(ValueError, match="records"):
            Bus().subscribe({"records"})


class TestSettingsFile:
    def test_rewritten_file_loads_to_the_same_settings(self, tmp_path):
        doc = {"buffSize": 20, "timeout": 0.5,
               "unit": {"biasI": 1.5e-5, "resistorBias": 10000.0},
               "mcu": [{"mcuId": 0, "unit": [{"cuId": 0, "rank": 1, "inverted": 1},
                                             {"cuId": 3, "rank": 2}]},
                       {"mcuId": 7, "unit": [{"cuId": 1, "rank": 3, "powered": 0}]}]}
        settings_file.apply_changes(doc, [{"rank": 3, "field": "biasI", "new": 1.2345e-5}])
        path = tmp_path / "site.toml"
        assert settings_file.save(doc, path) is None
        assert tomllib.loads(path.read_text()) == doc
        again = load_settings(path)
        assert again.unit(7, 1).configuration.biasI == pytest.approx(1.2345e-5, rel=1e-7)
        assert again.unit(0, 0).configuration.inverted == 1

    def test_previous_version_is_kept(self, tmp_path):
        path = tmp_path / "site.toml"
        doc = default_settings(1, 1).doc
        settings_file.save(doc, path, now=0)
        first = path.read_text()
        doc["buffSize"] = 50
        backup = settings_file.save(doc, path, now=0)
        second = settings_file.save(doc, path, now=0)
        assert backup.read_text() == first and second != backup and second.exists()
        assert tomllib.loads(path.read_text())["buffSize"] == 50

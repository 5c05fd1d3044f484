"""The site's archive: a durable JetStream pull consumer on the VANTOR stream,
each fetched run of messages written to the Store in one batch and acked
(all at once: the consumer acks everything up to the last) only once the
store has it.  A site that was down starts where its consumer stopped; a
write that fails is tried again with the same messages, never skipped, and
messages a restart hands out twice are recognised by their stream sequence.

Units are keyed NODE-INDEX * KEY_STRIDE + RANK (names.site_key), the index
kept in the archive itself."""
import asyncio
import logging
import math
import time

import numpy as np

from vantor.history.layouts import row_dtype
from vantor.history.store import ArchiveError, Batch

from . import protocol
from .names import MAX_NODES, check_ranks, site_key
from .nodes import Malformed

log = logging.getLogger(__name__)
DURABLE = "vantor-site-archive"
FETCH = 256                  # messages per store write at most
ACK_WAIT_S = 120.0
RETRY_S = 1.0
SEQUENCE_MARK = "site_stream_sequence"     # the last stream sequence in the archive


async def ensure_stream(js, retention_h):
    """The VANTOR stream, created when missing, its retention following
    ours; returns what tells this stream from one made again under its name
    (its creation time: sequences start anew in a new one)."""
    from nats.js.api import StreamConfig
    from nats.js.errors import NotFoundError

    max_age = retention_h * 3600.0
    try:
        info = await js.stream_info(protocol.STREAM)
    except NotFoundError:
        info = await js.add_stream(StreamConfig(name=protocol.STREAM,
                                                subjects=protocol.stream_subjects(),
                                                max_age=max_age))
        return str(info.created or "")
    config = info.config
    if not config.max_age or abs(config.max_age - max_age) > 1:
        config.max_age = max_age
        await js.update_stream(config)
    return str(info.created or "")


async def ensure_consumer(js):
    from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

    await js.add_consumer(protocol.STREAM, ConsumerConfig(
        durable_name=DURABLE, ack_policy=AckPolicy.ALL, deliver_policy=DeliverPolicy.ALL,
        ack_wait=ACK_WAIT_S, max_ack_pending=-1, max_waiting=4))
    return await js.pull_subscribe_bind(DURABLE, protocol.STREAM)


def _text(value):
    return value if isinstance(value, str) else None


class SiteArchive:
    """`options` is the ArchiveOptions (block and retention of the store's
    maintenance)."""

    def __init__(self, store, options):
        self.store = store
        self.options = options
        self.malformed = Malformed("archive")
        self.indexes = {}            # node -> its index in the archive
        self.last_sequence = 0       # the newest stream sequence written
        self.stream = ""             # the stream's creation time (resume)
        self.pending = None          # stream messages not archived yet, as the bus says
        self.windows = 0
        self.batches = 0
        self.newest = {}             # node -> time of its newest archived window
        self.ok = True
        self.error = None
        self.cpu = 0.0
        self._unit_state = {}        # site key -> (status, set point)
        self._site_alarms = []
        self._next_compact = self._next_prune = 0.0

    def alarm(self, alarm):
        """One of the site's own alarm transitions, written with the next batch."""
        self._site_alarms.append(dict(alarm))

    def status(self):
        return {"ok": self.ok, "error": self.error, "windows": self.windows,
                "malformed": self.malformed.count,
                "batches": self.batches, "sequence": self.last_sequence,
                "pending": self.pending}

    def resume(self, stream):
        """Where the archive stopped in `stream` (ensure_stream's answer): the
        sequence written with its last batch, so messages a killed site wrote
        but had not acked are not written twice when they come again.  In a
        stream made anew, from its start."""
        self.stream = stream
        kept = self.store.mark(SEQUENCE_MARK) or ""
        made, _, sequence = kept.rpartition("/")
        self.last_sequence = int(sequence) if made == stream and sequence.isdigit() else 0
        return self.last_sequence

    async def run(self, subscription):
        import nats.errors

        while True:
            try:
                messages = await subscription.fetch(FETCH, timeout=1.0)
            except TimeoutError:         # nats-py's and asyncio's own: nothing came
                messages = []
            except nats.errors.Error as exc:
                log.debug("site archive: fetch: %s", exc)
                await asyncio.sleep(RETRY_S)
                continue
            except Exception:            # a fault of ours: said loudly, the archive kept going
                log.exception("site archive: fetch failed")
                await asyncio.sleep(RETRY_S)
                continue
            if not messages and not self._site_alarms:
                continue
            items = [(m.subject, m.data, m.metadata.sequence.stream) for m in messages]
            site_alarms, self._site_alarms = self._site_alarms, []
            batch = None
            while True:
                try:
                    if batch is None:
                        batch = await asyncio.to_thread(self._batch, items, site_alarms)
                    await asyncio.to_thread(self._write, *batch)
                    break
                except Exception as exc:      # the database's own failure: kept, tried again
                    if self.ok or str(exc) != self.error:
                        log.error("site archive: %s (trying again)", exc)
                    self.ok, self.error = False, str(exc)
                    await asyncio.sleep(RETRY_S)
            if not self.ok:
                log.info("site archive: writing again")
            self.ok, self.error = True, None
            if messages:
                await self._ack(messages[-1])

    async def _ack(self, message):
        try:
            await message.ack()
        except Exception as exc:     # the bus went away: the messages come again, and are skipped
            log.debug("site archive: ack: %s", exc)

    # -- on the writing thread ----------------------------------------------

    def _write(self, batch, newest, sequence, cpu):
        start = time.thread_time()
        self.store.write(batch)
        self.last_sequence = max(self.last_sequence, sequence)
        self.windows += len(batch.rows["unit"])
        self.batches += 1
        self.newest.update(newest)
        self._maintain()
        self.cpu += cpu + time.thread_time() - start

    def _batch(self, items, site_alarms):
        """(Batch, newest window time per node, last sequence, CPU seconds)."""
        start = time.thread_time()
        parts, states, settings, alarms, newest = [], [], [], [], {}
        sequence = self.last_sequence
        for subject, data, seq in items:
            if seq <= self.last_sequence:
                continue             # handed out again after a restart: written already
            sequence = max(sequence, seq)
            try:
                node, kind = protocol.parse_subject(subject)
                if kind == "windows":
                    sender, _, rows = protocol.decode_windows(data)
                    check_ranks(rows)
                    if sender != node:
                        raise ValueError(f"window batch from {sender!r} on {node}'s subject")
                    part = self._rows(node, rows)
                    parts.append(part)
                    if len(rows):
                        newest[node] = max(newest.get(node, 0.0), float(np.nanmax(rows["time"])))
                    continue
                message = protocol.decode_json(data)
                if kind == "state":
                    states += self._states(node, message)
                elif kind == "alarms":
                    alarms.append(self._alarm(node, message))
                elif kind == "events":
                    settings += self._settings(node, message)
            except (ValueError, KeyError, TypeError) as exc:
                self.malformed(subject, str(exc))
            except ArchiveError:
                raise                # the database's: the whole run is tried again
            except Exception:        # a fault of ours: said loudly, one message skipped
                self.malformed(subject, "not handled")
                log.exception("site archive: a message on %s was not handled", subject)
        alarms += site_alarms
        rows = np.concatenate(parts) if parts else np.zeros(0, row_dtype("unit"))
        return Batch(rows={"unit": rows}, states=states, settings=settings, alarms=alarms,
                     marks={SEQUENCE_MARK: f"{self.stream}/{sequence}"}), newest, sequence, \
            time.thread_time() - start

    def index(self, node):
        found = self.indexes.get(node)
        if found is None:
            try:
                found = self.store.node_index(node)
            except ArchiveError:
                raise
            except Exception as exc:     # SQLite's own errors: the database's, tried again
                raise ArchiveError(f"archive: node {node}'s number: {exc}") from None
            if found >= MAX_NODES:
                raise ValueError(f"node {node}: this archive holds at most {MAX_NODES} nodes")
            self.indexes[node] = found
        return found

    def _rows(self, node, recs):
        # silence records carry no measurement; the unit's status word records them
        recs = recs[np.isfinite(recs["rate"])]
        index = self.index(node)
        rows = np.empty(len(recs), dtype=row_dtype("unit"))
        rows["key"] = site_key(index, 0) + recs["rank"].astype(np.int64)
        rows["t"] = recs["time"]
        rows["rate"] = recs["rate"]
        rows["monitorV"] = recs["monitorV"]
        rows["cuStatus"] = recs["cuStatus"]
        rows["missing"] = recs["intSize"].astype(np.float64) - recs["received"]
        return rows

    def _states(self, node, message):
        when = message.get("time")
        units = message.get("units")
        if not isinstance(when, (int, float)) or not isinstance(units, list):
            raise ValueError("state: expected time and units")
        index, out = self.index(node), []
        for unit in units:
            rank = unit.get("rank") if isinstance(unit, dict) else None
            if not isinstance(rank, int) or not 0 < rank < 1_000_000:
                raise ValueError(f"state: a unit without a valid rank ({rank!r})")
            point = (unit.get("config") or {}).get("biasI")
            point = float(point) if isinstance(point, (int, float)) and math.isfinite(point) \
                else None
            state = (_text(unit.get("status")), point)
            key = site_key(index, rank)
            if self._unit_state.get(key) != state:
                self._unit_state[key] = state
                out.append((float(when), key) + state)
        return out

    def _alarm(self, node, message):
        alarm = message.get("alarm")
        if not isinstance(alarm, dict) or not isinstance(alarm.get("id"), str):
            raise ValueError("alarms: expected an alarm with an id")
        when = alarm.get("time", message.get("time"))
        if not isinstance(when, (int, float)):
            raise ValueError("alarms: no time")
        out = dict(alarm, node=node, id=f"{node}/{alarm['id']}", time=float(when),
                   transition=_text(message.get("transition")))
        for key in ("condition", "subject", "state", "message"):
            out[key] = _text(alarm.get(key))
        if out["subject"] is not None:
            out["subject"] = f"{node}/{out['subject']}"
        return out

    def _settings(self, node, message):
        event = message.get("event")
        if not isinstance(event, dict):
            raise ValueError("events: expected an event object")
        if event.get("kind") != "settings":
            return []
        when = event.get("time", message.get("time"))
        if not isinstance(when, (int, float)):
            raise ValueError("events: a settings event without a time")
        index, out = self.index(node), []
        for change in event.get("changes") or ():
            rank = change.get("rank") if isinstance(change, dict) else None
            if not isinstance(rank, int) or not 0 < rank < 1_000_000:
                raise ValueError("events: a settings change without a valid rank")
            label = _text(change.get("name"))
            out.append((float(when), _text(event.get("via")), site_key(index, rank),
                        f"{node}/{label}" if label else f"{node}/{rank}",
                        _text(change.get("field")), change.get("old"), change.get("new"),
                        event.get("actor")))
        return out

    def _maintain(self):
        now = time.time()
        if now >= self._next_compact:
            self._next_compact = now + min(60.0, self.options.block_minutes * 6)
            self.store.compact(now)
        if now >= self._next_prune:
            self._next_prune = now + self.options.prune_minutes * 60
            self.store.prune(now, self.options.full_seconds, self.options.aggregate_seconds)

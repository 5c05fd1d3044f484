"""What the site knows of each node, from the bus as it happens: the last
heartbeat, the units of the last state snapshot with their newest window,
the node's alarms, and whether it is lost (no heartbeat within its time-out:
an alarm of the site's own, cleared when the node is heard again)."""
import logging
import math
import time

import numpy as np

from .names import MAX_NODES, MAX_RANK, site_key, split_key
from .protocol import check_node_name

log = logging.getLogger(__name__)
# window columns a unit's answer takes from its newest window
WINDOW_COLUMNS = ("cuStatus", "monitorV", "counts", "intSize", "rate", "received")


def _number(value):
    value = value.item() if isinstance(value, np.generic) else value
    return None if isinstance(value, float) and not math.isfinite(value) else value


class Malformed:
    """Malformed messages: counted always, logged once per subject and kind
    of fault."""

    def __init__(self, path):
        self.path = path
        self.count = 0
        self._warned = set()

    def __call__(self, where, why):
        self.count += 1
        mark = (where, why[:40])
        if mark not in self._warned and len(self._warned) < 1000:
            self._warned.add(mark)
            log.warning("site %s: malformed message on %s: %s (counted in "
                        "vantor_site_malformed_total; not logged again)", self.path, where, why)


class Node:
    def __init__(self, name):
        self.name = name
        self.heartbeat = None          # the last heartbeat message
        self.heard = None              # monotonic time of the last heartbeat
        self.heard_wall = None
        self.units = {}                # rank -> unit answer of the last state message
        self.newest = None             # per rank (index) its newest window row
        self.has_window = None         # per rank: a window has come
        self.state_time = None
        self.parts = {}                # part -> units of a snapshot sent in parts
        self.lost = False
        self.alarms = {}               # id -> the node's alarm (as last transitioned)
        self.windows_seen = 0
        self.layout = 0                # counts changes of which units the node has

    def window_ranks(self):
        return set() if self.has_window is None else set(np.flatnonzero(self.has_window).tolist())

    def take(self, rows):
        """The newest window of each unit of a batch, kept in one array a
        batch at a time (thousands of units 10 times a second each)."""
        ranks = rows["rank"].astype(np.int64)
        top = int(ranks.max()) + 1
        if self.newest is None or top > len(self.newest):
            size = max(top, 2 * (0 if self.newest is None else len(self.newest)))
            grown = np.zeros(size, rows.dtype)
            seen = np.zeros(size, bool)
            if self.newest is not None:
                grown[:len(self.newest)] = self.newest
                seen[:len(self.has_window)] = self.has_window
            self.newest, self.has_window = grown, seen
        order = np.argsort(rows["time"], kind="stable")    # the newest written last
        self.newest[ranks[order]] = rows[order]
        if not self.has_window[ranks].all():
            self.layout += 1
        self.has_window[ranks] = True

    def labels(self):
        return {u.get("name"): rank for rank, u in self.units.items() if u.get("name")}

    def unit(self, rank):
        """The unit's answer at the site: the node's own, node-qualified, with
        its newest window."""
        base = dict(self.units.get(rank) or {"rank": rank})
        if self.has_window is not None and rank < len(self.has_window) \
                and self.has_window[rank]:
            row = self.newest[rank]
            base.update({column: _number(row[column]) for column in WINDOW_COLUMNS})
            base["window_time"] = _number(row["time"])
            base["complete"] = bool(row["received"] >= row["intSize"])
        label = base.get("name")
        base.update(node=self.name, rank=rank, unit=f"{self.name}/{rank}",
                    name=f"{self.name}/{label}" if label else f"{self.name}/{rank}")
        return base

    def described(self, now, timeout):
        beat = self.heartbeat or {}
        return {"node": self.name, "state": "lost" if self.lost else
                ("ok" if self.heard is not None else "unheard"),
                "last_heartbeat": self.heard_wall,
                "heartbeat_age": None if self.heard is None else round(now - self.heard, 3),
                "timeout_s": timeout, "units": len(self.units) or beat.get("units"),
                "http": beat.get("http"), "buffered": beat.get("buffered"),
                "dropped": beat.get("dropped"), "windows": self.windows_seen,
                "alarms": sum(a.get("state") == "active" for a in self.alarms.values())}


class NodeBoard:
    """Every node the site has heard of.  `timeout_s` is the heartbeat
    time-out; `on_alarm(alarm)` is called with each transition of the
    site's own alarms (a node lost or back)."""

    def __init__(self, timeout_s, on_alarm=None, clock=time.monotonic):
        self.timeout_s = timeout_s
        self.on_alarm = on_alarm
        self.clock = clock
        self.nodes = {}
        self.alarms = {}              # the site's own: id -> alarm
        self.lost_total = 0
        self.malformed_message = Malformed("live")
        # the dashboard's numbering: node n's rank r is n * KEY_STRIDE + r, n in
        # the order nodes were first heard (the page keys units by one number)
        self.numbers = {}

    def node(self, name):
        found = self.nodes.get(name)
        if found is None:
            if len(self.nodes) >= MAX_NODES:
                raise ValueError(f"node {name}: this site takes at most {MAX_NODES} nodes")
            found = self.nodes[name] = Node(check_node_name(name))
            self.numbers[name] = len(self.numbers) + 1
        return found

    def page_key(self, node, rank):
        return site_key(self.numbers[node], rank)

    def from_page_key(self, key):
        """"NODE/RANK" of a page key, or None when no node has that number."""
        number, rank = split_key(key)
        for name, n in self.numbers.items():
            if n == number:
                return f"{name}/{rank}"
        return None

    def page_units(self, keys=None):
        """Units as the page takes them: `rank` is the page key, the node's
        own rank is `node_rank`.  `keys`: only these (node, rank)."""
        out = []
        for name in sorted(self.nodes):
            node = self.nodes[name]
            ranks = sorted(set(node.units) | node.window_ranks())
            for rank in ranks:
                if keys is None or (name, rank) in keys:
                    unit = node.unit(rank)
                    unit.update(node_rank=rank, rank=self.page_key(name, rank),
                                last_seen=unit.get("window_time", unit.get("last_seen")))
                    out.append(unit)
        return out

    # -- what the bus brings ------------------------------------------------

    def heartbeat(self, name, message):
        node = self.node(name)
        node.heartbeat = message
        node.heard = self.clock()
        node.heard_wall = time.time()
        if node.lost:
            node.lost = False
            self._transition(node, "cleared", f"node {name} is heard again")

    def state(self, name, message):
        units = message.get("units")
        if not isinstance(units, list) or not all(
                isinstance(u, dict) and isinstance(u.get("rank"), int) for u in units):
            raise ValueError("state: expected units, a list of unit answers with a rank")
        if any(not 0 < u["rank"] <= MAX_RANK for u in units):
            raise ValueError(f"state: a unit's rank outside 1 to {MAX_RANK}")
        node = self.node(name)
        got = {u["rank"]: u for u in units}
        if not got.keys() <= node.units.keys():
            node.layout += 1
        parts, part = message.get("parts"), message.get("part")
        if not isinstance(parts, int) or parts <= 1:
            node.units = got
            node.state_time = message.get("time")
            return
        # a large snapshot comes in parts of one time: each is shown at once,
        # and the whole replaces the units once every part has come
        node.units.update(got)
        if node.state_time != message.get("time"):
            node.state_time, node.parts = message.get("time"), {}
        node.parts[part] = got
        if len(node.parts) == parts:
            node.units = {rank: u for p in node.parts.values() for rank, u in p.items()}

    def windows(self, name, rows):
        """Newest window of each unit of a decoded batch."""
        node = self.node(name)
        node.windows_seen += len(rows)
        if len(rows):
            node.take(rows)

    def node_alarm(self, name, message):
        alarm = message.get("alarm")
        if not isinstance(alarm, dict) or not isinstance(alarm.get("id"), str):
            raise ValueError("alarms: expected an alarm with an id")
        node = self.node(name)
        node.alarms[alarm["id"]] = dict(alarm, node=name,
                                        transition=message.get("transition"))

    def restore(self, transitions):
        """The alarms a site that stopped left standing, from its alarm log
        (newest first): a node lost then stays lost until it is heard, and a
        node's alarms stay shown until they transition again."""
        seen = set()
        for alarm in transitions:
            ident, name = alarm.get("id"), alarm.get("node")
            if not isinstance(ident, str) or not isinstance(name, str) or ident in seen:
                continue
            seen.add(ident)
            try:
                node = self.node(name)
            except ValueError:
                continue
            if ident == f"node-lost:{name}":
                if alarm.get("state") == "active":
                    node.lost = True
                    self.alarms[ident] = dict(alarm)
            elif ident.startswith(f"{name}/") and alarm.get("state") != "cleared":
                local = ident[len(name) + 1:]
                node.alarms.setdefault(local, dict(alarm, id=local))

    # -- time-outs ----------------------------------------------------------

    def check(self):
        """Marks nodes lost whose heartbeat stopped; call now and then."""
        now = self.clock()
        for node in self.nodes.values():
            if node.heard is not None and not node.lost and now - node.heard > self.timeout_s:
                node.lost = True
                self.lost_total += 1
                self._transition(node, "raised", f"node {node.name}: no heartbeat for "
                                                 f"{now - node.heard:.1f} s (time-out "
                                                 f"{self.timeout_s:g} s)")

    def _transition(self, node, transition, message):
        ident = f"node-lost:{node.name}"
        old = self.alarms.get(ident)
        alarm = {"id": ident, "condition": "node_lost", "subject": node.name, "node": node.name,
                 "state": "active" if transition == "raised" else "cleared",
                 "severity": "major", "message": message, "time": time.time(),
                 "since": old["since"] if old and transition != "raised" else time.time(),
                 "acknowledged": False, "comment": None, "transition": transition}
        self.alarms[ident] = alarm
        (log.warning if transition == "raised" else log.info)("site: %s", message)
        if self.on_alarm is not None:
            self.on_alarm(alarm)

    def acknowledge(self, ident, comment):
        alarm = self.alarms.get(ident)
        if alarm is None:
            raise KeyError(ident)
        alarm.update(acknowledged=True, comment=comment, transition="acknowledged",
                     time=time.time())
        if self.on_alarm is not None:
            self.on_alarm(dict(alarm))
        return alarm

    # -- answers ------------------------------------------------------------

    def described(self):
        now = self.clock()
        return [self.nodes[n].described(now, self.timeout_s) for n in sorted(self.nodes)]

    def layout(self):
        """Changes whenever a unit appears at the site (the page then needs a
        new hello: it keys its rows by the units it was told of)."""
        return sum(node.layout for node in self.nodes.values())

    def units(self):
        out = []
        for name in sorted(self.nodes):
            node = self.nodes[name]
            out += [node.unit(rank) for rank in sorted(set(node.units) | node.window_ranks())]
        return out

    def resolve(self, node_name, local):
        """The rank of a local name (rank or MCU.CU) at a node; KeyError naming it."""
        node = self.nodes[node_name]
        if isinstance(local, int):
            if node.units and local not in node.units:
                raise KeyError(f"unit {node_name}/{local}: node {node_name} has no rank {local}")
            return local
        rank = node.labels().get(local)
        if rank is None:
            raise KeyError(f"unit {node_name}/{local}: node {node_name} has no unit {local}")
        return rank

    def all_alarms(self):
        out = [dict(a) for a in self.alarms.values() if a["state"] == "active"
               or not a.get("acknowledged")]
        for name in sorted(self.nodes):
            out += [dict(a, id=f"{name}/{a['id']}") for a in self.nodes[name].alarms.values()
                    if a.get("state") != "cleared" or not a.get("acknowledged", True)]
        return out

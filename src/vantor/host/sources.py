"""Which channel-unit datagrams the host lets in, and where each board's
settings updates go.

A datagram names its board in its first byte, and UDP says nothing about who
really sent it.  So the host decides per board which source address it
believes, and lets nothing else reach the broker:

- A board with a fixed address (its `address` in the settings, or the
  address given with --hardware) is believed only from that IP address.
  Its updates go to that address and port.
- A board without one (the simulator, loopback tests) is learned: a source
  becomes the board's address once it has sent `confirm` datagrams in
  sequence (each at most `STEP_LIMIT` steps after the one before), and only
  while the board's current address has been silent for `quiet` seconds.
  A single forged datagram therefore can neither claim a board that has not
  spoken yet nor take over one that is talking; a board that restarts on a
  new port is followed once it has been away for `quiet` seconds.  Before
  a board's first address is known, the datagrams of a source on probation
  are held and passed on once it is confirmed, so the board's first steps
  are not lost; later (a board that moved) they are counted as refused,
  which also keeps a forger from making the host hold memory for a board
  that talks.

Everything refused is counted with the addresses and ids seen, so a board
set up with a wrong mcuId or address shows up on screen instead of silently
losing its data."""
import ipaddress
import socket
import time

from .sequence import MOD, SequenceTracker

RECORD = 60              # bytes of one cu_message record
MAX_RECORDS = 256        # a board has at most 256 units: one record each per datagram
CONFIRM = 8              # datagrams in sequence that make a new source a board's address
QUIET = 2.0              # seconds the current source must be silent before another takes over
STEP_LIMIT = 4           # a candidate may lose a few datagrams and still be in sequence
MAX_CANDIDATES = 64      # sources on probation per board (the least recently heard goes)
SEEN_LIMIT = 16          # distinct addresses or ids listed per counter


def parse_address(text, where="address"):
    """'HOST:PORT' (IPv6 as '[::1]:PORT') -> (host, port); ValueError naming `where`."""
    if not isinstance(text, str):
        raise ValueError(f"{where}: expected \"HOST:PORT\", got {text!r}")
    host, sep, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not sep or not host or not port.isdigit() or not 0 < int(port) <= 65535:
        raise ValueError(f"{where}: expected \"HOST:PORT\" with a port 1 to 65535, got {text!r}")
    return host, int(port)


def resolve(host):
    """The IP address of `host` in the form the socket layer reports senders."""
    try:
        return str(ipaddress.ip_address(host))
    except ValueError:
        pass
    try:
        info = socket.getaddrinfo(host, None, type=socket.SOCK_DGRAM)
    except socket.gaierror as exc:
        raise ValueError(f"{host}: cannot resolve ({exc.strerror})") from None
    return str(ipaddress.ip_address(info[0][4][0]))


def _ip_of(addr):
    """A sender's IP address, IPv4-mapped IPv6 taken as IPv4."""
    ip = ipaddress.ip_address(addr[0].split("%")[0])
    mapped = getattr(ip, "ipv4_mapped", None)
    return str(mapped or ip)


class Tally:
    """A count, and the count per key for the first SEEN_LIMIT keys seen."""

    def __init__(self):
        self.total = 0
        self.seen = {}

    def add(self, key, n=1):
        self.total += n
        if key in self.seen or len(self.seen) < SEEN_LIMIT:
            self.seen[key] = self.seen.get(key, 0) + n

    def report(self, name=str):
        return {"total": self.total, "seen": {name(k): n for k, n in self.seen.items()}}


def address_label(addr):
    host, port = addr[0], addr[1]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


class PinnedSource:
    """A board believed only from one IP address.  Updates go to `target`;
    with `follow_port` (boards sharing the --hardware address, told apart by
    their source ports) to the port the board's datagrams last came from."""

    learned = False
    changes = 0

    def __init__(self, target, follow_port=False):
        self.target = (resolve(target[0]), target[1])
        self.ip = self.target[0]
        self.follow_port = follow_port
        self.heard = None

    @property
    def address(self):
        return self.heard or self.target

    def offer(self, data, addr, seq, now):
        if not self.accepts_status(addr):
            return None
        if self.follow_port:
            self.heard = (self.ip, addr[1])
        return [data]

    def accepts_status(self, addr):
        # The usual spelling first; others (IPv4-mapped IPv6) are parsed.
        return addr[0] == self.ip or _ip_of(addr) == self.ip

    def pending(self):
        return 0


class _Candidate:
    __slots__ = ("last", "count", "held")

    def __init__(self, seq, data, keep):
        self.last, self.count, self.held = seq, 1, [data] if keep else []


class LearnedSource:
    """A board whose address is learned by the rule in the module's docstring."""

    learned = True

    def __init__(self, confirm=CONFIRM, quiet=QUIET, on_change=None):
        self.confirm, self.quiet, self.on_change = confirm, quiet, on_change
        self.address = None
        self.last_heard = float("-inf")
        self.candidates = {}
        self.changes = 0          # times the address moved to another source
        self.discarded = Tally()  # datagrams of sources never confirmed, by address

    def offer(self, data, addr, seq, now):
        """The datagrams to pass on now: [data], the held datagrams of a source
        confirmed by this one, or None while it is held or refused."""
        if addr == self.address:
            self.last_heard = now
            return [data]
        cand = self.candidates.pop(addr, None)
        if cand is not None:
            self.candidates[addr] = cand      # the dict runs from least to most recently heard
        if cand is None:
            if len(self.candidates) >= MAX_CANDIDATES:
                # The least recently heard goes: a board sending every step
                # outlasts one-off senders unless they outnumber the list.
                stale = next(iter(self.candidates))
                self._discard(stale, self.candidates.pop(stale))
            cand = self.candidates[addr] = _Candidate(seq, data, self.address is None)
        elif 1 <= (seq - cand.last) % MOD <= STEP_LIMIT:
            cand.last, cand.count = seq, cand.count + 1
            self._hold(addr, cand, data)
        elif (cand.last - seq) % MOD <= STEP_LIMIT:
            self._hold(addr, cand, data)    # late or repeated: kept, but confirms nothing
        else:
            self._discard(addr, cand)
            cand = self.candidates[addr] = _Candidate(seq, data, self.address is None)
        if cand.count < self.confirm or now - self.last_heard < self.quiet:
            return None
        return self._take(addr, cand, now) or [data]

    def _hold(self, addr, cand, data):
        if self.address is not None:
            return              # a board that moved: see the module's docstring
        cand.held.append(data)
        # Room for repeats and late ones among the datagrams that confirm it.
        if len(cand.held) > 2 * self.confirm + STEP_LIMIT:
            self._count_discarded(addr, 1)
            del cand.held[0]

    def accepts_status(self, addr):
        """Status records carry no sequence: believed from the board's address,
        or from anyone while none is known yet."""
        return self.address is None or addr == self.address

    def _take(self, addr, cand, now):
        old = self.address
        del self.candidates[addr]
        for other, c in self.candidates.items():
            self._discard(other, c)
        self.candidates.clear()
        self.address, self.last_heard = addr, now
        if old is not None:
            self.changes += 1
        if self.on_change is not None:
            self.on_change(old, addr)
        return cand.held

    def _discard(self, addr, cand):
        self._count_discarded(addr, len(cand.held))
        cand.held = []

    def _count_discarded(self, addr, n):
        # Once the board has an address, the host counts every datagram from
        # elsewhere as foreign when it arrives; before that only what is let go.
        if self.address is None and n:
            self.discarded.add(address_label(addr), n)

    def pending(self):
        return sum(len(c.held) for c in self.candidates.values())


class Admission:
    """The host's gate for channel-unit datagrams (status records are not
    its business).  `admit(data, addr)` returns the datagrams to hand to the
    broker, in order; everything else is counted here."""

    def __init__(self, settings, *, hardware=None, confirm=CONFIRM, quiet=QUIET,
                 clock=time.monotonic, on_event=None):
        self.clock, self.on_event = clock, on_event
        self.sources, self.known_units, self.sequences = {}, {}, {}
        self.unheard = {}                # mcuId -> units not yet heard from
        for mcu_id, mcu in settings.devices.items():
            address = getattr(mcu, "address", None)
            if address:
                self.sources[mcu_id] = PinnedSource(address)
            elif hardware:
                self.sources[mcu_id] = PinnedSource(hardware, follow_port=True)
            else:
                self.sources[mcu_id] = LearnedSource(confirm, quiet, self._changed(mcu_id))
            self.known_units[mcu_id] = bytes(sorted(mcu.channels))
            self.sequences[mcu_id] = SequenceTracker()
            self.unheard[mcu_id] = set(mcu.channels)
        self.unknown_boards = Tally()    # by mcuId
        self.unknown_units = Tally()     # by (mcuId, cuId)
        self.foreign = Tally()           # datagrams from a source other than the board's, by address
        self.mixed = 0                   # datagrams naming several boards, or too long for one
        self.refused = 0                 # datagrams not passed on, all reasons together

    def _changed(self, mcu_id):
        def changed(old, new):
            if self.on_event is not None:
                self.on_event({"kind": "source", "mcuId": mcu_id,
                               "old": address_label(old) if old else None,
                               "new": address_label(new), "time": time.time()})
        return changed

    def admit(self, data, addr):
        mcu_id = data[0]
        source = self.sources.get(mcu_id)
        if source is None:
            self.unknown_boards.add(mcu_id)
            self.refused += 1
            return []
        records = len(data) // RECORD
        if records > MAX_RECORDS or data[::RECORD].count(data[0]) != records:
            self.mixed += 1
            self.refused += 1
            return []
        seq = int.from_bytes(data[8:12], "little")
        passed = source.offer(data, addr, seq, self.clock())
        if passed is None:
            if not source.learned or source.address is not None:
                self.foreign.add(address_label(addr))
            self.refused += 1
            return []
        return [d for d in passed if self._known(mcu_id, d)]

    def admit_status(self, data, addr):
        """True when a board's status record may reach its monitor."""
        source = self.sources.get(data[0])
        if source is None:
            self.unknown_boards.add(data[0])
            return False
        if not source.accepts_status(addr):
            self.foreign.add(address_label(addr))
            return False
        return True

    def _known(self, mcu_id, data):
        """Counts the datagram's unknown units; False when it names no known
        unit at all (then it is not tracked nor passed on)."""
        unknown = data[1::RECORD].translate(None, self.known_units[mcu_id])
        if unknown:
            for cu_id in unknown:
                self.unknown_units.add((mcu_id, cu_id))
            if len(unknown) == len(data) // RECORD:
                self.refused += 1
                return False
        self.sequences[mcu_id].see(int.from_bytes(data[8:12], "little"))
        pending = self.unheard[mcu_id]
        if pending:
            pending.difference_update(data[1::RECORD])
        return True

    def update_address(self, mcu_id):
        """Where the board's settings updates go, or None while unknown."""
        source = self.sources.get(mcu_id)
        return None if source is None else source.address

    # -- what the view and the snapshot show ---------------------------------------

    def totals(self):
        seq = self.sequences.values()
        return {"dropped": sum(s.dropped for s in seq), "late": sum(s.late for s in seq),
                "duplicated": sum(s.duplicated for s in seq),
                "restarts": sum(s.restarts for s in seq), "stray": sum(s.stray for s in seq),
                "foreign": self.foreign.total + self._discarded().total,
                "unknown_mcu": self.unknown_boards.total,
                "unknown_unit": self.unknown_units.total, "mixed": self.mixed}

    def _discarded(self):
        out = Tally()
        for source in self.sources.values():
            if source.learned:
                for key, n in source.discarded.seen.items():
                    out.add(key, n)
                out.total += source.discarded.total - sum(source.discarded.seen.values())
        return out

    def board(self, mcu_id):
        """One board's source and sequence counters for its snapshot entry."""
        source, seq = self.sources[mcu_id], self.sequences[mcu_id]
        address = source.address
        return {"address": address_label(address) if address else None,
                "learned": source.learned,
                "address_changes": source.changes,
                **{k: v for k, v in seq.counters().items() if k != "received"}}

    def report(self):
        """The refused traffic with the ids and addresses seen."""
        foreign = self.foreign.report()
        discarded = self._discarded()
        for key, n in discarded.seen.items():
            foreign["seen"][key] = foreign["seen"].get(key, 0) + n
        foreign["total"] = self.foreign.total + discarded.total
        return {"unknown_boards": self.unknown_boards.report(),
                "unknown_units": self.unknown_units.report(lambda k: f"{k[0]}.{k[1]}"),
                "foreign": foreign}

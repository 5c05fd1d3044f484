"""Per-board sequence bookkeeping on arrival, in the manner of an RTP
receiver: losses, late arrivals and duplicates are counted against the
highest sequence seen, and a jump far away from it (a board restarting, or
a stray datagram) moves the count there only once the datagrams that follow
confirm the new sequence.  One wild sequence number therefore never turns
into billions of "dropped" datagrams, and a genuine restart is followed
within a few datagrams.

Sequence numbers are unsigned 32-bit and wrap; internally they are extended
to unbounded integers so the arithmetic below needs no modulo."""

MOD = 1 << 32
MAX_DROPOUT = 3000       # steps ahead still taken as the same sequence (30 s of losses)
MAX_MISORDER = 100       # steps behind still taken as a late or repeated datagram
MIN_SEQUENTIAL = 2       # datagrams in a row that confirm a start or a restart
WINDOW = 1024            # missing sequences remembered, to tell late from duplicate


class SequenceTracker:
    def __init__(self, *, max_dropout=MAX_DROPOUT, max_misorder=MAX_MISORDER,
                 min_sequential=MIN_SEQUENTIAL, window=WINDOW):
        self.max_dropout, self.max_misorder = max_dropout, max_misorder
        self.min_sequential, self.window = min_sequential, window
        self.top = None          # extended highest sequence of the confirmed run
        self.base = None         # extended first sequence of the confirmed run
        self.missing = set()     # extended sequences skipped and not (yet) seen
        self.candidate = None    # [next expected raw sequence, datagrams seen, repeats] on probation
        self.received = 0        # datagrams counted into the confirmed run
        self.dropped = self.late = self.duplicated = 0
        self.restarts = 0        # confirmed jumps to a new sequence (board restarts)
        self.stray = 0           # datagrams far off the run that no follower confirmed

    @property
    def highest(self):
        """The highest sequence of the confirmed run, as the board sends it."""
        return None if self.top is None else self.top % MOD

    def see(self, seq):
        """Counts one datagram's sequence; True when it belongs to the
        confirmed run (in order, late or repeated), False while it is only
        a candidate for a new one."""
        if self.top is None:
            return self._probation(seq)
        delta = (seq - self.top) % MOD
        if delta == 0:
            self.duplicated += 1
        elif delta <= self.max_dropout:
            self._advance(self.top + delta)
        elif delta >= MOD - self.max_misorder:
            self._behind(self.top - (MOD - delta))
        else:
            return self._probation(seq)
        self.received += 1
        if self.candidate is not None:     # the run went on: the jump was a stray
            self.stray += self.candidate[1] + self.candidate[2]
            self.candidate = None
        return True

    def _advance(self, ext):
        gap = ext - self.top - 1
        self.dropped += gap
        self.missing.update(range(max(self.top + 1, ext - self.window), ext))
        self.top = ext
        if len(self.missing) > self.window:
            floor = ext - self.window
            self.missing = {s for s in self.missing if s > floor}

    def _behind(self, ext):
        if ext in self.missing:
            self.missing.discard(ext)
            self.dropped -= 1
            self.late += 1
        elif ext < self.base:
            self.late += 1       # older than the run's start: reordered at the start
            self.base = ext
        else:
            self.duplicated += 1

    def _probation(self, seq):
        """A start or a jump: only `min_sequential` datagrams in a row,
        each one step after the other, confirm it."""
        cand = self.candidate
        if cand is not None and (cand[0] - 1) % MOD == seq:
            cand[2] += 1             # a repeat of the last one: counted if confirmed
            return False
        if cand is not None and cand[0] == seq:
            cand[0], cand[1] = (seq + 1) % MOD, cand[1] + 1
        else:
            if cand is not None and self.top is not None:
                self.stray += cand[1] + cand[2]   # an unconfirmed jump was a stray
            cand = self.candidate = [(seq + 1) % MOD, 1, 0]
        count = cand[1]
        if count < self.min_sequential:
            return False
        # Confirmed: the run starts over at the first datagram of the candidate.
        if self.top is not None:
            self.restarts += 1
        first = seq - (count - 1)
        self.top = seq if first >= 0 else seq + MOD
        self.base = self.top - (count - 1)
        self.missing = set()
        self.candidate = None
        self.received += count
        self.duplicated += cand[2]
        return True

    def counters(self):
        return {"received": self.received, "dropped": self.dropped, "late": self.late,
                "duplicated": self.duplicated, "restarts": self.restarts, "stray": self.stray}

"""Stand-in for the front end: takes what the hub hands out."""
from .records import STREAM_DATA, STREAM_FIELDS, decode


class Frontend:
    def __init__(self, stats, keep=False):
        self.stats = stats
        self.keep = keep
        self.batches = []       # kept only when keep=True (tests)
        self.iv_results = []
        self.ranges = []

    def stream(self, data):
        self.stats.stream_out += len(data) // STREAM_DATA.size
        if self.keep and data:
            self.batches.append(data)

    def iv(self, data):
        self.stats.iv_results += 1
        self.stats.last_iv = data
        if self.keep:
            self.iv_results.append(data)

    def iv_range(self, start, stop, steps):
        self.stats.iv_range = (start, stop, steps)
        self.ranges.append((start, stop, steps))

    def records(self):
        """Every record delivered so far, decoded (keep=True)."""
        out = []
        for batch in self.batches:
            for off in range(0, len(batch) - STREAM_DATA.size + 1, STREAM_DATA.size):
                out.append(decode(STREAM_DATA, STREAM_FIELDS, batch[off:off + STREAM_DATA.size]))
        return out

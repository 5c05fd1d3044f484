"""What the archive needs of a database, so that another one (a time-series
server for a site that outgrows one machine) can replace SQLite later."""
import abc
from dataclasses import dataclass, field


class ArchiveError(Exception):
    """The archive cannot be opened or written; the message says where and why."""


@dataclass
class Batch:
    """Everything collected during one flush interval, written in one go.

    rows: kind -> keyed full-resolution rows (see layouts.row_dtype)
    states: (time, rank, status word, bias current set point) of units whose
        status or set point changed
    settings: (time, via, rank, name, field, old, new, actor) per changed field;
        actor names who asked ({"token": name, "address": ip}) or is None
    alarms: alarm transitions, each the alarm's JSON dict
    marks: {name: text} kept with the batch in the same transaction (a
        site's place in its bus stream), read back with mark()"""
    rows: dict = field(default_factory=dict)
    states: list = field(default_factory=list)
    settings: list = field(default_factory=list)
    alarms: list = field(default_factory=list)
    marks: dict = field(default_factory=dict)

    def __len__(self):
        return (sum(len(r) for r in self.rows.values()) + len(self.states)
                + len(self.settings) + len(self.alarms))


class Store(abc.ABC):
    """A store is used from several threads: one writer, any number of readers."""

    @abc.abstractmethod
    def write(self, batch):
        """Append one batch atomically."""

    @abc.abstractmethod
    def compact(self, now):
        """Fold closed blocks of recent rows into per-series blocks and their
        per-minute aggregates; returns how many blocks were folded."""

    @abc.abstractmethod
    def prune(self, now, full_seconds, aggregate_seconds):
        """Drop full-resolution rows older than full_seconds and everything
        else older than aggregate_seconds; returns the number of items dropped."""

    @abc.abstractmethod
    def rows(self, kind, keys, since, until):
        """{key: full-resolution rows (unkeyed dtype) with since <= t <= until}."""

    @abc.abstractmethod
    def minutes(self, kind, keys, since, until):
        """{key: per-minute aggregates whose minute overlaps [since, until]}."""

    @abc.abstractmethod
    def states(self, ranks, since, until):
        """Unit status and set-point changes, including the last one before since."""

    @abc.abstractmethod
    def settings_log(self, since, until, limit):
        """Settings changes, newest first."""

    @abc.abstractmethod
    def alarm_log(self, since, until, limit):
        """Alarm transitions, newest first."""

    @abc.abstractmethod
    def add_calibrations(self, calibrations):
        """Append calibrations (JSON-ready dicts with at least "time", "rank"
        and "job"; the rest is kept as it is) atomically."""

    @abc.abstractmethod
    def calibrations(self, ranks, since, until, limit):
        """Calibrations of `ranks` (None: every unit) with since <= time <= until,
        newest first, as they were added."""

    def mark(self, name):
        """The text last written under `name` with a batch's marks, or None."""
        raise ArchiveError(f"{type(self).__name__} keeps no marks")

    def node_index(self, node, create=True):
        """The archive's lasting number (1, 2, ...) of a site's node, given on
        first use, so that every node's ranks get keys of their own (None:
        not known and not `create`; only the writer creates)."""
        raise ArchiveError(f"{type(self).__name__} keeps no site nodes")

    @abc.abstractmethod
    def size(self):
        """Bytes the archive takes on disk."""

    @abc.abstractmethod
    def close(self):
        """Release files and locks."""

"""The [epics] table of the settings file (and `vantor serve --epics PREFIX
--epics-writes`): the record name prefix, whether puts are taken, and the
access-security file that limits them."""
import re
from dataclasses import dataclass, replace
from pathlib import Path

from vantor.host.option_table import entries, flag

DEFAULT_PREFIX = "VANTOR:"
# Record names take letters, digits and _ - : . [ ] < > ; and at most 60
# characters: the prefix leaves room for the longest record name of ours.
PREFIX_RE = re.compile(r"[A-Za-z0-9_\-:.\[\]<>;]{1,40}")


@dataclass(frozen=True)
class EpicsOptions:
    prefix: str = None              # None: no EPICS records are served
    writes: bool = False            # puts to BIAS_SP refused unless true
    access_security: str = None     # access-security file (hosts and users that may write)

    @property
    def enabled(self):
        return self.prefix is not None

    def with_command_line(self, prefix=None, writes=False):
        """These options with `--epics PREFIX` and `--epics-writes` applied;
        ValueError when writes are asked for without records."""
        options = replace(self, prefix=prefix if prefix is not None else self.prefix,
                          writes=self.writes or writes)
        if prefix is not None:
            check_prefix("--epics", prefix)
        if options.writes and not options.enabled:
            raise ValueError("--epics-writes: needs --epics PREFIX (or an [epics] table)")
        return options


def check_prefix(where, value):
    if not isinstance(value, str) or not PREFIX_RE.fullmatch(value):
        raise ValueError(f"{where}: expected 1 to 40 of the characters A-Z a-z 0-9 _ - : . "
                         f"[ ] < > ;, got {value!r}")
    return value


def parse_epics(table):
    """EpicsOptions from the [epics] table (present: records are served,
    under "VANTOR:" unless `prefix` says otherwise); ValueError naming the key."""
    if table is None:
        return EpicsOptions()
    values = {"prefix": DEFAULT_PREFIX}
    for key, where, value in entries("epics", table, EpicsOptions):
        if key == "prefix":
            values[key] = check_prefix(where, value)
        elif key == "writes":
            values[key] = flag(where, value)
        else:
            if not isinstance(value, str) or not value:
                raise ValueError(f"{where}: expected the path of an access-security file, "
                                 f"got {value!r}")
            if not Path(value).is_file():
                raise ValueError(f"{where}: no such file: {value}")
            values[key] = value
    return EpicsOptions(**values)

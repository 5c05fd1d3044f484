"""Settings changed through the service outlive it: the settings file is
rewritten with the new values, atomically (a crash leaves the old file or
the new one, never half of one), after the previous version is kept as a
timestamped backup beside it (written aside and renamed, so a backup is
whole too).

Backups are kept by a rule: the newest KEEP_LAST, and beyond those the
newest of each day for KEEP_DAYS days; older ones are removed.  A scan that
sets a value every second leaves 30 + 90 files, not 86,400 a day."""
import asyncio
import datetime
import json
import re
import time
from pathlib import Path

from . import atomic

_BARE_KEY = re.compile(r"^[A-Za-z0-9_-]+$")
KEEP_LAST = 30
KEEP_DAYS = 90
_STAMP = re.compile(r"\.(\d{8})-(\d{6})(?:-(\d+))?\.bak$")


def _key(name):
    return name if _BARE_KEY.match(name) else json.dumps(name)


def _value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)       # the shortest text that reads back as the same double
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ", ".join(_value(v) for v in value) + "]"
    raise TypeError(f"cannot write {type(value).__name__} into a settings file")


def _is_table_array(value):
    return isinstance(value, list) and value and all(isinstance(v, dict) for v in value)


def _emit(lines, path, table):
    for key, value in table.items():
        if not isinstance(value, dict) and not _is_table_array(value):
            lines.append(f"{_key(key)} = {_value(value)}")
    for key, value in table.items():
        if isinstance(value, dict):
            name = ".".join(path + [_key(key)])
            lines.extend(["", f"[{name}]"])
            _emit(lines, path + [_key(key)], value)
    for key, value in table.items():
        if _is_table_array(value):
            name = ".".join(path + [_key(key)])
            for item in value:
                lines.extend(["", f"[[{name}]]"])
                _emit(lines, path + [_key(key)], item)


def dumps(doc):
    """TOML text of a settings document (tables, arrays of tables, numbers,
    strings, booleans and lists of them)."""
    lines = []
    _emit(lines, [], doc)
    return "\n".join(lines).lstrip("\n") + "\n"


def apply_changes(doc, changes):
    """Writes each change {"rank", "field", "new"} into the unit's own table of
    the document (ranks count the [[mcu.unit]] tables in file order)."""
    tables = [unit for mcu in doc["mcu"] for unit in mcu["unit"]]
    for change in changes:
        tables[change["rank"] - 1][change["field"]] = change["new"]


def save(doc, path, *, now=None):
    """Writes `doc` to `path` atomically; an existing file is first copied to
    PATH.YYYYmmdd-HHMMSS.bak.  Returns the backup's path or None."""
    path = Path(path)
    backup = None
    if path.exists():
        stamp = time.strftime("%Y%m%d-%H%M%S", time.localtime(now))
        backup = path.with_name(f"{path.name}.{stamp}.bak")
        n = 1
        while backup.exists():
            backup = path.with_name(f"{path.name}.{stamp}-{n}.bak")
            n += 1
        atomic.copy(path, backup)
        prune_backups(path, now=now)
    path.parent.mkdir(parents=True, exist_ok=True)
    atomic.write_text(path, "# vantor settings; rewritten by `vantor serve` when settings "
                            "change\n" + dumps(doc), sync=True)
    return backup


def backups(path):
    """The backups of the settings file `path`, oldest first, as (day, path)."""
    path = Path(path)
    found = []
    for candidate in path.parent.glob(f"{glob_escape(path.name)}.*.bak"):
        match = _STAMP.search(candidate.name)
        if match and candidate.name == f"{path.name}{match.group(0)}":
            day, clock, n = match.groups()
            found.append(((day, clock, int(n or 0)), candidate))
    return [(key[0], p) for key, p in sorted(found)]


def glob_escape(text):
    return re.sub(r"([*?\[])", r"[\1]", text)


def prune_backups(path, now=None):
    """Removes the backups the retention rule does not keep; returns them."""
    found = backups(path)
    keep = {p for _, p in found[-KEEP_LAST:]}
    today = datetime.date.fromtimestamp(time.time() if now is None else now)
    oldest = (today - datetime.timedelta(days=KEEP_DAYS)).strftime("%Y%m%d")
    newest_of_day = {}
    for day, candidate in found:
        newest_of_day[day] = candidate           # sorted oldest first: the last one wins
    keep |= {p for day, p in newest_of_day.items() if day >= oldest}
    removed = [p for _, p in found if p not in keep]
    for candidate in removed:
        candidate.unlink(missing_ok=True)
    return removed


class SettingsKeeper:
    """Called by the host after every settings change it wrote."""

    def __init__(self, path, on_error=None):
        self.path = Path(path)
        self.on_error = on_error
        self.last_backup = None
        self._due = None             # the settings to write at the loop's next turn

    def __call__(self, settings, changes):
        if settings.doc is None:
            return
        apply_changes(settings.doc, changes)
        # Changes made together (a tune sets a thousand units one by one) are
        # written once, at the next turn of the loop, not once each.
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            self._write(settings)
            return
        if self._due is None:
            loop.call_soon(self._write_due)
        self._due = settings

    def _write_due(self):
        settings, self._due = self._due, None
        self._write(settings)

    def _write(self, settings):
        try:
            self.last_backup = save(settings.doc, self.path)
        except OSError as exc:
            if self.on_error is not None:
                self.on_error(f"settings could not be saved to {self.path}: {exc}")

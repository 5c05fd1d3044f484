"""Checks shared by the option tables of the settings file ([alarms],
[archive]): every key known, flags boolean, numbers finite and in range;
each message names the key as `table.key`."""
import math
from dataclasses import fields


def entries(name, table, options_class):
    """(key, "name.key", value) of a table whose keys must all be fields of
    `options_class`; ValueError naming the first that is not."""
    if not isinstance(table, dict):
        raise ValueError(f"{name}: expected a table, got {table!r}")
    known = {f.name for f in fields(options_class)}
    for key, value in table.items():
        where = f"{name}.{key}"
        if key not in known:
            raise ValueError(f"{where}: unknown key (known: {', '.join(sorted(known))})")
        yield key, where, value


def flag(where, value):
    if not isinstance(value, bool):
        raise ValueError(f"{where}: expected true or false, got {value!r}")
    return value


def number(where, value, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value) or not low <= value <= high:
        raise ValueError(f"{where}: expected a number {low:g} to {high:g}, got {value!r}")
    return value

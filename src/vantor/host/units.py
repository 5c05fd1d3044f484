"""Naming channel units the way operators and scripts do: by rank (5 or "5")
or by "MCU.CU" ("0.3")."""
from vantor.wire import parse_unit_name


class UnitError(ValueError):
    """A unit name that names no configured unit; the message names it."""


def resolve_unit(settings, item):
    """Rank of one unit given as a rank or an MCU.CU name."""
    count = len(settings.units())
    if isinstance(item, bool):
        raise UnitError(f"unit {item!r}: expected a rank or an MCU.CU name")
    if isinstance(item, int):
        if 1 <= item <= count:
            return item
        raise UnitError(f"unit {item}: no such rank (the settings have ranks 1 to {count})")
    if isinstance(item, str):
        text = item.strip()
        if "." in text:
            try:
                mcu, cu = parse_unit_name(text)
            except ValueError as exc:
                raise UnitError(f"unit {item!r}: {exc}") from None
            try:
                return settings.unit(mcu, cu).rank
            except KeyError:
                raise UnitError(f"unit {text}: no such MCU.CU in the settings") from None
        if text.isdigit():
            return resolve_unit(settings, int(text))
    raise UnitError(f"unit {item!r}: expected a rank (1, \"5\") or an MCU.CU name (\"0.3\")")


def resolve_units(settings, items):
    """Sorted distinct ranks of a list of unit names; an empty list is refused
    (an empty selection must never mean every unit)."""
    if isinstance(items, (str, int)):
        items = [items]
    if not isinstance(items, (list, tuple, set, frozenset)):
        raise UnitError(f"units: expected a list of ranks or MCU.CU names, got {items!r}")
    if not items:
        raise UnitError("units: no unit chosen")
    return sorted({resolve_unit(settings, item) for item in items})


def parse_unit_list(text):
    """'1,2,0.3,5-7' -> [1, 2, '0.3', 5, 6, 7], for a service to resolve: the
    names are not checked against any settings here.  An empty list is refused."""
    out = []
    for item in (p.strip() for p in text.split(",")):
        if not item:
            raise ValueError(f"units: empty item in {text!r}")
        first, sep, last = item.partition("-")
        if sep and first.isdigit() and last.isdigit():
            if int(last) < int(first):
                raise ValueError(f"units: range {item!r} runs backwards")
            out.extend(range(int(first), int(last) + 1))
        elif item.isdigit():
            out.append(int(item))
        else:
            out.append(item)
    return out

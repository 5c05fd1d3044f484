"""Unit names at a site: `NODE/RANK` or `NODE/MCU.CU`, and the integer key
each node's unit has in the site's archive (the archive keys series by one
integer; a node's index, kept in the archive, keeps ranks of different nodes
apart)."""
import re

from .protocol import NODE_NAME

KEY_STRIDE = 1_000_000         # ranks stay below it; node index n owns n*STRIDE+rank
MAX_RANK = 99_999              # as the service's schema takes them (five digits)
MAX_NODES = 2000               # keys stay within PostgreSQL's signed 32-bit integer
_LOCAL = re.compile(r"\d{1,6}|\d{1,3}\.\d{1,3}")


class UnitNameError(ValueError):
    """A unit name the site cannot place; the message names it and what fits."""


def check_ranks(rows):
    """Rows of a window batch whose ranks a unit can have; ValueError else
    (a rank from the network sizes the site's per-unit tables)."""
    if len(rows):
        ranks = rows["rank"]
        if int(ranks.min()) < 1 or int(ranks.max()) > MAX_RANK:
            raise ValueError(f"window batch: ranks {int(ranks.min())} to {int(ranks.max())}, "
                             f"outside 1 to {MAX_RANK}")
    return rows


def site_key(index, rank):
    return index * KEY_STRIDE + int(rank)


def split_key(key):
    """(node index, rank) of a site key."""
    return divmod(int(key), KEY_STRIDE)


def split_name(text, nodes):
    """(node, local name) of a unit name; the local name is a rank (int) or
    an "MCU.CU" string.  A bare name is taken for the only node there is, and
    refused naming the nodes where there are several.  ValueError in one line."""
    if isinstance(text, bool) or not isinstance(text, (str, int)):
        raise UnitNameError(f"unit {text!r}: expected NODE/RANK or NODE/MCU.CU")
    text = str(text).strip()
    node, sep, local = text.rpartition("/")
    if not _LOCAL.fullmatch(local):
        raise UnitNameError(f"unit {text!r}: expected NODE/RANK or NODE/MCU.CU")
    if not sep:
        if len(nodes) == 1:
            node = next(iter(nodes))
        elif not nodes:
            raise UnitNameError(f"unit {text!r}: no node has reported to this site yet")
        else:
            raise UnitNameError(f"unit {text!r}: this site has several nodes "
                             f"({', '.join(sorted(nodes))}): name it NODE/{local}")
    elif not NODE_NAME.fullmatch(node):
        raise UnitNameError(f"unit {text!r}: {node!r} is not a node name")
    elif node not in nodes:
        known = ", ".join(sorted(nodes)) or "none yet"
        raise UnitNameError(f"unit {text!r}: no node {node!r} at this site (nodes: {known})")
    return node, (int(local) if local.isdigit() else local)


def unit_list(value):
    """Names from a comma-separated string or a JSON list."""
    if isinstance(value, str):
        return [part for part in (p.strip() for p in value.split(",")) if part]
    if isinstance(value, list):
        return value
    raise UnitNameError(f"units: expected a list of NODE/RANK or NODE/MCU.CU names, got {value!r}")

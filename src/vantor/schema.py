"""What a request to the service may hold: unit names, settings values, job
fields, query numbers and live-stream options.  The service checks every
body and query here, and the Python client runs the same checks on its
arguments before sending, so a mistake gets the same message on both sides.

Every refusal is a SchemaError whose message starts with the field it names.
Imports nothing of vantor but the wire facts, so the client stays light."""
import json
import math
import re

from vantor.wire import CU_CONFIG, CU_CONFIG_FIELDS, STEP_S

IDENTITY_FIELDS = ("mcuId", "cuId")
SETTABLE_FIELDS = tuple(f for f in CU_CONFIG_FIELDS if f not in IDENTITY_FIELDS)
MAX_DEPTH = 8              # the deepest valid body nests 3 levels ({"settings": {...}})
MAX_UNITS = 65536          # 256 boards of 256 units
MAX_RANK_DIGITS = 5
MAX_SECONDS = 7 * 24 * 3600
MAX_RATE = 20.0
MIN_RATE = 0.1
LIVE_MODES = ("summary", "records")
MAX_TIME = 1e11            # unix seconds (the year 5138): more is a typing slip
MAX_RESOLUTION = 1e9       # seconds (30 years)

_RANK = re.compile(r"[0-9]{1,%d}" % MAX_RANK_DIGITS)
_PAIR = re.compile(r"([0-9]{1,3})\.([0-9]{1,3})")
_NODE = re.compile(r"[A-Za-z0-9_-]{1,64}")        # a node of a site (vantor.site.protocol)
_STRINGS = re.compile(rb'"(?:[^"\\]|\\.)*"')
_BRACKETS = bytes.maketrans(b"[{]}", b"(())")


class SchemaError(ValueError):
    """A value a request may not hold; the message names the field."""


def shown(value, width=40):
    """A value as JSON writes it (NaN, Infinity), cut short: a 400-digit
    number is no help in a message."""
    if isinstance(value, float) and not math.isfinite(value):
        text = "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    elif isinstance(value, int) and not isinstance(value, bool) and abs(value) >= 10 ** width:
        return f"an integer of {len(str(abs(value)))} digits"
    else:
        try:
            text = json.dumps(value, allow_nan=True, ensure_ascii=False)
        except (TypeError, ValueError):
            text = repr(value)
    return text if len(text) <= width else text[:width - 3] + "..."


# -- field types ----------------------------------------------------------------

def _c_types():
    """cu_config field -> (kind, low, high) from the record's own layout."""
    codes = re.findall(r"(\d*)([a-zA-Z])", CU_CONFIG.format.lstrip("<>=!@"))
    kinds = []
    for count, code in codes:
        if code != "x":
            kinds += [code] * int(count or 1)
    ranges = {"B": ("int", 0, 255), "I": ("int", 0, 4294967295),
              "f": ("float", -3.4e38, 3.4e38)}
    return {name: ranges[code] for name, code in zip(CU_CONFIG_FIELDS, kinds)}


FIELD_TYPES = _c_types()


def number(value, name, *, integer=False, low=None, high=None):
    """`value` if it is a finite number (an integer when `integer`) within
    [low, high]; SchemaError naming `name` otherwise."""
    ok = isinstance(value, int) if integer else isinstance(value, (int, float))
    if isinstance(value, bool) or not ok:
        kind = "an integer" if integer else "a finite number"
        raise SchemaError(f"{name}: expected {kind}, got {shown(value)}")
    try:
        finite = math.isfinite(value)
    except OverflowError:          # an integer past every float
        finite = False
    if not finite and not integer:
        raise SchemaError(f"{name}: expected a finite number, got {shown(value)}")
    if (low is not None and value < low) or (high is not None and value > high):
        raise SchemaError(f"{name}: expected {_span(low, high)}, got {shown(value)}")
    return value


def _span(low, high):
    def g(v):
        return f"{v:g}" if isinstance(v, float) else str(v)
    if low is not None and high is not None:
        return f"{g(low)} to {g(high)}"
    return f"{g(low)} or more" if low is not None else f"{g(high)} or less"


def optional_number(body, name, *, required=False, **kw):
    """A number from a JSON object, or None when absent (and not `required`)."""
    if body.get(name) is None:
        if required:
            raise SchemaError(f"{name}: missing")
        return None
    return number(body[name], name, **kw)


def check_keys(body, allowed, where="request body"):
    """SchemaError naming the first key of `body` not in `allowed`."""
    if not isinstance(body, dict):
        raise SchemaError(f"{where}: expected a JSON object, got {shown(body)}")
    unknown = sorted(k for k in body if k not in allowed)
    if unknown:
        raise SchemaError(f"{shown(unknown[0])[1:-1]}: unknown key (expected "
                          f"{', '.join(allowed)})")


# -- unit names -----------------------------------------------------------------

def unit_name(item):
    """A rank (int, or ASCII digits) or an "MCU.CU" name, as the host resolves
    it; anything else (other digits, signs, spaces inside) is refused here."""
    if isinstance(item, int) and not isinstance(item, bool):
        if not 0 < item < 10 ** MAX_RANK_DIGITS:
            raise SchemaError(f"unit {shown(item)}: no such rank")
        return item
    if isinstance(item, str):
        text = item.strip(" ")
        node, sep, local = text.rpartition("/")
        if sep and _NODE.fullmatch(node):
            # a unit of one node of a site: NODE/RANK or NODE/MCU.CU
            return f"{node}/{unit_name(local)}"
        if _RANK.fullmatch(text):
            return int(text)
        pair = _PAIR.fullmatch(text)
        if pair and all(int(p) <= 255 for p in pair.groups()):
            return f"{int(pair.group(1))}.{int(pair.group(2))}"
    raise SchemaError(f"unit {shown(item)}: expected a rank (1, \"5\") or an MCU.CU name "
                      "(\"0.3\") in ASCII digits (at a site: NODE/RANK or NODE/MCU.CU)")


def unit_names(value, name="units"):
    """A list of unit names (one name alone is a list of one); an empty list
    is refused (an empty selection must never mean every unit)."""
    if isinstance(value, (int, str)) and not isinstance(value, bool):
        value = [value]
    if not isinstance(value, (list, tuple)):
        raise SchemaError(f"{name}: expected a list of ranks or MCU.CU names, got "
                          f"{shown(value)}")
    if not value:
        raise SchemaError(f"{name}: no unit chosen")
    if len(value) > MAX_UNITS:
        raise SchemaError(f"{name}: {len(value)} names, more than {MAX_UNITS} units")
    return [unit_name(item) for item in value]


def unit_query(text, name="units"):
    """Comma-separated unit names from a query string."""
    if text is None or not text.strip():
        raise SchemaError(f"{name}: missing (ranks or MCU.CU names, comma-separated)")
    return unit_names(text.split(","), name)


# -- bodies ---------------------------------------------------------------------

def settings_changes(changes):
    """{field: value} of a settings change, each value of its field's type."""
    if not isinstance(changes, dict) or not changes:
        raise SchemaError("settings: expected an object of cu_config fields and values")
    for field, value in changes.items():
        if field in IDENTITY_FIELDS:
            raise SchemaError(f"{field}: a unit's identity cannot be changed")
        if field not in SETTABLE_FIELDS:
            raise SchemaError(f"{shown(field)[1:-1] if isinstance(field, str) else field}: "
                              f"not a cu_config field (fields: {', '.join(SETTABLE_FIELDS)})")
        kind, low, high = FIELD_TYPES[field]
        number(value, field, integer=kind == "int", low=low, high=high)
    return changes


def settings_request(body):
    """The body of POST /api/settings: {"units", "settings"[, "timeout"]}."""
    check_keys(body, ("units", "settings", "timeout"))
    if "units" not in body:
        raise SchemaError("units: missing (a list of ranks or MCU.CU names)")
    units = unit_names(body["units"])
    changes = settings_changes(body.get("settings"))
    timeout = optional_number(body, "timeout", low=0.1, high=600)
    return units, changes, timeout


IV_FIELDS = ("units", "start", "stop", "step", "point_steps", "timeout")


def iv_request(body):
    """The body of POST /api/jobs/iv: units and the optional sweep fields."""
    check_keys(body, IV_FIELDS)
    units = _units_of(body)
    values = {name: optional_number(body, name, low=-3.4e38, high=3.4e38)
              for name in ("start", "stop", "step")}
    values["point_steps"] = optional_number(body, "point_steps", integer=True, low=1,
                                            high=FIELD_TYPES["biasSweepT"][2])
    values["timeout"] = optional_number(body, "timeout", low=1, high=MAX_SECONDS)
    return units, values


TUNE_FIELDS = IV_FIELDS[:-1] + ("policy", "fraction", "margin", "onset_fraction", "dark_job")


def tune_request(body):
    """The body of POST /api/jobs/tune: units, the sweep fields of an IV job,
    the policy and its numbers, and an earlier job swept in the dark."""
    check_keys(body, TUNE_FIELDS)
    units = _units_of(body)
    values = {name: optional_number(body, name, low=-3.4e38, high=3.4e38)
              for name in ("start", "stop", "step", "fraction", "margin", "onset_fraction")}
    values["point_steps"] = optional_number(body, "point_steps", integer=True, low=1,
                                            high=100000)
    policy = body.get("policy", "fraction")
    if not isinstance(policy, str):
        raise SchemaError(f"policy: expected fraction or plateau, got {shown(policy)}")
    dark = body.get("dark_job")
    if dark is not None and not (isinstance(dark, (int, str)) and not isinstance(dark, bool)
                                 and str(dark).isascii() and str(dark).isdigit()
                                 and len(str(dark)) <= 12):
        raise SchemaError(f"dark_job: expected a job id, got {shown(dark)}")
    return units, values, policy, None if dark is None else str(dark)


def acquire_request(body):
    """The body of POST /api/jobs/acquire: {"units", "seconds"}."""
    check_keys(body, ("units", "seconds"))
    units = _units_of(body)
    return units, optional_number(body, "seconds", required=True, low=0.01, high=MAX_SECONDS)


def _units_of(body):
    if "units" not in body:
        raise SchemaError("units: missing (a list of ranks or MCU.CU names)")
    return unit_names(body["units"])


MAX_COMMENT = 2000


def ack_request(body):
    """The body of POST /api/alarms/{id}/ack: an optional comment."""
    check_keys(body, ("comment",))
    comment = body.get("comment")
    if comment is not None and not isinstance(comment, str):
        raise SchemaError(f"comment: expected text, got {shown(comment)}")
    if comment is not None and len(comment) > MAX_COMMENT:
        raise SchemaError(f"comment: longer than {MAX_COMMENT} characters")
    return comment


def empty_request(body):
    """A body that carries nothing (cancel): an empty object."""
    check_keys(body, ())
    return body


def nesting_depth(raw):
    """How deeply the JSON text `raw` nests arrays and objects, read without
    parsing it: the parser recurses, and 30,000 brackets would exhaust it."""
    marks = _STRINGS.sub(b"", raw).translate(_BRACKETS, delete=bytes(
        c for c in range(256) if c not in b"[]{}"))
    depth = deepest = 0
    for mark in marks:
        depth += 1 if mark == 40 else -1          # "(" opens
        deepest = max(deepest, depth)
    return deepest


def json_object(raw):
    """The JSON object in `raw` (bytes); NaN and Infinity are read as numbers
    so that the field they stand in is named when it is checked."""
    if nesting_depth(raw) > MAX_DEPTH:
        raise SchemaError(f"request body: nested more than {MAX_DEPTH} levels deep; no "
                          "request of this API nests that deep")
    try:
        body = json.loads(raw or b"{}")
    except (ValueError, UnicodeDecodeError) as exc:
        raise SchemaError(f"request body is not valid JSON: {exc}") from None
    if not isinstance(body, dict):
        raise SchemaError("request body must be a JSON object")
    return body


# -- queries --------------------------------------------------------------------

def query_number(text, name, expected, *, default=None, low=None, high=None,
                 zero=False):
    """A finite number from a query string, or `default` when absent; with
    `zero`, 0 is allowed besides [low, high]."""
    if text is None or text == "":
        return default
    try:
        value = float(text)
    except ValueError:
        raise SchemaError(f"{name}: expected {expected}, got {shown(text)}") from None
    if zero and value == 0:
        return 0.0
    bounds = _span(low, high) if low is not None or high is not None else None
    if not math.isfinite(value) or (low is not None and value < low) \
            or (high is not None and value > high):
        extra = f" ({'0 or ' if zero else ''}{bounds})" if bounds else ""
        raise SchemaError(f"{name}: expected {expected}{extra}, got {shown(text)}")
    return value


def query_time(text, name, default):
    """Unix seconds (negative: seconds back from now) from a query string."""
    return query_number(text, name, "unix seconds", default=default, low=-MAX_TIME,
                        high=MAX_TIME)


def query_resolution(text):
    """0 (every window) or a bin width of at least one 10 ms step."""
    return query_number(text, "resolution", "seconds", low=STEP_S, high=MAX_RESOLUTION,
                        zero=True)


def query_limit(text, high):
    if text is None:
        return 1000
    if not text.isascii() or not text.isdigit() or len(text) > 9 or not 1 <= int(text) <= high:
        raise SchemaError(f"limit: expected 1 to {high}, got {shown(text)}")
    return int(text)


def query_ids(text, name):
    """Comma-separated integers (board mcuIds) from a query string."""
    out = []
    for item in text.split(","):
        item = item.strip(" ")
        if not (item.isascii() and item.isdigit() and len(item) <= 3):
            raise SchemaError(f"{name}: expected mcuIds, got {shown(item)}")
        out.append(int(item))
    return out


def query_flag(text, name):
    """true/false (or 1/0) from a query string; absent is false."""
    value = "false" if text is None else text.lower()
    if value not in ("true", "false", "1", "0"):
        raise SchemaError(f"{name}: expected true or false, got {shown(text)}")
    return value in ("true", "1")


def choice(text, name, allowed, default):
    value = default if text is None else text
    if value not in allowed:
        raise SchemaError(f"{name}: expected {' or '.join(allowed)}, got {shown(value)}")
    return value


def live_options(query):
    """(rate, mode, unit names or None) of a live-stream request's query."""
    rate = query_number(query.get("rate"), "rate", "messages per second", default=2.0,
                        low=MIN_RATE, high=MAX_RATE)
    mode = choice(query.get("mode"), "mode", LIVE_MODES, "summary")
    text = query.get("units")
    return rate, mode, unit_query(text) if text else None

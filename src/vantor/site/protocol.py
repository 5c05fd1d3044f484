"""What travels on the site's bus, in one place: subjects, the binary form of
a batch of windows, and the JSON of everything else.  Pure: no bus client is
imported here, so both ends, tests and benchmarks share it.

Subjects, under `vantor.NODE.`:
  windows          binary window batches (encode_windows), in the stream
  events, alarms   JSON, in the stream (alarm transitions, host events)
  state            JSON, in the stream: unit settings and state changes
  heartbeat        JSON, plain NATS (not kept): the node is alive
  cmd.VERB         request/reply JSON commands (COMMANDS)

A window batch is a fixed little-endian header, the node's name, then the
read model's rows as they are (WIRE_WINDOW_DTYPE), so a reader takes them
in place with numpy: no per-record encoding on either side."""
import json
import re
import struct

import numpy as np

from vantor.host.readmodel import WINDOW_DTYPE

PREFIX = "vantor"
STREAM = "VANTOR"                       # the JetStream stream the site reads
KEPT_KINDS = ("windows", "events", "alarms", "state")
COMMANDS = ("settings", "iv", "acquire", "cancel", "ack")
NODE_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")

MAGIC = b"VNTW"
VERSION = 1
# magic, version, header length (name included), batch time (Unix s), rows, row size, name length
HEADER = struct.Struct("<4sHHdIHB")
WIRE_WINDOW_DTYPE = WINDOW_DTYPE.newbyteorder("<")


def check_node_name(name):
    """The node's name, or ValueError naming what a subject cannot carry."""
    if not isinstance(name, str) or not NODE_NAME.fullmatch(name):
        raise ValueError(f"node name: expected 1-64 letters, digits, '-' or '_', got {name!r}")
    return name


def subject(node, kind):
    """`vantor.NODE.KIND` (KIND may itself be dotted, e.g. 'cmd.settings')."""
    return f"{PREFIX}.{node}.{kind}"


def command_subject(node, verb):
    if verb not in COMMANDS:
        raise ValueError(f"command: expected one of {', '.join(COMMANDS)}, got {verb!r}")
    return subject(node, f"cmd.{verb}")


def parse_subject(text):
    """(node, kind) of a subject under PREFIX, or ValueError."""
    parts = text.split(".", 2)
    if len(parts) != 3 or parts[0] != PREFIX or not NODE_NAME.fullmatch(parts[1]):
        raise ValueError(f"not a vantor subject: {text!r}")
    return parts[1], parts[2]


def stream_subjects():
    """The subjects the site's JetStream stream keeps."""
    return [f"{PREFIX}.*.{kind}" for kind in KEPT_KINDS]


def encode_windows(node, batch_time, rows):
    """Bytes of one batch of read-model rows (WINDOW_DTYPE) from `node`."""
    name = node.encode()
    rows = np.ascontiguousarray(rows, WIRE_WINDOW_DTYPE)
    head = HEADER.pack(MAGIC, VERSION, HEADER.size + len(name), batch_time, len(rows),
                       WIRE_WINDOW_DTYPE.itemsize, len(name))
    return head + name + rows.tobytes()


def decode_windows(data):
    """(node, batch time, rows) of an encode_windows message; the rows are a
    read-only view into `data`.  ValueError for anything else."""
    if len(data) < HEADER.size:
        raise ValueError(f"window batch: {len(data)} bytes, shorter than its "
                         f"{HEADER.size}-byte header")
    magic, version, head, batch_time, count, size, name_len = HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ValueError("window batch: not a vantor window batch (bad magic)")
    if version != VERSION:
        raise ValueError(f"window batch: version {version}, this vantor reads {VERSION}")
    if size != WIRE_WINDOW_DTYPE.itemsize or head != HEADER.size + name_len:
        raise ValueError(f"window batch: rows of {size} bytes after a {head}-byte header, "
                         f"expected {WIRE_WINDOW_DTYPE.itemsize} after {HEADER.size + name_len}")
    if len(data) != head + count * size:
        raise ValueError(f"window batch: {len(data)} bytes for {count} rows, "
                         f"expected {head + count * size}")
    try:
        node = check_node_name(bytes(data[HEADER.size:head]).decode())
    except (UnicodeDecodeError, ValueError):
        raise ValueError("window batch: the node's name is not a valid node name") from None
    rows = np.frombuffer(data, WIRE_WINDOW_DTYPE, count, head)
    return node, batch_time, rows


def encode_json(message):
    """Bytes of a JSON message (NaN is no JSON: the caller sends None)."""
    return json.dumps(message, separators=(",", ":"), allow_nan=False).encode()


def decode_json(data):
    """The object of a JSON message, or ValueError naming the fault."""
    try:
        message = json.loads(bytes(data).decode())
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as exc:
        raise ValueError(f"message is not JSON: {exc}") from None
    if not isinstance(message, dict):
        raise ValueError("message: expected a JSON object")
    return message


# -- the JSON messages of a node ---------------------------------------------------
# Their values come from the node's API answers, already JSON-safe (NaN as None).

MESSAGE_VERSION = 1


def heartbeat_message(node, now, units, http, buffered, dropped):
    """Plain NATS, every heartbeat_s: the node is alive, where its API is, and
    how much it holds back for (or lost to) a bus that was away."""
    return {"node": node, "time": now, "units": units, "http": http, "buffered": buffered,
            "dropped": dropped, "version": MESSAGE_VERSION}


def state_message(node, now, units, part=None, parts=None):
    """Every unit as GET /api/units answers it: a full snapshot each time, so a
    reader that starts late needs nothing earlier.  A snapshot too large for
    one message comes in `parts` messages of the same time (part 1..parts),
    each with its own units: a reader that takes units by name needs no more."""
    message = {"node": node, "time": now, "units": units}
    if parts is not None and parts > 1:
        message.update(part=part, parts=parts)
    return message


def state_messages(node, now, units, max_bytes):
    """The encoded messages of one snapshot, each at most `max_bytes` but for
    a single unit larger than that.  `units` are dicts or their encode_json
    bytes: a node encodes a few at a time between turns of its loop, and
    each unit is encoded once however the snapshot is cut."""
    encoded = [u if isinstance(u, bytes) else encode_json(u) for u in units]
    head = b'{"node":' + encode_json_value(node) + b',"time":' + encode_json_value(now) \
        + b',"units":['
    room = max_bytes - len(head) - len(b'],"part":,"parts":}') - 2 * 10
    chunks, chunk, size = [], [], 0
    for unit in encoded:
        if chunk and size + len(unit) + 1 > room:
            chunks.append(chunk)
            chunk, size = [], 0
        chunk.append(unit)
        size += len(unit) + 1
    chunks.append(chunk)
    if len(chunks) == 1:
        return [head + b",".join(chunks[0]) + b"]}"]
    return [head + b",".join(c) + b'],"part":%d,"parts":%d}' % (k + 1, len(chunks))
            for k, c in enumerate(chunks)]


def encode_json_value(value):
    return json.dumps(value, separators=(",", ":"), allow_nan=False).encode()


def event_message(node, now, event):
    return {"node": node, "time": now, "event": event}


ALARM_TRANSITIONS = ("raised", "cleared", "acknowledged")


def alarm_message(node, now, transition, alarm):
    """`alarm` as /api/alarms lists it (without the transition's own keys)."""
    if transition not in ALARM_TRANSITIONS:
        raise ValueError(f"alarm transition: expected one of {', '.join(ALARM_TRANSITIONS)}, "
                         f"got {transition!r}")
    return {"node": node, "time": now, "transition": transition, "alarm": alarm}


def command_reply(status, body):
    """The answer to a command: the HTTP status and JSON body the API gives."""
    return {"status": status, "body": body}

"""The host's settings: microcontrollers, their channel units with rank and
configuration, and the back-end values, read from TOML or built in.

The object graph is what the hub reads: ``settings.devices`` (mcuId ->
microcontroller), ``.channels`` (cuId -> unit), ``.rank``, ``.configuration``
with ``get_c_value(name)``, ``inverted`` and ``biasSweepT``."""
import math
import tomllib

from vantor.wire import CU_CONFIG, CU_CONFIG_FIELDS, f32, unit_label
from .limits import DEFAULT_LIMITS, LimitError, as_table, check as check_limit, parse_limits
from .sources import parse_address
from vantor.alarms.options import AlarmOptions, parse_alarms
from vantor.history.options import ArchiveOptions, parse_archive
from vantor.epics.options import EpicsOptions, parse_epics
from vantor.sim.options import parse_sim
from .latch import LatchOptions, parse_latch

U8_FIELDS = {"mcuId", "cuId", "cuStatus", "prescale", "pgaGain", "powered", "inverted"}
U32_FIELDS = {"unlatchT", "biasSweepT"}
UNIT_FIELDS = tuple(f for f in CU_CONFIG_FIELDS if f not in ("mcuId", "cuId"))

# A plausible unit: 10 kOhm bias resistor, shunted sensor, 20 uA working point
# and a 0..40 uA sweep in 1 uA points of 100 ms.
UNIT_DEFAULTS = {
    "cuStatus": 0, "prescale": 1, "pgaGain": 4, "powered": 1, "inverted": 0,
    "triggerV": 0.1, "biasI": 2.0e-5, "latchV": 0.5, "latchFLow": 0.2, "latchFHigh": 0.8,
    "unlatchT": 5, "biasIStart": 0.0, "biasIStop": 4.0e-5, "biasIStep": 1.0e-6,
    "biasSweepT": 10, "resistorCryo": 5.0, "resistorParallel": 100.0,
    "resistorSeries": 50.0, "resistorBias": 10000.0,
}
TOP_DEFAULTS = {"buffSize": 100, "timeout": 1.0, "maxFails": 10}


class SettingsError(ValueError):
    """A settings file or table that cannot be used; the message names the key."""


class Configuration:
    """One unit's cu_config values; floats hold their binary32 values."""

    def __init__(self, values, limits=None):
        self.__dict__["_values"] = dict(values)
        self.__dict__["_limits"] = limits if limits is not None else DEFAULT_LIMITS

    def __getattr__(self, name):
        try:
            return self.__dict__["_values"][name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        raise AttributeError("configuration values change through Host.set_config")

    def get_c_value(self, name):
        return self._values[name]

    def as_dict(self):
        return dict(self._values)

    def replaced(self, **changes):
        values = dict(self._values)
        for key, value in changes.items():
            if key not in values:
                raise SettingsError(f"{key}: not a cu_config field")
            values[key] = _convert(key, key, value, self._limits)
        return Configuration(values, self._limits)

    def to_bytes(self):
        return CU_CONFIG.pack(*(self._values[f] for f in CU_CONFIG_FIELDS))


class ChannelUnit:
    def __init__(self, mcuId, cuId, rank, configuration):
        self.mcuId, self.cuId, self.rank = mcuId, cuId, rank
        self.configuration = configuration

    @property
    def label(self):
        return unit_label(self.mcuId, self.cuId)


class Microcontroller:
    def __init__(self, mcuId):
        self.mcuId = mcuId
        self.channels = {}
        self.address = None   # (host, port) its datagrams must come from; None: learned


class Settings:
    alarms = AlarmOptions()       # the [alarms] table
    archive = ArchiveOptions()    # the [archive] table
    epics = EpicsOptions()        # the [epics] table
    sim = None                    # the [sim] table (SimOptions), None without one
    latch = LatchOptions()        # the [latch] table
    bus = None                    # the [bus] table (vantor.site.options.BusOptions)

    def __init__(self, devices, buffSize, timeout, maxFails, source="<built-in>", doc=None,
                 limits=None):
        self.devices = devices
        self._units = None
        self.limits = limits if limits is not None else dict(DEFAULT_LIMITS)   # field -> (min, max)
        self.doc = doc  # the table it was read from, so worker processes can rebuild it
        self.buffSize, self.timeout, self.maxFails = buffSize, timeout, maxFails
        self.source = source

    def units(self):
        """Every channel unit in rank order (the hub's visiting order).  Built
        once: the units are fixed when the settings are read, and a change of
        configuration replaces a unit's `configuration`, not the unit."""
        if self._units is None:
            self._units = tuple(cu for mcu in self.devices.values()
                                for cu in mcu.channels.values())
        return self._units

    def unit(self, mcuId, cuId):
        return self.devices[mcuId].channels[cuId]

    def limits_table(self):
        """{field: {"min", "max", "type", "unit"}}, ready to be sent as JSON."""
        return as_table(self.limits)

    def check(self, field, value):
        """`value` converted as the field is stored, or SettingsError naming the
        field when it is no number of the field's type or lies outside its limits."""
        return _convert(field, field, value, self.limits)


def _convert(where, name, value, limits=DEFAULT_LIMITS):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise SettingsError(f"{where}: expected a number, got {value!r}")
    if name in U8_FIELDS or name in U32_FIELDS:
        top = 255 if name in U8_FIELDS else 4294967295
        if not isinstance(value, int) or not 0 <= value <= top:
            raise SettingsError(f"{where}: expected an integer 0 to {top}, got {value!r}")
    elif not math.isfinite(value) or abs(value) > 3.4e38:
        raise SettingsError(f"{where}: expected a finite binary32 number, got {value!r}")
    try:
        check_limit(name, value, limits, where)
    except LimitError as exc:
        raise SettingsError(str(exc)) from None
    return value if name in U8_FIELDS or name in U32_FIELDS else f32(value)


def _check_keys(where, table, allowed):
    if not isinstance(table, dict):
        raise SettingsError(f"{where}: expected a table, got {table!r}")
    for key in table:
        if key not in allowed:
            raise SettingsError(f"{where + '.' if where else ''}{key}: unknown key")


def parse_settings(doc, source="<table>"):
    """Settings from a parsed TOML document (see README, Running)."""
    _check_keys("", doc, set(TOP_DEFAULTS) | {"unit", "mcu", "limits", "alarms", "archive",
                                              "sim", "latch", "epics", "bus"})
    try:
        limits = parse_limits(doc.get("limits"))
    except LimitError as exc:
        raise SettingsError(str(exc)) from None
    try:
        alarms, archive = parse_alarms(doc.get("alarms", {})), parse_archive(doc.get("archive", {}))
        latch = parse_latch(doc.get("latch", {}))
        epics = parse_epics(doc.get("epics"))
        from vantor.site.options import parse_bus     # here: it reads the host's read model
        bus = parse_bus(doc.get("bus"))
    except ValueError as exc:
        raise SettingsError(str(exc)) from None
    top = dict(TOP_DEFAULTS)
    for key in TOP_DEFAULTS:
        if key in doc:
            value = doc[key]
            if key == "timeout":
                if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                    raise SettingsError(f"timeout: expected seconds > 0, got {value!r}")
                top[key] = float(value)
            elif isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 4294967295:
                raise SettingsError(f"{key}: expected an integer 0 to 4294967295, got {value!r}")
            else:
                top[key] = value
    if top["buffSize"] == 0:
        raise SettingsError("buffSize: must not be 0 (integration window in 10 ms steps)")
    for key, value in top.items():
        if key in doc:
            try:
                check_limit(key, value, limits)
            except LimitError as exc:
                raise SettingsError(str(exc)) from None

    defaults = {}
    for key, value in UNIT_DEFAULTS.items():
        where = f"unit.{key} (built-in default)"
        defaults[key] = _convert(where, key, value, limits)
    base = doc.get("unit", {})
    _check_keys("unit", base, set(UNIT_FIELDS))
    for key, value in base.items():
        defaults[key] = _convert(f"unit.{key}", key, value, limits)

    mcus = doc.get("mcu")
    if not isinstance(mcus, list) or not mcus:
        raise SettingsError("mcu: expected at least one [[mcu]] table")
    devices, rank = {}, 0
    for i, mcu_table in enumerate(mcus):
        where = f"mcu[{i}]"
        _check_keys(where, mcu_table, {"mcuId", "unit", "address"})
        if "mcuId" not in mcu_table:
            raise SettingsError(f"{where}.mcuId: missing")
        mcu_id = _convert(f"{where}.mcuId", "mcuId", mcu_table["mcuId"])
        if mcu_id in devices:
            raise SettingsError(f"{where}.mcuId: {mcu_id} appears twice")
        mcu = devices[mcu_id] = Microcontroller(mcu_id)
        if "address" in mcu_table:
            try:
                mcu.address = parse_address(mcu_table["address"], f"{where}.address")
            except ValueError as exc:
                raise SettingsError(str(exc)) from None
        units = mcu_table.get("unit")
        if not isinstance(units, list) or not units:
            raise SettingsError(f"{where}.unit: expected at least one [[mcu.unit]] table")
        for j, unit_table in enumerate(units):
            uwhere = f"{where}.unit[{j}]"
            _check_keys(uwhere, unit_table, {"cuId", "rank"} | set(UNIT_FIELDS))
            for key in ("cuId", "rank"):
                if key not in unit_table:
                    raise SettingsError(f"{uwhere}.{key}: missing")
            cu_id = _convert(f"{uwhere}.cuId", "cuId", unit_table["cuId"])
            if cu_id in mcu.channels:
                raise SettingsError(f"{uwhere}.cuId: mcu {mcu_id}, cu {cu_id} appears twice")
            rank += 1
            if unit_table["rank"] != rank or isinstance(unit_table["rank"], bool):
                raise SettingsError(f"{uwhere}.rank: expected {rank} (ranks count 1..N in file "
                                    f"order), got {unit_table['rank']!r}")
            values = {"mcuId": mcu_id, "cuId": cu_id, **defaults}
            for key in UNIT_FIELDS:
                if key in unit_table:
                    values[key] = _convert(f"{uwhere}.{key}", key, unit_table[key], limits)
            mcu.channels[cu_id] = ChannelUnit(mcu_id, cu_id, rank, Configuration(values, limits))
    settings = Settings(devices, source=source, doc=doc, limits=limits, **top)
    settings.alarms, settings.archive, settings.latch = alarms, archive, latch
    settings.epics, settings.bus = epics, bus
    if "sim" in doc:
        try:
            settings.sim = parse_sim(doc["sim"], [(cu.mcuId, cu.cuId) for cu in settings.units()])
        except ValueError as exc:
            raise SettingsError(str(exc)) from None
    return settings


def load_settings(path):
    try:
        with open(path, "rb") as fh:
            doc = tomllib.load(fh)
    except tomllib.TOMLDecodeError as exc:
        raise SettingsError(f"{path}: not valid TOML: {exc}") from None
    except UnicodeDecodeError as exc:
        line = exc.object[:exc.start].count(b"\n") + 1
        raise SettingsError(f"{path}: line {line}: byte 0x{exc.object[exc.start]:02x} is not "
                            "UTF-8; save the file as UTF-8") from None
    except OSError as exc:
        raise SettingsError(f"{path}: {exc.strerror}") from None
    try:
        return parse_settings(doc, source=str(path))
    except SettingsError as exc:
        raise SettingsError(f"{path}: {exc}") from None


def default_settings(mcus=4, units=8, **top):
    """mcus x units channel units, ranks counting through microcontrollers."""
    if not 1 <= mcus <= 256 or not 1 <= units <= 256:
        raise SettingsError("mcus and units: expected 1 to 256")
    doc = {"mcu": [{"mcuId": m, "unit": [{"cuId": c, "rank": m * units + c + 1}
                                         for c in range(units)]} for m in range(mcus)]}
    doc.update(top)
    return parse_settings(doc, source="<built-in>")

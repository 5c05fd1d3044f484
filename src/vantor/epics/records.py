"""The EPICS records of units, boards and totals: names, engineering units,
display limits and the alarm severity each state carries.  Built with
pythonSoftIOC's builder before the IOC starts; nothing here talks to the host."""
from vantor.wire import current_to_voltage

STATUS_WORDS = ("ok", "IV", "silent", "update", "unheard")
STATUS_SEVERITY = {"silent": "MAJOR", "unheard": "MAJOR"}
STATUS_STATES = {f"{prefix}{kind}": value
                 for prefix, (index, word) in zip(("ZR", "ON", "TW", "TH", "FR"),
                                                  enumerate(STATUS_WORDS))
                 for kind, value in (("ST", word), ("VL", index),
                                     ("SV", STATUS_SEVERITY.get(word, "NO_ALARM")))}
DEVICE_TIME = {"TSE": -2}                   # the timestamp we give is the window's
# every window is posted, changed or not, with its own time
WINDOW_RECORD = {"DTYP": "Soft Channel", "MDEL": -1, "ADEL": -1, **DEVICE_TIME}
RATE_HOPR = 1e6                             # counts/s shown without a band


IN_DEFAULTS = {"SCAN": "I/O Intr", "PINI": "YES", "DISP": 1}   # the builder's, made explicit


class Checked(str):
    """A field value whose kind the database definitions already accepted for
    the first unit.  The builder checks every field by walking the record's
    definition (about 10 ms a unit, 20 s for 2048 units): the values of later
    units skip that walk through its Validate hook."""

    def Validate(self, record, field):
        pass


class _Fields:
    def __init__(self, checked):
        self.checked = checked

    def __call__(self, record_in=True, **fields):
        """The fields of a record (a pythonSoftIOC input record's scan fields
        added when `record_in`)."""
        if record_in:
            fields = {**IN_DEFAULTS, **fields}
        if not self.checked:
            return fields
        return {k: Checked(v) for k, v in fields.items() if v is not None}


class UnitRecords:
    """The records of one channel unit, `{P}U{rank}:...`; `checked`: the
    first unit's records were built (and their fields checked) before."""

    def __init__(self, builder, prefix, cu, limits, band, validate, checked=False):
        f = _Fields(checked)
        p = f"{prefix}U{cu.rank}:"
        low, high = limits.get("biasI", (0.0, 1e-4))
        config = cu.configuration.as_dict()
        volts = abs(high) * current_to_voltage(config["resistorCryo"],
                                               config["resistorParallel"],
                                               config["resistorSeries"],
                                               config["resistorBias"])
        rate_high = band[1] if band is not None and band[1] is not None else RATE_HOPR
        # written every window by window_records (plain records, no Python on update)
        soft = builder.records
        self.rate = soft.ai(p + "RATE", **f(False, LOPR=0, HOPR=rate_high, EGU="cts/s", PREC=1,
                                            DESC=f"count rate of unit {cu.label}",
                                            **WINDOW_RECORD))
        self.monitor = soft.ai(p + "MONV", **f(False, LOPR=-volts, HOPR=volts, EGU="V", PREC=4,
                                               DESC="mean monitor voltage", **WINDOW_RECORD))
        self.counts = soft.longin(p + "COUNTS", **f(False, LOPR=0, HOPR=int(min(rate_high, 2e9)),
                                                    EGU="counts", DESC="counts of the last window",
                                                    **WINDOW_RECORD))
        self.bias_rbv = builder.aIn(p + "BIAS_RBV", **f(LOPR=low, HOPR=high, EGU="A", PREC=9,
                                                        DESC="bias current the unit echoes",
                                                        **DEVICE_TIME))
        self.bias_sp = builder.aOut(p + "BIAS_SP", initial_value=config["biasI"],
                                    always_update=True, validate=validate,
                                    **f(False, LOPR=low, HOPR=high, EGU="A", PREC=9,
                                        DESC="bias current set point", ASG="BIAS",
                                        OMSL="supervisory"))
        self.status = builder.mbbIn(p + "STATUS", **f(DESC="unit state", **STATUS_STATES,
                                                      **DEVICE_TIME))
        self.updates = builder.longIn(p + "UPDATES", **f(LOPR=0, EGU="updates",
                                                         DESC="corrections sent",
                                                         **DEVICE_TIME))
        self.name = builder.stringIn(p + "NAME", initial_value=cu.label, **f(DESC="MCU.CU"))
        self.window = None          # WindowRecords of RATE, MONV, COUNTS once the IOC runs


class BoardRecords:
    """The records of one microcontroller, `{P}MCU{mcuId}:...`."""

    def __init__(self, builder, prefix, mcu_id, alarms):
        p = f"{prefix}MCU{mcu_id}:"
        self.temp1 = builder.aIn(p + "TEMP1", LOPR=alarms.temp1_min, HOPR=alarms.temp1_max,
                                 EGU="degC", PREC=2, DESC="first temperature", **DEVICE_TIME)
        self.temp2 = builder.aIn(p + "TEMP2", LOPR=alarms.temp2_min, HOPR=alarms.temp2_max,
                                 EGU="K", PREC=3, DESC="second temperature", **DEVICE_TIME)
        self.pll = builder.boolIn(p + "PLL", ZNAM="unlocked", ONAM="locked",
                                  DESC="PLL lock", **DEVICE_TIME)
        self.status = builder.longIn(p + "STATUS", LOPR=0, HOPR=255, DESC="board status byte",
                                     **DEVICE_TIME)


class TotalRecords:
    """`{P}RECORDS`, `{P}DROPPED`, `{P}LATE` (counters of the data path) and
    `{P}ALARMS` (alarms active now)."""

    def __init__(self, builder, prefix):
        self.counters = {key: builder.int64In(prefix + name, LOPR=0, EGU=unit,
                                              DESC=desc, **DEVICE_TIME)
                         for name, key, unit, desc in (
                             ("RECORDS", "records_in", "records", "records into the workers"),
                             ("DROPPED", "dropped", "datagrams", "datagrams lost"),
                             ("LATE", "late", "datagrams", "datagrams that came late"))}
        self.alarms = builder.longIn(prefix + "ALARMS", LOPR=0, EGU="alarms",
                                     DESC="active alarms", **DEVICE_TIME)


def access_rules(writes):
    """An access-security file when none is given: reads for everybody, and
    writes to BIAS_SP for everybody or nobody."""
    write = "    RULE(1, WRITE)\n" if writes else ""
    return ("ASG(DEFAULT) {\n    RULE(1, READ)\n}\n"
            f"ASG(BIAS) {{\n    RULE(1, READ)\n{write}}}\n")

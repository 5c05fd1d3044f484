"""The EPICS records of units, boards and totals: names, engineering units,
display limits and the alarm severity each state carries.  Built with
pythonSoftIOC's builder before the IOC starts; nothing here talks to the host.

Every record that changes is a plain "Soft Channel" record that
window_records writes; only BIAS_SP (puts) and NAME (fixed) are
pythonSoftIOC's own."""
from vantor.wire import STATUS_WORDS, current_to_voltage

STATUS_SEVERITY = {"silent": "MAJOR", "unheard": "MAJOR", "latched": "MAJOR"}
STATUS_STATES = {f"{prefix}{kind}": value
                 for prefix, (index, word) in zip(("ZR", "ON", "TW", "TH", "FR", "FV", "SX"),
                                                  enumerate(STATUS_WORDS))
                 for kind, value in (("ST", word), ("VL", index),
                                     ("SV", STATUS_SEVERITY.get(word, "NO_ALARM")))}
# written by us with the time the value stands for (TSE -2: the record keeps it)
SOFT = {"DTYP": "Soft Channel", "TSE": -2}
# posted every window, changed or not
EVERY_WINDOW = {**SOFT, "MDEL": -1, "ADEL": -1}
RATE_HOPR = 1e6                             # counts/s shown without a band


class Checked(str):
    """A field value whose kind the database definitions already accepted for
    the first unit.  The builder checks every field by walking the record's
    definition (about 10 ms a unit, 20 s for 2048 units): the values of later
    units skip that walk through its Validate hook."""

    def Validate(self, record, field):
        pass


class Records:
    """A group of records; `soft` builds one that window_records writes, and
    `resolve` swaps each for its WindowRecord once the IOC runs."""

    def __init__(self, builder, checked):
        self._builder, self._checked, self._soft = builder, checked, []

    def fields(self, **fields):
        if not self._checked:
            return fields
        return {k: Checked(v) for k, v in fields.items() if v is not None}

    def soft(self, attribute, kind, name, **fields):
        record = getattr(self._builder.records, kind)(name, **self.fields(**fields))
        setattr(self, attribute, record)
        self._soft.append((attribute, kind, name))

    def resolve(self, writer):
        for attribute, kind, name in self._soft:
            setattr(self, attribute, writer.record(name, kind))


class UnitRecords(Records):
    """The records of one channel unit, `{P}U{rank}:...`; `checked`: the
    first unit's records were built (and their fields checked) before."""

    def __init__(self, builder, prefix, cu, limits, band, validate, checked=False):
        super().__init__(builder, checked)
        p = f"{prefix}U{cu.rank}:"
        low, high = limits.get("biasI", (0.0, 1e-4))
        config = cu.configuration.as_dict()
        volts = abs(high) * current_to_voltage(config["resistorCryo"],
                                               config["resistorParallel"],
                                               config["resistorSeries"],
                                               config["resistorBias"])
        rate_high = band[1] if band is not None and band[1] is not None else RATE_HOPR
        self.soft("rate", "ai", p + "RATE", LOPR=0, HOPR=rate_high, EGU="cts/s", PREC=1,
                  DESC=f"count rate of unit {cu.label}", **EVERY_WINDOW)
        self.soft("monitor", "ai", p + "MONV", LOPR=-volts, HOPR=volts, EGU="V", PREC=4,
                  DESC="mean monitor voltage", **EVERY_WINDOW)
        self.soft("counts", "longin", p + "COUNTS", LOPR=0, HOPR=int(min(rate_high, 2e9)),
                  EGU="counts", DESC="counts of the last window", **EVERY_WINDOW)
        self.soft("bias_rbv", "ai", p + "BIAS_RBV", LOPR=low, HOPR=high, EGU="A", PREC=9,
                  DESC="bias current the unit echoes", **SOFT)
        self.soft("status", "mbbi", p + "STATUS", DESC="unit state", **STATUS_STATES, **SOFT)
        self.soft("updates", "longin", p + "UPDATES", LOPR=0, EGU="updates",
                  DESC="corrections sent", **SOFT)
        self.bias_sp = builder.aOut(p + "BIAS_SP", initial_value=config["biasI"],
                                    always_update=True, validate=validate,
                                    **self.fields(LOPR=low, HOPR=high, EGU="A", PREC=9,
                                                  DESC="bias current set point", ASG="BIAS",
                                                  OMSL="supervisory"))
        self.name = builder.stringIn(p + "NAME", initial_value=cu.label,
                                     **self.fields(DESC="MCU.CU", SCAN="I/O Intr", PINI="YES"))

    @property
    def window(self):
        """The records written every window."""
        return self.rate, self.monitor, self.counts


class BoardRecords(Records):
    """The records of one microcontroller, `{P}MCU{mcuId}:...`."""

    def __init__(self, builder, prefix, mcu_id, alarms):
        super().__init__(builder, False)
        p = f"{prefix}MCU{mcu_id}:"
        self.soft("temp1", "ai", p + "TEMP1", LOPR=alarms.temp1_min, HOPR=alarms.temp1_max,
                  EGU="degC", PREC=2, DESC="first temperature", **SOFT)
        self.soft("temp2", "ai", p + "TEMP2", LOPR=alarms.temp2_min, HOPR=alarms.temp2_max,
                  EGU="K", PREC=3, DESC="second temperature", **SOFT)
        self.soft("pll", "bi", p + "PLL", ZNAM="unlocked", ONAM="locked", DESC="PLL lock",
                  **SOFT)
        self.soft("status", "longin", p + "STATUS", LOPR=0, HOPR=255,
                  DESC="board status byte", **SOFT)


class TotalRecords(Records):
    """`{P}RECORDS`, `{P}DROPPED`, `{P}LATE` (counters of the data path) and
    `{P}ALARMS` (alarms active now)."""

    COUNTERS = (("RECORDS", "records_in", "records", "records into the workers"),
                ("DROPPED", "dropped", "datagrams", "datagrams lost"),
                ("LATE", "late", "datagrams", "datagrams that came late"))

    def __init__(self, builder, prefix):
        super().__init__(builder, False)
        for name, key, unit, desc in self.COUNTERS:
            self.soft(key, "int64in", prefix + name, LOPR=0, EGU=unit, DESC=desc, **SOFT)
        self.soft("alarms", "longin", prefix + "ALARMS", LOPR=0, EGU="alarms",
                  DESC="active alarms", **SOFT)

    @property
    def counters(self):
        return {key: getattr(self, key) for _, key, _, _ in self.COUNTERS}


def access_rules(writes):
    """An access-security file when none is given: reads for everybody, and
    writes to BIAS_SP for everybody or nobody."""
    write = "    RULE(1, WRITE)\n" if writes else ""
    return ("ASG(DEFAULT) {\n    RULE(1, READ)\n}\n"
            f"ASG(BIAS) {{\n    RULE(1, READ)\n{write}}}\n")

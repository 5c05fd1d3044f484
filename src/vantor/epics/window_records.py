"""The records that change (every window: RATE, MONV, COUNTS; when they
change: the rest), written from the service's loop straight into the IOC's
database.

They are plain "Soft Channel" records, processed by the IOC's own C code: a
value, the time it stands for and its alarm go into the record under its
lock, then the record is processed, which posts it to every Channel Access
and pvAccess monitor.  That takes about 3 us a record on the loop's thread.
pythonSoftIOC's own records run Python for every update in the IOC's
threads, and 6000 updates a second (2048 units) fought the loop for the
interpreter: 90 us each, half a second per window."""
import ctypes

EPICS_EPOCH = 631152000      # 1990-01-01 in Unix seconds: EPICS timestamps count from there
# the VAL field of each record type written here
VALUE_TYPES = {"ai": ctypes.c_double, "longin": ctypes.c_int32, "int64in": ctypes.c_int64,
               "mbbi": ctypes.c_uint16, "bi": ctypes.c_uint16}


class _Address(ctypes.Structure):
    # dbAddr begins with the record's address; the rest is the IOC's business
    _fields_ = [("precord", ctypes.c_void_p), ("pfield", ctypes.c_void_p),
                ("rest", ctypes.c_char * 128)]


class WindowRecord:
    """One record's value, time and alarm fields, as ctypes views."""
    __slots__ = ("record", "value", "seconds", "nanoseconds", "severity", "status", "udf")

    def __init__(self, address, offsets, value_type):
        self.record = address
        at = {name: address + offsets[name][0] for name in ("VAL", "TIME", "NSEV", "NSTA", "UDF")}
        self.value = value_type.from_address(at["VAL"])
        self.seconds = ctypes.c_uint32.from_address(at["TIME"])
        self.nanoseconds = ctypes.c_uint32.from_address(at["TIME"] + 4)
        self.severity = ctypes.c_uint16.from_address(at["NSEV"])
        self.status = ctypes.c_uint16.from_address(at["NSTA"])
        self.udf = ctypes.c_uint8.from_address(at["UDF"])


class WindowWriter:
    """Finds the records by name once the IOC runs; then writes them."""

    def __init__(self, db_core, field_offsets):
        # Called with the interpreter lock held: these return in microseconds
        # and never wait for Python, while releasing the lock 18000 times a
        # second let any other thread take it for up to 5 ms each time.
        self._db = db = ctypes.PyDLL(db_core._name)
        db.dbNameToAddr.argtypes = (ctypes.c_char_p, ctypes.POINTER(_Address))
        for name in ("dbScanLock", "dbScanUnlock", "dbProcess"):
            getattr(db, name).argtypes = (ctypes.c_void_p,)
        self._offsets = {kind: field_offsets(kind) for kind in VALUE_TYPES}

    def record(self, name, kind):
        address = _Address()
        if self._db.dbNameToAddr(name.encode(), ctypes.byref(address)) != 0:
            raise RuntimeError(f"EPICS record {name} is not in the IOC's database")
        return WindowRecord(address.precord, self._offsets[kind], VALUE_TYPES[kind])

    def write(self, record, value, when, severity=0, status=0):
        """`value` (None: keep the last one) measured at `when` (Unix s; None:
        now), with an alarm severity and status."""
        lock = self._db
        lock.dbScanLock(record.record)
        try:
            if value is not None:
                record.value.value = value
                record.udf.value = 0
            if when is not None:
                epics_time = when - EPICS_EPOCH
                seconds = int(epics_time)
                record.seconds.value = seconds
                record.nanoseconds.value = int((epics_time - seconds) * 1e9)
            record.severity.value, record.status.value = severity, status
            lock.dbProcess(record.record)
        finally:
            lock.dbScanUnlock(record.record)

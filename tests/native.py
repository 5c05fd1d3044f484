"""Access to the native functions that modules publish to each other, through
their capsules, so tests can call them without the host-facing classes."""
import ctypes

from tests.wire import LAYOUTS

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_ptr = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_ptr.restype = ctypes.c_void_p
_capsule_ptr.argtypes = [ctypes.py_object, ctypes.c_char_p]

_CTYPES = {"B": ctypes.c_uint8, "I": ctypes.c_uint32, "f": ctypes.c_float, "d": ctypes.c_double}


def _structure(record):
    """ctypes mirror of a record, derived from the struct format so padding is explicit."""
    fmt, names = LAYOUTS[record]
    fields, it, pad = [], iter(names), 0
    i = 1
    while i < len(fmt):
        count = ""
        while fmt[i].isdigit():
            count += fmt[i]
            i += 1
        code, n = fmt[i], int(count or 1)
        if code == "x":
            fields.append((f"_pad{pad}", ctypes.c_uint8 * n))
            pad += 1
        else:
            fields.extend((next(it), _CTYPES[code]) for _ in range(n))
        i += 1
    return type(record, (ctypes.Structure,), {"_fields_": fields})


CuMessage = _structure("cu_message")
CuConfig = _structure("cu_config")
StreamData = _structure("stream_data")
assert ctypes.sizeof(CuMessage) == 60 and ctypes.sizeof(CuConfig) == 64
assert ctypes.sizeof(StreamData) == 32


def native_function(module, name, restype, *argtypes):
    """The function `module` publishes as `name`, callable with the GIL held so
    that an error it raises surfaces as a Python exception."""
    capsule = module._native_api[name]
    pointer = _capsule_ptr(capsule, _capsule_name(capsule))
    return ctypes.PYFUNCTYPE(restype, *argtypes)(pointer)

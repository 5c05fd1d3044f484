"""Lint-style checks over the native sources: the host-facing messages and the
argument parsing live in the shared layer only, so every module behaves alike."""
import pathlib
import re

import pytest

NATIVE = pathlib.Path(__file__).resolve().parent.parent / "native"
MODULE_SOURCES = sorted(p for p in NATIVE.glob("*/*.[ch]pp") if p.parent.name not in ("common", "core"))
CORE_SOURCES = sorted(NATIVE.glob("core/**/*.[ch]pp"))

SHARED_ONLY = [
    r"PyArg_Parse",                       # argument parsing goes through vt::Signature
    r"positional argument",
    r"unexpected keyword argument",
    r"has incorrect type",
    r"an integer is required",
    r"value too large to convert",
    r"can't convert negative value",
    r"Expected %\.42s",
    r"values? to unpack",
    r"\bffast-math\b",
    # Error texts are worded once, in the shared layer's messages.
    r"\bPyErr_(SetString|Format|SetObject)\b",
    r"\bPyUnicode_FromFormat\b",
    # One boundary turns C++ exceptions into host errors, and one place casts
    # METH_FASTCALL functions for the method table.
    r"\bcatch\s*\(",
    r"reinterpret_cast<PyCFunction>",
    r"\bMETH_(FASTCALL|O|NOARGS|VARARGS)\b",            # method tables use vt::method
    r"\{ *Py_(tp|mod)_\w+, *reinterpret_cast",          # slots use vt::slot
    # Classes and host objects live in the module's state, not in globals.
    r"(?m)^(static )?PyTypeObject *\* *\w+;",
    r"\bstatic PyObject *\*",
]


@pytest.mark.skipif(not MODULE_SOURCES, reason="native sources not shipped with this checkout")
@pytest.mark.parametrize("path", MODULE_SOURCES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_modules_leave_parsing_and_messages_to_the_shared_layer(path):
    text = path.read_text()
    found = [pat for pat in SHARED_ONLY if re.search(pat, text)]
    assert not found, f"{path.name} repeats shared-layer work: {found}"


def test_every_module_source_is_checked():
    names = {p.parent.name for p in MODULE_SOURCES}
    assert {"wirelayouts", "lanemath", "lanecore"} <= names


@pytest.mark.skipif(not CORE_SOURCES, reason="native sources not shipped with this checkout")
@pytest.mark.parametrize("path", CORE_SOURCES, ids=lambda p: str(p.relative_to(NATIVE)))
def test_core_builds_without_python(path):
    found = re.findall(r"Python\.h|\bPy[A-Z_]\w*|common/\w+\.hpp", path.read_text())
    assert not found, f"{path.name} reaches into the interpreter: {sorted(set(found))}"

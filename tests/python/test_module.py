"""The module as the host package sees it: import, class registration,
re-import, sub-interpreters, and an import that does nothing else."""

import importlib
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from corvane import corvane_rs

# The module's classes, in the order it adds them.
CLASS_ORDER = [
    "CircuitRouting",
    "CliffordSynthesis",
    "PermutationSynthesis",
    "LinearFunctionSynthesis",
]


def run_python(code):
    """Runs code in a fresh interpreter process and returns its stdout."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_module_identity():
    assert corvane_rs.__name__ == "corvane.corvane_rs"
    doc = corvane_rs.__doc__
    assert isinstance(doc, str) and doc.endswith(".") and doc.count(". ") == 0


def test_all_lists_the_classes_in_order_and_nothing_else():
    names = corvane_rs.__all__
    assert type(names) is list
    assert names == CLASS_ORDER
    # Besides the interpreter's own dunder attributes, only the classes.
    public = {name for name in dir(corvane_rs) if not name.startswith("__")}
    assert public == set(names)
    for name in names:
        cls = getattr(corvane_rs, name)
        assert isinstance(cls, type)
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (cls,), {})


def test_reimport_returns_the_same_module():
    first = sys.modules["corvane.corvane_rs"]
    before = list(first.__all__)
    del sys.modules["corvane.corvane_rs"]
    try:
        again = importlib.import_module("corvane.corvane_rs")
    finally:
        sys.modules["corvane.corvane_rs"] = first
    assert again is first
    assert again.__all__ == before  # the classes were not added a second time


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as failure:
            interpreters.run_string(interp, "import corvane.corvane_rs")
    finally:
        interpreters.destroy(interp)
    assert "ImportError" in str(failure.value)
    assert "sub-interpreters" in str(failure.value)
    # The main interpreter keeps its module.
    assert sys.modules["corvane.corvane_rs"] is corvane_rs


def test_import_starts_no_thread_and_prints_nothing():
    out = run_python(
        """
        import os, threading
        def native_threads():
            return len(os.listdir("/proc/self/task"))
        python_before, native_before = threading.active_count(), native_threads()
        from corvane import corvane_rs
        print(threading.active_count() - python_before, native_threads() - native_before)
        """
    )
    assert out == "0 0\n"


def test_stub_and_companion_data_lie_beside_the_module():
    here = Path(corvane_rs.__file__).parent
    assert "class LinearFunctionSynthesis" in (here / "corvane_rs.pyi").read_text()
    repo = Path(__file__).resolve().parents[2]
    for name in ("permutation.json", "clifford.json"):
        assert (here / "corvane_rs_models" / name).read_bytes() == (repo / "models" / name).read_bytes()

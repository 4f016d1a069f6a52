"""Shared pieces of the synthesis tests: the published companion data, the
constructor arguments built from it, and a way to run code in a child
interpreter and read what it wrote to descriptor 1."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def companion(name):
    return json.loads((REPO / "models" / f"{name}.json").read_text())


def is_panic(exc):
    cls = type(exc)
    return cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"


def run_child(code):
    """Runs code in a fresh interpreter, its stdout buffered as a user's pipe
    is; returns (returncode, stdout, stderr)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300, cwd=REPO)
    return done.returncode, done.stdout, done.stderr

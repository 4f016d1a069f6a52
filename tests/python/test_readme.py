"""The README as a user meets it: its Python blocks run in order from an
empty folder against the installed module, and its table of linear-function
models is the one the model generator's trees give."""

import os
import re
import subprocess
import sys
from pathlib import Path

from corvane import corvane_rs

from tools import readme_tables

README = Path(__file__).resolve().parents[2] / "README.md"


def test_python_blocks_run_in_order_from_an_empty_folder(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.S | re.M)
    assert len(blocks) >= 8
    script = tmp_path / "readme.py"
    script.write_text("\n".join(blocks))
    # The module these tests import, wherever it was found.
    env = dict(os.environ, PYTHONPATH=str(Path(corvane_rs.__file__).parents[1]))
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    # The fault block's report names its source file from the project root.
    assert re.search(r"^thread 'main' panicked at src/routing/\w+\.cpp:\d+:\d+:$", done.stderr, re.M)


def test_linear_function_table_is_current():
    text = README.read_text()
    assert readme_tables.with_tables(text) == text

"""The installed type stub, as a user's type checker finds it: from a folder
outside the clone, with no MYPYPATH or PYTHONPATH pointing at a build."""

import os
import subprocess
import sys
import textwrap

CALLER = textwrap.dedent("""\
    from corvane import corvane_rs
    reveal_type(corvane_rs.CircuitRouting.get_dists_max_value())
    reveal_type(corvane_rs.LinearFunctionSynthesis().run(0, 4, [1.0]))
    corvane_rs.PermutationSynthesis([], {}, {}, "").run("m", "4", [0])
    """)


def run_in(folder, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run([sys.executable, "-m", *args], cwd=folder, env=env,
                          capture_output=True, text=True, timeout=600)


def test_installed_stub_matches_the_module_and_types_callers(tmp_path):
    done = run_in(tmp_path, "mypy.stubtest", "corvane.corvane_rs")
    assert done.returncode == 0, done.stdout + done.stderr

    (tmp_path / "caller.py").write_text(CALLER)
    done = run_in(tmp_path, "mypy", "caller.py")
    lines = done.stdout.replace("builtins.", "").splitlines()  # older mypy spells it out
    assert 'caller.py:2: note: Revealed type is "int"' in lines, done.stdout
    assert 'caller.py:3: note: Revealed type is "list[tuple[int, int]]"' in lines, done.stdout
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("caller.py:4:") and "[arg-type]" in errors[0], \
        done.stdout
    assert done.returncode == 1

"""The routing policy tables compiled into the module are exactly what the
generator writes, and its --check mode notices a stale file."""

import subprocess
import sys
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
TOOL = REPO_ROOT / "tools" / "gen_routing_policy.py"
COMMITTED = REPO_ROOT / "src" / "routing" / "policy_weights.inc"


def run_tool(*args):
    return subprocess.run(
        [sys.executable, str(TOOL), *map(str, args)],
        cwd=REPO_ROOT, capture_output=True, text=True, timeout=60,
    )


def test_generated_file_matches_committed_byte_for_byte(tmp_path):
    outputs = [tmp_path / "first.inc", tmp_path / "second.inc"]
    for out in outputs:
        result = run_tool(out)
        assert result.returncode == 0, result.stderr
    committed = COMMITTED.read_bytes()
    assert outputs[0].read_bytes() == committed
    assert outputs[1].read_bytes() == committed


def test_check_accepts_committed_and_rejects_stale(tmp_path):
    assert run_tool("--check").returncode == 0
    assert run_tool("--check", COMMITTED).returncode == 0

    stale = tmp_path / "stale.inc"
    text = COMMITTED.read_text()
    # One weight changed: 2.0f -> 4.0f in the first row of W2.
    assert "2.0f" in text
    stale.write_text(text.replace("2.0f", "4.0f", 1))
    result = run_tool("--check", stale)
    assert result.returncode != 0
    assert "out of date" in result.stderr
    assert stale.read_text() != text  # --check never writes

    missing = run_tool("--check", tmp_path / "absent.inc")
    assert missing.returncode != 0


def test_every_table_has_exactly_its_size():
    # A short initialiser would compile (the rest zero-filled), so count.
    text = COMMITTED.read_text()
    counts = {}
    for name in ("B1", "W1", "W2", "B2"):
        body = text.split(f"ROUTING_POLICY_{name}[] = {{", 1)[1].split("};", 1)[0]
        counts[name] = len([v for v in body.split(",") if v.strip()])
    assert counts == {"B1": 256, "W1": 128 * 256, "W2": 256 * 16, "B2": 16}

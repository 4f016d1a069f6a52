#!/usr/bin/env python3
"""Writes the README's table of the linear-function models (qubit count and
tree of each model id) from the trees the model generator builds the
networks for (tools/gen_linear_function_models.py).

    python3 -m tools.readme_tables            rewrite the table in README.md
    python3 -m tools.readme_tables --check    exit 1 if README.md's table is not current
"""

import argparse
import sys
from pathlib import Path

from tools import gen_linear_function_models as lf

README = Path(__file__).resolve().parent.parent / "README.md"
BEGIN = "<!-- linear-function models: written by `python3 -m tools.readme_tables` -->"
END = "<!-- end of linear-function models -->"


def linear_function_table():
    lines = ["| model id | qubits | tree edges |", "|---:|---:|---|"]
    for model_id in range(lf.NUM_MODELS):
        tree = [f"{c}–{t}" for c, t in lf.edges(model_id) if c < t]
        lines.append(f"| {model_id} | {lf.qubits(model_id)} | {' '.join(tree)} |")
    return "\n".join(lines)


def with_tables(text):
    """`text` with the block between the markers replaced by the table."""
    head, sep, rest = text.partition(BEGIN)
    _, sep2, tail = rest.partition(END)
    if not sep or not sep2:
        raise ValueError("README.md lacks the table's markers")
    return f"{head}{BEGIN}\n{linear_function_table()}\n{END}{tail}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--check", action="store_true", help="only check that README.md is current")
    args = ap.parse_args()
    text = README.read_text()
    new = with_tables(text)
    if args.check:
        return 0 if new == text else 1
    README.write_text(new)
    return 0


if __name__ == "__main__":
    sys.exit(main())

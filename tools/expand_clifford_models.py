#!/usr/bin/env python3
"""Writes the 27 Clifford model files that the module embeds.

    python3 -m tools.expand_clifford_models --out DIR

For every model of models/clifford.json, DIR/<model name>.safetensors gets
the fixed input convolution and layers "3", "5", "7" expanded from the
committed compact weights, models/clifford/<model name>.npz. The output is
the same bytes on every run. A model whose compact file is missing gets
all-zero dense layers (it then solves nothing) and a warning on stderr, so
that the module still builds, with every other model working, without it.
"""

import argparse
import sys
from pathlib import Path

from tools import safetensors_file
from tools.clifford import compact, companion


def model_tensors(model, compact_dir):
    path = Path(compact_dir) / f"{model.name}.npz"
    if not path.exists():
        print(f"warning: {path} is missing; {model.name} gets untrained (zero) layers",
              file=sys.stderr)
        return compact.zero_tensors(model.n, model.h1, model.h2)
    tensors = compact.load(path)
    want = {"3.weight": (model.h1, 16 * model.n * model.n), "3.bias": (model.h1,),
            "5.weight": (model.h2, model.h1), "5.bias": (model.h2,),
            "7.weight": (4 * model.n - 1, model.h2), "7.bias": (4 * model.n - 1,)}
    for name, shape in want.items():
        if tensors[name].shape != shape:
            raise SystemExit(f"{path}: {name} has shape {tensors[name].shape}, expected {shape}")
    return tensors


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True, help="output directory")
    ap.add_argument("--compact-dir", default=str(companion.COMPACT_DIR))
    args = ap.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    _, models = companion.load()
    for model in models:
        safetensors_file.write(out / f"{model.name}.safetensors",
                               model_tensors(model, args.compact_dir))


if __name__ == "__main__":
    main()

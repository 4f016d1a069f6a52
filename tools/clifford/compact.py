"""Committed form of the trained weights and its expansion to model tensors.

Layers "3", "5" and "7" are stored as int8 values with one float32 scale per
output row (weight = value * scale, rounded to float32) and float32 biases,
in models/clifford/<model name>.npz. The input convolution is not stored: it
is the fixed one-hot code detector, 0.weight[j, b] = 2 bit_b(j) - 1 and
0.bias[j] = -1.5, so channel j of a cell is 0.5 exactly when its code is j.
"""

import os
from pathlib import Path

import numpy as np

LAYERS = ("3", "5", "7")


def input_layer():
    j = np.arange(16)[:, None]
    b = np.arange(4)[None, :]
    weight = (2 * ((j >> b) & 1) - 1).astype(np.float32).reshape(16, 4, 1, 1)
    bias = np.full(16, -1.5, dtype=np.float32)
    return weight, bias


def quantize(weights):
    """{"3": (W, b), ...} float arrays -> dict of arrays for the .npz file."""
    out = {}
    for p in LAYERS:
        w, b = (np.asarray(a, dtype=np.float32) for a in weights[p])
        peak = np.abs(w).max(axis=1)
        scale = np.where(peak > 0, peak / 127.0, 1.0).astype(np.float32)
        out[f"w{p}"] = np.clip(np.rint(w / scale[:, None]), -127, 127).astype(np.int8)
        out[f"s{p}"] = scale
        out[f"b{p}"] = b
    return out


def save(path, weights):
    # Written aside and renamed, so a build reading the directory meanwhile
    # never sees a partial file.
    path = Path(path)
    part = path.with_name(path.name + ".part")
    with open(part, "wb") as f:
        np.savez_compressed(f, **quantize(weights))
    os.replace(part, path)


def expand(stored):
    """Stored arrays (an npz mapping) -> name -> float32 tensor of the model file."""
    w0, b0 = input_layer()
    tensors = {"0.weight": w0, "0.bias": b0}
    for p in LAYERS:
        q = np.asarray(stored[f"w{p}"], dtype=np.int8)
        scale = np.asarray(stored[f"s{p}"], dtype=np.float32)
        tensors[f"{p}.weight"] = q.astype(np.float32) * scale[:, None]
        tensors[f"{p}.bias"] = np.asarray(stored[f"b{p}"], dtype=np.float32)
    return tensors


def load(path):
    with np.load(path) as z:
        return expand({k: z[k] for k in z.files})


def zero_tensors(n, h1, h2):
    """A model file with untrained (all-zero) dense layers, same shapes."""
    w0, b0 = input_layer()
    shapes = {"3": (h1, 16 * n * n), "5": (h2, h1), "7": (4 * n - 1, h2)}
    tensors = {"0.weight": w0, "0.bias": b0}
    for p, shape in shapes.items():
        tensors[f"{p}.weight"] = np.zeros(shape, dtype=np.float32)
        tensors[f"{p}.bias"] = np.zeros(shape[0], dtype=np.float32)
    return tensors

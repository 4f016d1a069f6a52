"""Writing and reading model files in the safetensors format (float32 only).

A file is an 8-byte little-endian header length N, N bytes of a JSON object
mapping each tensor name to {"dtype", "shape", "data_offsets"} (offsets
relative to the first data byte), padded with spaces, then the tensors back to
back in header order, little-endian, row-major.

The model generators of this project all write through `write`, so every file
they produce has the same layout: tensors sorted by name ("0.bias",
"0.weight", "2.bias", ...), compact JSON, no "__metadata__" entry. The output
depends only on the arrays given, so a generator that computes its arrays
deterministically writes byte-identical files on every run.
"""

import json
import struct
from pathlib import Path

import numpy as np


def encode(tensors, header_len=None):
    """The bytes of a file holding `tensors` (name -> array, cast to float32).

    The header is padded with spaces to `header_len` bytes when given (an
    error if it does not fit), else to the next multiple of 8.
    """
    names = sorted(tensors)
    arrays = [np.ascontiguousarray(tensors[name], dtype="<f4") for name in names]
    header = {}
    offset = 0
    for name, array in zip(names, arrays):
        header[name] = {"dtype": "F32", "shape": list(array.shape),
                        "data_offsets": [offset, offset + array.nbytes]}
        offset += array.nbytes
    text = json.dumps(header, separators=(",", ":")).encode("ascii")
    if header_len is None:
        header_len = (len(text) + 7) // 8 * 8
    if len(text) > header_len:
        raise ValueError(f"header of {len(text)} bytes does not fit in {header_len}")
    text += b" " * (header_len - len(text))
    return b"".join([struct.pack("<Q", header_len), text] + [a.tobytes() for a in arrays])


def write(path, tensors, header_len=None):
    """Writes `encode(tensors, header_len)` to `path` (parents created)."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(encode(tensors, header_len))


def decode(data):
    """name -> float32 array for the bytes of a file written by `encode`."""
    (header_len,) = struct.unpack_from("<Q", data, 0)
    header = json.loads(data[8:8 + header_len])
    base = 8 + header_len
    out = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        if info["dtype"] != "F32":
            raise ValueError(f"{name}: dtype {info['dtype']}")
        begin, end = info["data_offsets"]
        out[name] = np.frombuffer(data[base + begin:base + end], dtype="<f4").reshape(info["shape"])
    return out


def read(path):
    return decode(Path(path).read_bytes())

#!/usr/bin/env python3
"""Writes the routing policy's weight tables, src/routing/policy_weights.inc.

The router scores up to 16 candidate SWAPs per step. Input g + 8*j is the
feature of lookahead generation g (0..7) for candidate slot j (0..15): the
summed distance gain that SWAP brings to the gates of generation g. The first
layer sees only each input's sign. The tables are hand-set, not trained:

* Slot j owns hidden units 16*j + u (u = 0..15) and only reads its own
  inputs g + 8*j; output j reads only its own units. Each unit is described
  once in UNITS below and repeated for every slot.
* u = 0 fires when generation 0 (the front layer) gets closer and is worth 2.
* u = g (g = 1..7) fires when generation g gets closer and is worth 2^-g, so
  nearer generations dominate later ones and break ties among front moves.
* u = 7 + g (bias -1, +1 from generation 0, -1 from generation g) fires only
  when the front layer gets closer while generation g gets farther; it costs
  2^-(g+1), half of what generation g would have earned.
* u = 15 is unused; every entry not named here is 0, and B2 is all 0.

So slot j scores
    2*[gen0 > 0] + sum_g 2^-g*[gen g > 0] - sum_g 2^-(g+1)*[gen0 > 0 and gen g < 0].
A SWAP that shortens the front layer scores at least 2 - (1/2 - 2^-8) =
1.50390625; any other at most 1 - 2^-7 = 0.9921875, and at least 0. An empty
slot (all features 0) scores exactly 0, so a real candidate never loses to
one, and ties go to the lower slot. Every weight is a power of two and every
hidden value is 0 or 1, so all float sums are exact: equal scores are true
ties whatever the summation order.

Usage:
    gen_routing_policy.py [OUTPUT]            write the tables (default: the
                                              committed file)
    gen_routing_policy.py --check [OUTPUT]    exit 1 if OUTPUT differs from
                                              what would be written
The output is the same on every run.
"""

import argparse
import math
import struct
import sys
from decimal import Decimal
from pathlib import Path

# ---- Network shape (fixed by the C++ side, routing/policy.h) ----
INPUTS = 128
HIDDEN = 256
OUTPUTS = 16
GENERATIONS = 8           # inputs per slot
UNITS_PER_SLOT = HIDDEN // OUTPUTS

# ---- The design: tune here ----
FRONT_REWARD = 2.0                                          # u = 0
LOOKAHEAD_REWARD = [2.0 ** -g for g in range(1, GENERATIONS)]      # u = 1..7
REGRESSION_PENALTY = [2.0 ** -(g + 1) for g in range(1, GENERATIONS)]  # u = 8..14

# Per slot, unit u = position in this list: (bias, {generation: W1 weight},
# W2 weight to the slot's own output). Units past the list stay all 0.
UNITS = (
    [(0.0, {0: 1.0}, FRONT_REWARD)]
    + [(0.0, {g: 1.0}, LOOKAHEAD_REWARD[g - 1]) for g in range(1, GENERATIONS)]
    + [(-1.0, {0: 1.0, g: -1.0}, -REGRESSION_PENALTY[g - 1]) for g in range(1, GENERATIONS)]
)
OUTPUT_BIAS = [0.0] * OUTPUTS

VALUES_PER_LINE = 16
REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO_ROOT / "src" / "routing" / "policy_weights.inc"


def build_tables():
    """Returns (b1, w1, w2, b2) as flat row-major lists of floats."""
    if len(UNITS) > UNITS_PER_SLOT:
        raise ValueError(f"{len(UNITS)} units do not fit {UNITS_PER_SLOT} per slot")
    b1 = [0.0] * HIDDEN
    w1 = [0.0] * (INPUTS * HIDDEN)
    w2 = [0.0] * (HIDDEN * OUTPUTS)
    for slot in range(OUTPUTS):
        for u, (bias, inputs, out_weight) in enumerate(UNITS):
            hidden = UNITS_PER_SLOT * slot + u
            b1[hidden] = bias
            for generation, weight in inputs.items():
                if not 0 <= generation < GENERATIONS:
                    raise ValueError(f"generation {generation} out of range")
                w1[(generation + GENERATIONS * slot) * HIDDEN + hidden] = weight
            w2[hidden * OUTPUTS + slot] = out_weight
    return b1, w1, w2, list(OUTPUT_BIAS)


def c_float(value):
    """Exact C++ literal of a float that must be representable in 32 bits."""
    as_f32 = struct.unpack("<f", struct.pack("<f", value))[0]
    if as_f32 != value or not math.isfinite(value):
        raise ValueError(f"{value!r} is not an exact finite 32-bit float")
    if value == 0.0:
        return "-0.0f" if math.copysign(1.0, value) < 0 else "0"
    # Every binary float has a finite decimal expansion; use it when short,
    # else a hex-float literal (also exact).
    exact = format(Decimal(value), "f")
    if "." not in exact:
        exact += ".0"
    if len(exact.lstrip("-")) <= 12:
        return exact + "f"
    # float.hex gives 0x1.8000000000000p-3; drop the mantissa's trailing zeros.
    sign = "-" if value < 0 else ""
    mantissa, exponent = abs(value).hex()[2:].split("p")
    mantissa = mantissa.rstrip("0").rstrip(".")
    return f"{sign}0x{mantissa}p{exponent}f"


def c_array(name, values):
    lines = [f"alignas(64) const float {name}[] = {{"]
    for start in range(0, len(values), VALUES_PER_LINE):
        chunk = values[start:start + VALUES_PER_LINE]
        lines.append("    " + ", ".join(c_float(v) for v in chunk) + ",")
    lines.append("};")
    return "\n".join(lines)


def render():
    b1, w1, w2, b2 = build_tables()
    parts = [
        "// Generated by tools/gen_routing_policy.py; edit the tool and rerun it,",
        "// not this file. Hand-set sign detectors, see the tool for the design.",
        "// clang-format off",
        "",
        f"// Hidden biases, {HIDDEN} values.",
        c_array("ROUTING_POLICY_B1", b1),
        "",
        f"// {INPUTS} rows (one per input) of {HIDDEN} values.",
        c_array("ROUTING_POLICY_W1", w1),
        "",
        f"// {HIDDEN} rows (one per hidden unit) of {OUTPUTS} values.",
        c_array("ROUTING_POLICY_W2", w2),
        "",
        f"// Output biases, {OUTPUTS} values.",
        c_array("ROUTING_POLICY_B2", b2),
        "// clang-format on",
        "",
    ]
    return "\n".join(parts)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, default=DEFAULT_OUTPUT,
                        help="file to write or check (default: %(default)s)")
    parser.add_argument("--check", action="store_true",
                        help="compare instead of writing; exit 1 on a difference")
    args = parser.parse_args(argv)

    text = render().encode("utf-8")
    if args.check:
        try:
            current = args.output.read_bytes()
        except OSError as e:
            print(f"{args.output}: {e.strerror}", file=sys.stderr)
            return 1
        if current != text:
            print(f"{args.output} is out of date; run tools/gen_routing_policy.py",
                  file=sys.stderr)
            return 1
        return 0
    args.output.write_bytes(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Development code of corvane_rs, never installed: the generators that write
the embedded model files at build time, the training tools, and the helpers
that benchmarks, examples and tests share (devices). Run a tool as a module
from the repository root, e.g. `python3 -m tools.gen_permutation_models`."""

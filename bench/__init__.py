"""Benchmarks and their classical references. Run a benchmark as a module from
the repository root, e.g. `python3 -m bench.bench_permutation --quick`."""

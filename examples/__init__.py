"""Examples, run from the repository root after installing the module:
`python3 -m examples.route_and_transpile`, `python3 -m examples.synthesize`."""

"""Clifford model tools: companion data, block encoding, sampler, teacher,
the simulated synthesis loop, network evaluation and training."""

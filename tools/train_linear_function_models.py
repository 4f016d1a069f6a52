#!/usr/bin/env python3
"""Trains the linear-function networks of models 1-4 (n = 4 and 5) by
imitation of the exact optimum, and commits them in compact form.

Development tool only (needs torch); the build expands the committed files
with numpy (tools/gen_linear_function_models.py).

For each model:
1. Breadth-first search from the identity gives the fewest CX of every
   invertible matrix; an action is optimal when it lowers that count by one.
2. A network n^2 -> 512 -> tanh -> 256 -> tanh -> 2n - 1 is trained on every
   invertible non-identity matrix to put its probability mass on the optimal
   actions (loss -log sum_{a optimal} softmax_a over the edge outputs).
   Later rounds weight up the matrices where the network's best action is
   not optimal.
3. The output layer is scaled so that a worse action trails by far more than
   the noise can make up; the no-op output gets zero weights and bias -1e4.
   Weights are stored as int8 with one float32 scale per row, biases as
   float32, in models/linear_function/model_NN.npz.
4. The expanded float32 network is checked on every invertible matrix: each
   action that the noise could choose (score within 18.75 of the best) leads
   on, and the longest chain of such actions from any matrix to the identity
   is at most 4 n^2 steps. Only then is the file written.

Rerun (deterministic for a given thread count; about 3 min for n = 4 and
30 min for n = 5 on 2 cores):
    python3 tools/train_linear_function_models.py 1 2 3 4 [--threads 2]
then regenerate the model files and switch the model's kind to "trained" in
tools/gen_linear_function_models.py if it was not yet.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "tools"))
sys.path.insert(0, str(REPO_ROOT / "bench"))
import gen_linear_function_models as models  # noqa: E402
import linear_function_reference as ref  # noqa: E402

NOISE_RANGE = 18.75      # max - min of ln(-ln u) over u in (0, 1), rounded up
NOOP_BIAS = -1.0e4


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, flush=True)


class Problem:
    """Every invertible non-identity matrix of a model with its optimal actions."""

    def __init__(self, model_id):
        self.model_id = model_id
        self.n = models.qubits(model_id)
        self.pairs = models.edges(model_id)
        self.dist = ref.Optimum(model_id).dist
        self.codes = np.flatnonzero((self.dist != 255) & (self.dist != 0)).astype(np.int64)
        self.mask = (1 << self.n) - 1

    def step(self, codes, a):
        c, t = self.pairs[a]
        n = self.n
        return codes ^ (((codes >> (c * n)) & self.mask) << (t * n))

    def optimal(self, codes):
        d = self.dist[codes].astype(np.int16)
        return np.stack([self.dist[self.step(codes, a)] == d - 1
                         for a in range(len(self.pairs))], axis=1)

    def inputs(self, codes):
        return ((codes[:, None] >> np.arange(self.n * self.n)) & 1).astype(np.float32)


def train(problem, seed, threads, epochs, batch, rounds):
    import torch

    torch.manual_seed(seed)
    torch.set_num_threads(threads)
    rng = np.random.default_rng(seed)
    n = problem.n
    net = torch.nn.Sequential(
        torch.nn.Linear(n * n, models.HIDDEN1), torch.nn.Tanh(),
        torch.nn.Linear(models.HIDDEN1, models.HIDDEN2), torch.nn.Tanh(),
        torch.nn.Linear(models.HIDDEN2, 2 * n - 2))
    codes = problem.codes
    weights = np.ones(codes.size, np.float64)
    for r in range(rounds):
        opt = torch.optim.Adam(net.parameters(), lr=2e-3 if r == 0 else 5e-4)
        total = int(epochs[r] * codes.size) // batch
        sched = torch.optim.lr_scheduler.OneCycleLR(
            opt, max_lr=opt.param_groups[0]["lr"], total_steps=total, pct_start=0.05)
        cdf = np.cumsum(weights / weights.sum())
        for it in range(total):
            idx = np.minimum(np.searchsorted(cdf, rng.random(batch)), codes.size - 1)
            c = codes[idx]
            x = torch.from_numpy(problem.inputs(c))
            good = torch.from_numpy(problem.optimal(c))
            logits = net(x)
            lse = torch.logsumexp(logits, dim=1)
            lse_good = torch.logsumexp(logits.masked_fill(~good, -1e9), dim=1)
            loss = (lse - lse_good).mean()
            opt.zero_grad()
            loss.backward()
            opt.step()
            sched.step()
            if it % 2000 == 0:
                log(f"model {problem.model_id} round {r} it {it}/{total} loss {loss.item():.4f}")
        wrong = ~argmax_optimal(problem, export_float(net))
        log(f"model {problem.model_id} round {r}: argmax not optimal on {wrong.sum()} of {codes.size}")
        weights = np.where(wrong, 20.0, 1.0)
    return net


def export_float(net):
    layers = [m for m in net if hasattr(m, "weight")]
    return [(m.weight.detach().numpy().astype(np.float32), m.bias.detach().numpy().astype(np.float32))
            for m in layers]


def argmax_optimal(problem, layers, chunk=1 << 18):
    out = np.zeros(problem.codes.size, bool)
    for s in range(0, problem.codes.size, chunk):
        c = problem.codes[s:s + chunk]
        h = problem.inputs(c)
        for i, (w, b) in enumerate(layers):
            h = h @ w.T + b
            if i < 2:
                h = np.tanh(h)
        a = np.argmax(h, axis=1)
        out[s:s + chunk] = problem.optimal(c)[np.arange(c.size), a]
    return out


def compact(layers, out_scale, n):
    """int8 rows with per-row scales; the no-op row appended to the output."""
    arrays = {}
    w4, b4 = layers[2]
    w4 = np.vstack([w4 * out_scale, np.zeros((1, w4.shape[1]), np.float32)])
    b4 = np.append(b4 * out_scale, NOOP_BIAS).astype(np.float32)
    for k, (w, b) in zip((0, 2, 4), [layers[0], layers[1], (w4, b4)]):
        scale = np.abs(w).max(axis=1) / 127.0
        scale[scale == 0] = 1.0
        arrays[f"q{k}"] = np.clip(np.rint(w / scale[:, None]), -127, 127).astype(np.int8)
        arrays[f"s{k}"] = scale.astype(np.float32)
        arrays[f"b{k}"] = b.astype(np.float32)
    return arrays


def verify(problem, tensors, chunk=1 << 18):
    """Worst case over the noise and mean noiseless CX over every matrix.
    Returns (longest chain of noise-reachable actions, or None when some
    chain never ends; mean CX of the noiseless argmax; argmax-optimal share)."""
    n = problem.n
    loop = ref.NumpyLoop(tensors, models.action_row(problem.model_id))
    codes = problem.codes
    index = np.full(problem.dist.size, -1, np.int64)
    index[codes] = np.arange(codes.size)
    reach = np.zeros((codes.size, 2 * n - 2), bool)
    best = np.zeros(codes.size, np.int64)
    for s in range(0, codes.size, chunk):
        z = loop.scores(problem.inputs(codes[s:s + chunk]))
        top = z.max(axis=1, keepdims=True)
        if (np.argmax(z, axis=1) == 2 * n - 2).any():
            return None, None, None
        reach[s:s + chunk] = z[:, :-1] >= top - NOISE_RANGE
        best[s:s + chunk] = np.argmax(z, axis=1)
    nxt = np.stack([index[problem.step(codes, a)] for a in range(2 * n - 2)], axis=1)
    # -1 marks the identity (not in `codes`).
    length = np.zeros(codes.size + 1, np.int64)   # slot -1 (the identity) stays 0
    bound = 4 * n * n
    for _ in range(bound + 1):
        cand = np.where(reach, length[nxt], -1).max(axis=1) + 1
        if np.array_equal(cand, length[:-1]):
            break
        length[:-1] = np.minimum(cand, bound + 1)
    worst = int(length[:-1].max())
    greedy = np.zeros(codes.size + 1, np.int64)
    step = nxt[np.arange(codes.size), best]
    for _ in range(bound + 1):
        greedy[:-1] = greedy[step] + 1
    mean_cx = float(greedy[:-1].sum() / (codes.size + 1))   # the identity costs 0
    optimal = float(problem.optimal(codes)[np.arange(codes.size), best].mean())
    return (worst if worst <= bound else None), mean_cx, optimal


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model_ids", type=int, nargs="+", choices=[1, 2, 3, 4])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=20240610)
    parser.add_argument("--out-scale", type=float, default=128.0)
    args = parser.parse_args(argv)
    for model_id in args.model_ids:
        problem = Problem(model_id)
        big = problem.n == 5
        epochs = [6, 3, 2] if big else [300, 150, 100]
        batch = 4096 if big else 512
        net = train(problem, args.seed + model_id, args.threads, epochs, batch, rounds=3)
        layers = export_float(net)
        for scale in (args.out_scale, 4 * args.out_scale):
            arrays = compact(layers, scale, problem.n)
            tensors = models.expand_trained(arrays, problem.n)
            worst, mean_cx, optimal = verify(problem, tensors)
            log(f"model {model_id} output scale {scale}: worst chain {worst}, noiseless mean CX "
                f"{mean_cx}, argmax optimal {optimal}, "
                f"optimum {problem.dist[problem.dist != 255].mean():.4f}")
            if worst is not None:
                break
        if worst is None:
            log(f"model {model_id}: not written (some attempt could fail to end)")
            continue
        path = models.trained_path(model_id)
        path.parent.mkdir(parents=True, exist_ok=True)
        np.savez_compressed(path, **arrays)
        log(f"model {model_id}: wrote {path} ({path.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

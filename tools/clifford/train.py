#!/usr/bin/env python3
"""Trains one Clifford policy network by imitation (DAgger) and writes its
committed compact file, models/clifford/<model>.npz.

Development tool only (PyTorch 2.13, CPU); building and testing the module
never needs it.

The input convolution is fixed (a one-hot code detector), so the net learns
layers "3", "5" and "7": 16 n^2 -> H1 -> tanh -> H2 -> tanh -> 4n - 1.
Targets are acceptable-action sets: every local gate on a shortest path of
the leaf-decoupling rule (for 3 qubits: every optimal gate, from a full
breadth-first search); the loss is -log of the probability mass the net puts
on the set, so it may pick any member.

Data come from rollouts of uniformly random Cliffords through the simulated
synthesis loop (random view each step): round 0 rolls out the teacher, later
rounds the net itself, taking the teacher's action instead with probability
mix0 * mixdecay^(r-1) for r <= mixrounds (0 below 0.02). Every view shown is
recorded with its acceptable set; the newest `keep` views are kept. Each round
trains `epochs` epochs of Adam on the whole set, or, when `replay` is given,
on its new views plus `replay` older ones; a phase's last round trains
`final_epochs` with cosine decay from `final_lr` to 0. A phase starts from the previous
phase's weights, with a fresh optimizer and an empty set.

Seeds: phase k uses numpy default_rng([seed, k]) and torch.manual_seed(seed +
k). A phase's weights are checkpointed in --work, and --resume skips the
phases already there, so a continuation added to a model's schedule can be
trained on its own and a full run retraces it.

    python3 -m tools.clifford.train MODEL [--threads 1] [--work DIR] [--resume]
"""

import argparse
import math
import os
import time
from pathlib import Path

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402

from tools.clifford import compact, companion, loop, sampler, teacher  # noqa: E402


def rollouts_per_round(n):
    # About 30-170 thousand views per round; 3 qubits has short episodes.
    return 4000 if n == 3 else 1200 if n <= 5 else 800 if n <= 7 else 600


def phase1(n):
    rollouts = rollouts_per_round(n)
    return dict(rounds=12, rollouts=rollouts, mix0=0.5, mixdecay=0.75, mixrounds=10,
                lr=1e-3, epochs=2, final_epochs=4, final_lr=5e-4, keep=4_000_000)


def phase2(n, rounds=6):
    rollouts = rollouts_per_round(n)
    return dict(rounds=rounds, rollouts=rollouts, mix0=0.0, mixdecay=1.0, mixrounds=0,
                lr=3e-4, epochs=2, final_epochs=3, final_lr=3e-4, keep=4_000_000)


def replay_phase(n, rounds):
    """Pure DAgger on large fresh rollouts (about half a million views per
    round), each round training one epoch on its new views plus a sample of
    older ones, so that every view is seen a few times only. Training many
    epochs on the aggregate instead lets the net memorise its data set: on
    9 qubits the loss on new views stayed near 1 while the training loss
    fell to 0.1."""
    rollouts = {3: 20000, 4: 12000, 5: 8000, 6: 5000, 7: 4000, 8: 3000}.get(n, 2400)
    return dict(rounds=rounds, rollouts=rollouts, mix0=0.0, mixdecay=1.0, mixrounds=0,
                lr=3e-4, epochs=1, final_epochs=2, final_lr=3e-4, keep=4_000_000,
                replay=600_000)


def schedule(model):
    phases = [phase1(model.n), phase2(model.n)]
    if model.n == 3:
        phases.append(replay_phase(3, 10))
    elif model.n >= 6:
        phases.append(replay_phase(model.n, 20))
    if model.n >= 8:
        phases.append(replay_phase(model.n, 20))
    return phases


class Policy(torch.nn.Module):
    """Layers "3", "5", "7"; layer "3" reads the 0.5-scaled one-hot of every
    cell's code as a sum of embedding rows (its weight, transposed)."""

    def __init__(self, n, h1, h2):
        super().__init__()
        l3 = torch.nn.Linear(16 * n * n, h1)         # default initialisation
        self.emb = torch.nn.Parameter(l3.weight.detach().t().contiguous())
        self.b3 = torch.nn.Parameter(l3.bias.detach().clone())
        self.l5 = torch.nn.Linear(h1, h2)
        self.l7 = torch.nn.Linear(h2, 4 * n - 1)
        self.cells = n * n
        self.register_buffer("cell_offset", torch.arange(n * n))

    def forward(self, views):
        """views: (B, n*n) int64 codes."""
        idx = views * self.cells + self.cell_offset
        h = F.embedding_bag(idx, self.emb, mode="sum") * 0.5 + self.b3
        h = torch.tanh(self.l5(torch.tanh(h)))
        return self.l7(h)

    def act(self, views):
        with torch.no_grad():
            logits = self(torch.from_numpy(views.reshape(len(views), -1).astype(np.int64)))
        return logits.argmax(dim=1).numpy()

    def export(self):
        return {"3": (self.emb.detach().t().numpy(), self.b3.detach().numpy()),
                "5": (self.l5.weight.detach().numpy(), self.l5.bias.detach().numpy()),
                "7": (self.l7.weight.detach().numpy(), self.l7.bias.detach().numpy())}


def make_labeller(model):
    if model.n == 3:
        from tools.clifford import optimum
        return optimum.Optimum(model).label
    return lambda views: teacher.label(model, views)


def rollouts(model, labeller, net, count, mix, rng):
    """Runs `count` random Cliffords; returns recorded views, masks and the
    attempts. net None rolls out the teacher alone."""
    states = sampler.random_cliffords(model.n, count, rng)
    views_out, masks_out = [], []

    def policy(views, envs):
        action, mask = labeller(views)
        views_out.append(views.reshape(len(views), -1).copy())
        masks_out.append(mask)
        if net is None:
            return action
        student = net.act(views)
        use_teacher = rng.random(len(views)) < mix
        return np.where(use_teacher, action, student)

    att = loop.run_attempts(model, policy, states, model.default_n_steps, rng)
    return np.concatenate(views_out), np.concatenate(masks_out), att


def train_epochs(net, opt, views, masks, epochs, lr_at, gen, batch=1024):
    n_items = len(views)
    tv = torch.from_numpy(views)
    tm = torch.from_numpy(masks)
    total_steps = epochs * math.ceil(n_items / batch)
    step = 0
    last = 0.0
    for _ in range(epochs):
        perm = torch.randperm(n_items, generator=gen)
        for start in range(0, n_items, batch):
            lr = lr_at(step / total_steps)
            for group in opt.param_groups:
                group["lr"] = lr
            idx = perm[start:start + batch]
            logits = net(tv[idx].long())
            mask = tm[idx]
            loss = (torch.logsumexp(logits, 1)
                    - torch.logsumexp(logits.masked_fill(~mask, float("-inf")), 1)).mean()
            opt.zero_grad()
            loss.backward()
            opt.step()
            step += 1
            last = loss.item()
    return last


def set_loss(net, views, masks):
    """Mean -log probability of the acceptable set (views not trained on)."""
    with torch.no_grad():
        logits = net(torch.from_numpy(views.astype(np.int64)))
        mask = torch.from_numpy(masks)
        return (torch.logsumexp(logits, 1)
                - torch.logsumexp(logits.masked_fill(~mask, float("-inf")), 1)).mean().item()


def student_check(model, net, states, rng):
    att = loop.run_attempts(model, lambda v, e: net.act(v), states, model.default_n_steps, rng)
    gates = [len(att.gate_actions(b)) for b in np.nonzero(att.solved)[0]]
    return att.solved.mean(), (np.mean(gates) if gates else float("nan"))


def run_phase(model, net, labeller, cfg, index, seed, log):
    rng = np.random.default_rng([seed, index])
    torch.manual_seed(seed + index)
    gen = torch.Generator().manual_seed(seed + index)
    opt = torch.optim.Adam(net.parameters(), lr=cfg["lr"])
    check_states = sampler.random_cliffords(model.n, 200, np.random.default_rng([seed, 99]))
    views = np.zeros((0, model.n * model.n), dtype=np.uint8)
    masks = np.zeros((0, model.num_actions), dtype=bool)
    for r in range(cfg["rounds"]):
        t0 = time.time()
        first = index == 0 and r == 0
        mix = cfg["mix0"] * cfg["mixdecay"] ** (r - 1) if 1 <= r <= cfg["mixrounds"] else 0.0
        if mix < 0.02:
            mix = 0.0
        v, m, att = rollouts(model, labeller, None if first else net, cfg["rollouts"], mix, rng)
        stride = max(1, len(v) // 20000)
        held_out = set_loss(net, v[::stride], m[::stride])
        old = len(views)
        views = np.concatenate([views, v])[-cfg["keep"]:]
        masks = np.concatenate([masks, m])[-cfg["keep"]:]
        old = min(old, len(views) - len(v))
        if cfg.get("replay") is not None:
            # This round's views plus a sample of older ones: each view is
            # seen a few times only, which keeps the net from memorising.
            pick = np.sort(rng.choice(old, size=min(cfg["replay"], old), replace=False))
            pick = np.concatenate([pick, np.arange(old, len(views))])
            train_views, train_masks = views[pick], masks[pick]
        else:
            train_views, train_masks = views, masks
        t1 = time.time()
        last = r == cfg["rounds"] - 1
        if last:
            peak = cfg["final_lr"]
            loss = train_epochs(net, opt, train_views, train_masks, cfg["final_epochs"],
                                lambda f: peak * 0.5 * (1 + math.cos(math.pi * f)), gen)
        else:
            loss = train_epochs(net, opt, train_views, train_masks, cfg["epochs"],
                                lambda f: cfg["lr"], gen)
        t2 = time.time()
        solved, gates = student_check(model, net, check_states, rng)
        log(f"phase {index} round {r}: mix {mix:.3f} rollouts solved {att.solved.mean():.3f} "
            f"views {len(v)} (set {len(views)}) new-view loss {held_out:.4f} train loss {loss:.4f} "
            f"| net single {solved:.3f} "
            f"gates {gates:.1f} | rollout {t1 - t0:.0f}s train {t2 - t1:.0f}s")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("model")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--work", default="/tmp/clifford-train", help="checkpoint directory")
    ap.add_argument("--resume", action="store_true", help="skip phases already checkpointed")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--out", help="compact file (default models/clifford/<model>.npz)")
    args = ap.parse_args()

    torch.set_num_threads(args.threads)
    model = companion.model(args.model)
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    out = Path(args.out) if args.out else companion.COMPACT_DIR / f"{model.name}.npz"
    start = time.time()

    def log(text):
        print(f"[{time.time() - start:7.0f}s] {model.name}: {text}", flush=True)

    torch.manual_seed(args.seed)
    net = Policy(model.n, model.h1, model.h2)
    labeller = None
    for index, cfg in enumerate(schedule(model)):
        ckpt = work / f"{model.name}.phase{index}.pt"
        if args.resume and ckpt.exists():
            net.load_state_dict(torch.load(ckpt))
            log(f"phase {index} loaded from {ckpt}")
            continue
        labeller = labeller or make_labeller(model)
        run_phase(model, net, labeller, cfg, index, args.seed, log)
        torch.save(net.state_dict(), ckpt)
    out.parent.mkdir(parents=True, exist_ok=True)
    compact.save(out, net.export())
    log(f"wrote {out} ({out.stat().st_size} bytes)")


if __name__ == "__main__":
    main()

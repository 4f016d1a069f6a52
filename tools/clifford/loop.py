"""Simulation of the synthesis loop, batched over attempts.

Each step: stop when the state is the identity; fail once more steps than
the limit have been taken; draw the view (normal or inverted) at random,
ask the policy for an action on the view, and apply the gate to the real
state as a column operation (normal view) or a row operation (inverted
view). The no-gate action applies nothing but counts as a step. Only the
identity symmetry is used, so no symmetry draw is simulated. The result of
a solved attempt is its forward gates followed by its inverted-view gates in
reverse order.
"""

import numpy as np

from tools.clifford.blocks import apply_batch, invert_view, is_identity


class Attempts:
    """Outcome of a batch of attempts."""

    def __init__(self, model, solved, steps, actions, inverted):
        self.model = model
        self.solved = solved          # (B,) bool
        self.steps = steps            # (B,) steps taken
        self.actions = actions        # (B, limit + 1) action per step
        self.inverted = inverted      # (B, limit + 1) view flag per step

    def gate_actions(self, b):
        """Action indices of the returned list of attempt b (solved only)."""
        s = self.steps[b]
        acts, inv = self.actions[b, :s], self.inverted[b, :s]
        real = acts != self.model.noop
        fwd = acts[real & ~inv]
        back = acts[real & inv][::-1]
        return np.concatenate([fwd, back])

    def gate_list(self, b):
        return [self.model.gate_tuple(a) for a in self.gate_actions(b)]


def run_attempts(model, policy, states, limit, rng):
    """One attempt per state of the (B, n, n) batch.

    policy(views, envs) returns one action per view; envs are the indices
    of the attempts the views belong to.
    """
    cells = np.array(states, dtype=np.uint8, copy=True)
    bsz = len(cells)
    steps = np.zeros(bsz, dtype=np.int64)
    actions = np.full((bsz, limit + 1), model.noop, dtype=np.int16)
    inverted = np.zeros((bsz, limit + 1), dtype=bool)
    solved = is_identity(cells) if bsz else np.zeros(0, dtype=bool)
    active = np.nonzero(~solved)[0]
    while len(active):
        active = active[steps[active] <= limit]      # more than limit steps: failed
        if not len(active):
            break
        inv = rng.random(len(active)) < 0.5
        views = cells[active]
        views[inv] = invert_view(views[inv])
        act = np.asarray(policy(views, active), dtype=np.int64)
        actions[active, steps[active]] = act
        inverted[active, steps[active]] = inv
        real = act != model.noop
        apply_batch(cells, active[real], model.kind[act[real]], model.q0[act[real]],
                    model.q1[act[real]], inv[real])
        steps[active] += 1
        now = is_identity(cells[active])
        solved[active[now]] = True
        active = active[~now]
    return Attempts(model, solved, steps, actions, inverted)


def metrics_key(model, actions):
    """(CX layers, CX count, gate layers, gate count) of a list of actions."""
    n = model.n
    depth = [-1] * n
    cx_depth = [-1] * n
    cx_layers, gate_layers = set(), set()
    cx_count = 0
    for a in actions:
        kind, q0, q1 = model.gates[a]
        if kind == 2:
            d = max(depth[q0], depth[q1]) + 1
            cd = max(cx_depth[q0], cx_depth[q1]) + 1
            depth[q0] = depth[q1] = d
            cx_depth[q0] = cx_depth[q1] = cd
            cx_layers.add(cd)
            gate_layers.add(d)
            cx_count += 1
        else:
            depth[q0] += 1
            gate_layers.add(depth[q0])
    return (len(cx_layers), cx_count, len(gate_layers), len(actions))


def run_best(model, policy, states, runs, limit, rng):
    """Best of `runs` attempts per state by the metrics key (earlier attempt
    on ties). Returns (solved (B,), best action lists, attempts) where the
    attempts are laid out state-major (attempt r of state i is i*runs + r)."""
    states = np.asarray(states, dtype=np.uint8)
    att = run_attempts(model, policy, np.repeat(states, runs, axis=0), limit, rng)
    solved = np.zeros(len(states), dtype=bool)
    best = [None] * len(states)
    for i in range(len(states)):
        best_key = None
        for r in range(runs):
            b = i * runs + r
            if not att.solved[b]:
                continue
            acts = att.gate_actions(b)
            key = metrics_key(model, acts)
            if best_key is None or key < best_key:
                best_key, best[i] = key, acts
        solved[i] = best_key is not None
    return solved, best, att

"""Classical reference for permutation synthesis on a coupling graph.

A permutation p is a list where p[i] is the target vertex of the token
standing at vertex i; a SWAP (u, v) on an edge exchanges the tokens (the list
cells) at u and v. Sorting p means reaching p[i] = i for every i.

* lower_bound: ⌈Σ_i D[i, p[i]] / 2⌉, since one SWAP moves two tokens by one
  edge each.
* token_swap: a greedy token swapper in the spirit of the 4-approximation of
  Miltzow et al. (2016): a happy swap (both tokens get closer) when there is
  one; else follow desired moves (a token's move to a neighbour nearer its
  target) from a misplaced token: when the walk closes a cycle, rotate the
  tokens along it (k - 1 SWAPs bring k tokens closer); when it reaches a
  vertex whose token is home, swap that token out of the way (one token gets
  closer, one farther).
"""

from tools.devices import bfs_distances


def lower_bound(dist, perm):
    return (sum(dist[i][t] for i, t in enumerate(perm)) + 1) // 2


def apply_swaps(perm, swaps):
    out = list(perm)
    for u, v in swaps:
        out[u], out[v] = out[v], out[u]
    return out


def sorts(perm, swaps, edges):
    """True when every SWAP is an edge and the list sorts perm."""
    edge_set = {(min(u, v), max(u, v)) for u, v in edges}
    if any((min(u, v), max(u, v)) not in edge_set for u, v in swaps):
        return False
    return apply_swaps(perm, swaps) == sorted(range(len(perm)))


def token_swap(n, edges, perm, dist=None, max_swaps=None):
    """A SWAP list that sorts perm (see the module docstring)."""
    dist = dist or bfs_distances(edges, n)
    adj = [[] for _ in range(n)]
    for u, v in sorted((min(u, v), max(u, v)) for u, v in edges):
        adj[u].append(v)
        adj[v].append(u)
    ordered = sorted((min(u, v), max(u, v)) for u, v in edges)
    tok = list(perm)
    swaps = []
    limit = max_swaps if max_swaps is not None else 4 * sum(
        dist[i][t] for i, t in enumerate(perm)) + 1

    def closer(v, w):  # would the token at v get closer at w?
        return dist[w][tok[v]] < dist[v][tok[v]]

    def swap(u, v):
        tok[u], tok[v] = tok[v], tok[u]
        swaps.append((u, v))

    while True:
        misplaced = [v for v in range(n) if tok[v] != v]
        if not misplaced:
            return swaps
        if len(swaps) > limit:
            raise RuntimeError("token swapping did not converge")
        happy = next(((u, v) for u, v in ordered if closer(u, v) and closer(v, u)), None)
        if happy:
            swap(*happy)
            continue
        # Walk desired moves from the first misplaced token.
        walk, seen = [misplaced[0]], {misplaced[0]: 0}
        while True:
            v = walk[-1]
            if tok[v] == v:  # reached a home token: swap it out of the way
                swap(walk[-2], v)
                break
            w = next(w for w in adj[v] if closer(v, w))
            if w in seen:  # a cycle: rotate its tokens one step forward
                cycle = walk[seen[w]:]
                for i in range(len(cycle) - 2, -1, -1):
                    swap(cycle[i], cycle[i + 1])
                break
            seen[w] = len(walk)
            walk.append(w)

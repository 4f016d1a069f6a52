"""Float32 forward pass of a Clifford policy network read from its model file.

The evaluation order is the module's: the 1 x 1 input convolution as a
256-entry code table (row v holds, per channel, the weights of v's set bits
summed in ascending bit order) plus a per-channel bias into which the
centring is folded; ReLU; then dense layers accumulated input by input in
ascending order, each product rounded to float32 before it is added, bias
added last, tanh between layers. Zero inputs of layer "3" are skipped (they
add nothing). So logits match the module's to the last bit, up to the
rounding of tanh.
"""

import numpy as np

from tools import safetensors_file

F32 = np.float32


class Net:
    def __init__(self, tensors, n):
        w = np.asarray(tensors["0.weight"], dtype=F32).ravel()
        b0 = np.asarray(tensors["0.bias"], dtype=F32).ravel()
        table = np.zeros((16, 16), dtype=F32)
        for v in range(16):
            for j in range(16):
                acc = F32(0)
                for bit in range(4):
                    if (v >> bit) & 1:
                        acc = F32(acc + w[j * 4 + bit])
                table[v, j] = acc
        self.code_table = table
        self.channel_bias = np.array([F32(b0[j] + F32(F32(-0.5) * table[15, j])) for j in range(16)],
                                     dtype=F32)
        self.n = n
        self.cells = n * n
        self.layers = [(np.ascontiguousarray(np.asarray(tensors[f"{p}.weight"], dtype=F32).T),
                        np.asarray(tensors[f"{p}.bias"], dtype=F32)) for p in ("3", "5", "7")]

    @classmethod
    def from_file(cls, path, n):
        return cls(safetensors_file.read(path), n)

    def input_layer(self, views):
        """(B, n*n) codes -> (B, 16*n*n) channel-major input of layer "3"."""
        views = np.asarray(views, dtype=np.int64).reshape(len(views), self.cells)
        x = self.code_table[views] + self.channel_bias[None, None, :]    # (B, cells, 16)
        x = np.maximum(x, F32(0))
        return np.ascontiguousarray(np.swapaxes(x, 1, 2)).reshape(len(views), -1)

    def forward(self, views):
        h = self.input_layer(views)
        for i, (wt, bias) in enumerate(self.layers):
            h = _dense(h, wt, bias, sparse=(i == 0))
            if i < 2:
                h = np.tanh(h).astype(F32)
        return h

    def act(self, views):
        return argmax_first(self.forward(views))


def _dense(x, wt, bias, sparse):
    """x (B, C) @ W.T + bias with the module's accumulation order; wt is W.T (C, R)."""
    bsz = len(x)
    y = np.zeros((bsz, wt.shape[1]), dtype=F32)
    if sparse:
        nz = x != 0
        width = int(nz.sum(axis=1).max()) if bsz else 0
        # Non-zero inputs of each row in ascending order, padded with zeros.
        order = np.argsort(~nz, axis=1, kind="stable")[:, :width]
        vals = np.take_along_axis(x, order, axis=1)
        vals[~np.take_along_axis(nz, order, axis=1)] = 0
        for t in range(width):
            y += wt[order[:, t]] * vals[:, t:t + 1]
    else:
        for i in range(x.shape[1]):
            y += wt[i][None, :] * x[:, i:i + 1]
    return y + bias[None, :]


def argmax_first(logits):
    """First index of the largest value; a NaN is never chosen except at
    index 0, where it is never replaced."""
    logits = np.asarray(logits, dtype=F32)
    clean = np.where(np.isnan(logits), -np.inf, logits)
    best = clean.argmax(axis=1)
    best[np.isnan(logits[:, 0])] = 0
    return best

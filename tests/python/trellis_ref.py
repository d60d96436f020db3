"""Test-side reference for packed trellis weights, written with numpy only.

Nothing here calls the native module: the encoder, the reader, the codebook
and the transforms are computed independently so that tests can compare the
module against them.

Conventions:
  - a tile's circular stream of 256*R bits is held as 32*R bytes, most
    significant bit first (bit 0 of the stream is bit 7 of byte 0);
  - a weight's state is a uint16; its value is ``codebook(state)``.
"""

import numpy as np

try:  # tensors are convenient for callers, but numpy is enough here
    import torch
except ImportError:  # pragma: no cover
    torch = None

__all__ = [
    "codebook", "codebook_bits", "dense", "encode_random", "encode_streams",
    "states_from_streams", "decode_packed_states", "pack_word_ramp",
    "TILE_ROW", "TILE_COL", "hadamard_ref", "hadamard_f64", "block_table",
    "layer_ref_f64",
]


# ---------------------------------------------------------------- codebook

def codebook_bits(states):
    """fp16 bit patterns (uint16) of the codebook value of each state."""
    s = np.asarray(states).astype(np.uint64)
    h = (s * np.uint64(89226354) + np.uint64(64248484)) & np.uint64(0xFFFFFFFF)
    r = (h & np.uint64(0x8FFF8FFF)) ^ np.uint64(0x3B603B60)
    hi = (r >> np.uint64(16)).astype(np.uint16).view(np.float16)
    lo = (r & np.uint64(0xFFFF)).astype(np.uint16).view(np.float16)
    # Both halves are normal with few mantissa bits: the float64 sum is exact,
    # so the cast to float16 (round to nearest even) is the only rounding.
    f = hi.astype(np.float64) + lo.astype(np.float64)
    return f.astype(np.float16).view(np.uint16)


def codebook(states):
    """float32 decoded values of the given states (any shape)."""
    return codebook_bits(states).view(np.float16).astype(np.float32)


def dense(states):
    """Dense float32 weight matrix of an (m, k) array of states."""
    return codebook(np.asarray(states))


# ------------------------------------------------------------- tile layout

def _tile_positions():
    i = np.arange(256)
    lane, j = i // 8, i % 8
    r0, c0 = lane // 4, 2 * (lane % 4)
    row = r0 + 8 * ((j // 2) % 2)
    col = c0 + (j % 2) + 8 * (j // 4)
    return row, col


TILE_ROW, TILE_COL = _tile_positions()  # where state i of a tile sits
_TILE_FLAT = TILE_ROW * 16 + TILE_COL
assert np.array_equal(np.sort(_TILE_FLAT), np.arange(256))


def states_from_streams(streams, R):
    """States (..., 256) of circular streams given as bytes (..., 32*R)."""
    streams = np.asarray(streams, dtype=np.uint8)
    nbytes = 32 * R
    pos = R * np.arange(256)
    q, off = pos // 8, pos % 8
    b = streams.astype(np.uint32)
    v = (b[..., q] << 16) | (b[..., (q + 1) % nbytes] << 8) | b[..., (q + 2) % nbytes]
    return ((v >> (8 - off).astype(np.uint32)) & 0xFFFF).astype(np.uint16)


def _tiles_to_matrix(tile_states, m, k):
    """(m/16, k/16, 256) states in stream order -> (m, k) matrix."""
    tm, tk = m // 16, k // 16
    flat = np.empty((tm, tk, 256), dtype=tile_states.dtype)
    flat[..., _TILE_FLAT] = tile_states
    return flat.reshape(tm, tk, 16, 16).transpose(0, 2, 1, 3).reshape(m, k)


def encode_streams(streams, m, k, R):
    """Packed int16 tensor of shape ((m/16)*(k/16), 16*R) from the tiles'
    streams, bytes (m/16, k/16, 32*R), plus the (m, k) uint16 states."""
    assert m % 32 == 0 and k % 32 == 0 and 1 <= R <= 4
    streams = np.ascontiguousarray(streams, dtype=np.uint8)
    assert streams.shape == (m // 16, k // 16, 32 * R)
    # Chunk of lane l = stream bytes R*l .. R*l+R-1 (MSB first).
    s = streams.reshape(m // 32, 2, k // 32, 2, 32, R)  # p, submi, j, subki, lane, byte
    # Lane word block V = sum_t chunk_t << (8*R*t), t = submi + 2*subki, stored
    # little-endian: slot-major, and each chunk's bytes reversed.
    g = s.transpose(0, 2, 4, 3, 1, 5)[..., ::-1]  # p, j, lane, subki, submi, byte
    words = np.ascontiguousarray(g).reshape(-1).view("<u2").view(np.int16)
    packed = words.reshape((m // 16) * (k // 16), 16 * R).copy()
    states = _tiles_to_matrix(states_from_streams(streams, R), m, k)
    if torch is not None:
        packed = torch.from_numpy(packed)
    return packed, states


def encode_random(m, k, R, seed=0):
    """Random packed weights: every tile gets a random circular stream, so its
    256 windows form a consistent ring of states. Returns (packed, states):
    packed an int16 torch tensor ((m/16)*(k/16), 16*R), states an (m, k)
    uint16 numpy array."""
    rng = np.random.default_rng(seed)
    streams = rng.integers(0, 256, size=(m // 16, k // 16, 32 * R), dtype=np.uint8)
    return encode_streams(streams, m, k, R)


def decode_packed_states(packed, m, k):
    """Reads the (m, k) states out of a packed tensor (the reader's side)."""
    if torch is not None and isinstance(packed, torch.Tensor):
        packed = packed.contiguous().numpy()
    packed = np.ascontiguousarray(packed)
    R = packed.shape[1] // 16
    b = packed.view(np.uint16).astype("<u2").view(np.uint8)
    g = b.reshape(m // 32, k // 32, 32, 2, 2, R)[..., ::-1]  # p, j, lane, subki, submi, byte
    streams = g.transpose(0, 4, 1, 3, 2, 5).reshape(m // 16, k // 16, 32 * R)
    return _tiles_to_matrix(states_from_streams(streams, R), m, k)


def pack_word_ramp(m, k, R):
    """Packed tensor whose word i holds i (mod 2^16)."""
    n = (m // 16) * (k // 16) * 16 * R
    w = (np.arange(n) & 0xFFFF).astype(np.uint16).view(np.int16)
    w = w.reshape(-1, 16 * R)
    return torch.from_numpy(w.copy()) if torch is not None else w


# ------------------------------------------------------------ transforms

def block_table(blocks):
    """int32 (nblocks, 4) table {offset, bs, log_bs, pad} from (offset, bs)."""
    rows = []
    for off, bs in blocks:
        lg = int(bs).bit_length() - 1 if bs > 0 else 0
        rows.append((off, bs, lg, 0))
    t = np.array(rows, dtype=np.int32).reshape(-1, 4)
    return torch.from_numpy(t) if torch is not None else t


def _as_np(a):
    if torch is not None and isinstance(a, torch.Tensor):
        return a.detach().cpu().numpy()
    return np.asarray(a)


def _fht_rows(x, meta, dtype):
    x = np.array(_as_np(x), dtype=dtype, copy=True)
    meta = _as_np(meta).astype(np.int64).reshape(-1, 4)
    rows = x.reshape(-1, x.shape[-1]) if x.size else x.reshape(0, x.shape[-1])
    for off, bs, _, _ in meta:
        if bs <= 0:
            continue
        seg = rows[:, off:off + bs].copy()
        h = 1
        while h < bs:
            v = seg.reshape(rows.shape[0], bs // (2 * h), 2, h)
            a, b = v[:, :, 0, :].copy(), v[:, :, 1, :].copy()
            v[:, :, 0, :] = a + b
            v[:, :, 1, :] = a - b
            h *= 2
        r = dtype(np.sqrt(np.float64(bs)))
        rows[:, off:off + bs] = seg / r
    return rows.reshape(x.shape)


def hadamard_ref(x, meta):
    """Block-diagonal normalised Hadamard transform of the rows of x, in the
    exact float32 sequence: butterflies with strides 1, 2, 4, ..., then every
    element divided by sqrt(bs) rounded to float32."""
    return _fht_rows(x, meta, np.float32)


def hadamard_f64(x, meta):
    """The same transform in float64."""
    return _fht_rows(x, meta, np.float64)


def layer_ref_f64(x, sv, su, W1, meta_n, meta_m, wscale, W2=None, inv_rs2=0.0):
    """y = su * H_m(wscale * (W1 + inv_rs2 * W2) @ H_n(sv * x)), in float64.
    W1, W2 are dense (m, k) weight values (see ``dense``)."""
    x = _as_np(x).astype(np.float64)
    W = _as_np(W1).astype(np.float64)
    if W2 is not None:
        W = W + float(inv_rs2) * _as_np(W2).astype(np.float64)
    xr = hadamard_f64(x * _as_np(sv).astype(np.float64).reshape(-1), meta_n)
    y = float(wscale) * (xr @ W.T)
    return hadamard_f64(y, meta_m) * _as_np(su).astype(np.float64).reshape(-1)

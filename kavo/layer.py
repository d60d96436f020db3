"""A trellis-quantized linear layer as a torch module.

y = su * H_m(wscale * (W1 + inv_resid_scale2 * W2) @ H_n(sv * x))

W1 (and the optional residual W2) stay packed; the native layer functions
decode them on the fly (small batches) or into a transient dense matrix.
"""

import math
import numbers

import torch

from . import _C_cpu

__all__ = ["TrellisLinear", "hadamard_block_table"]


def hadamard_block_table(width, max_block=None):
    """Block table {offset, bs, log_bs, pad} (int32, (nblocks, 4)) that covers
    a row of `width` elements with power-of-two blocks, largest first, none
    larger than `max_block` (a power of two; None means no cap)."""
    if isinstance(width, bool) or not isinstance(width, numbers.Integral):
        raise TypeError(f"width must be an int, got {type(width).__name__}")
    if width < 1:
        raise ValueError(f"width must be positive, got {width}")
    if max_block is not None:
        if isinstance(max_block, bool) or not isinstance(max_block, numbers.Integral):
            raise TypeError(
                f"max_block must be an int or None, got {type(max_block).__name__}")
        if max_block < 1 or max_block & (max_block - 1):
            raise ValueError(f"max_block must be a positive power of two, got {max_block}")
    rows, off = [], 0
    while off < width:
        bs = 1 << ((width - off).bit_length() - 1)
        if max_block is not None:
            bs = min(bs, int(max_block))
        rows.append((off, bs, bs.bit_length() - 1, 0))
        off += bs
    return torch.tensor(rows, dtype=torch.int32)


def _check_int(name, v, multiple):
    if isinstance(v, bool) or not isinstance(v, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(v).__name__}")
    if v <= 0 or v % multiple:
        raise ValueError(f"{name} must be a positive multiple of {multiple}, got {v}")
    return int(v)


def _check_scale(name, v):
    if isinstance(v, torch.Tensor) and v.numel() == 1:
        v = v.item()
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(v).__name__}")
    v = float(v)
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    return v


def _check_tensor(name, t):
    if not isinstance(t, torch.Tensor):
        raise TypeError(f"{name} must be a torch.Tensor, got {type(t).__name__}")
    if t.device.type != "cpu":
        raise ValueError(f"{name} must be on the CPU, got device {t.device}")
    return t.detach()


def _check_packed(name, t, m, k, lo):
    t = _check_tensor(name, t)
    if t.dtype != torch.int16:
        raise TypeError(f"{name} must be int16, got {t.dtype}")
    rows = (m // 16) * (k // 16)
    if t.dim() != 2 or t.shape[0] != rows or t.shape[1] % 16 \
            or not lo <= t.shape[1] // 16 <= 4:
        raise ValueError(
            f"{name} must have shape ({rows}, 16*R) with R in {lo}..4 for a "
            f"{m} x {k} matrix, got {tuple(t.shape)}")
    return t.contiguous()


def _check_signs(name, t, n):
    t = _check_tensor(name, t)
    if not (t.dtype.is_floating_point or t.dtype in (torch.int8, torch.int16,
                                                     torch.int32, torch.int64)):
        raise TypeError(f"{name} must be a real tensor, got {t.dtype}")
    if t.numel() != n:
        raise ValueError(f"{name} must have {n} elements, got {t.numel()}")
    t = t.reshape(n).to(torch.float32).contiguous()
    if not torch.isfinite(t).all():
        raise ValueError(f"{name} must be finite")
    return t


def _check_table(name, t, width):
    if t is None:
        return hadamard_block_table(width)
    t = _check_tensor(name, t)
    if t.dtype != torch.int32:
        raise TypeError(f"{name} must be int32, got {t.dtype}")
    if t.dim() != 2 or t.shape[1] != 4:
        raise ValueError(f"{name} must have shape (nblocks, 4), got {tuple(t.shape)}")
    for b, (off, bs, log_bs, _) in enumerate(t.tolist()):
        if bs < 1 or bs & (bs - 1) or log_bs != bs.bit_length() - 1:
            raise ValueError(
                f"{name} block {b}: bs {bs} must be a power of two with log_bs "
                f"{bs.bit_length() - 1 if bs > 0 else '?'}, got log_bs {log_bs}")
        if off < 0 or off + bs > width:
            raise ValueError(
                f"{name} block {b}: [{off}, {off + bs}) is outside a row of {width}")
    return t.contiguous()


class TrellisLinear(torch.nn.Module):
    """Linear layer y = su * H_m(wscale * (W1 + inv_resid_scale2 * W2) H_n(sv * x)).

    Arguments:
      in_features, out_features: the layer's widths (multiples of 64 and 32).
      trellis_packed: int16 ((out/16)*(in/16), 16*R), R in 2..4: stage 1.
      sv, su: input and output sign vectors (in_features, out_features values).
      wscale: global weight scale.
      trellis_packed2: optional residual stage, R in 1..4.
      inv_resid_scale2: factor of the residual stage; non-zero exactly when
        trellis_packed2 is given.
      blocks_n_meta, blocks_m_meta: block tables of the input and output
        transforms; by default one table from `hadamard_block_table`.

    Everything is kept in buffers, so state_dict() holds the whole layer.
    """

    def __init__(self, in_features, out_features, trellis_packed, sv, su,
                 wscale=1.0, *, trellis_packed2=None, inv_resid_scale2=0.0,
                 blocks_n_meta=None, blocks_m_meta=None):
        super().__init__()
        n = _check_int("in_features", in_features, 64)
        m = _check_int("out_features", out_features, 32)
        self.in_features, self.out_features = n, m
        packed = _check_packed("trellis_packed", trellis_packed, m, n, 2)
        if trellis_packed2 is not None and trellis_packed2.numel() == 0:
            trellis_packed2 = None
        inv_rs2 = _check_scale("inv_resid_scale2", inv_resid_scale2)
        if trellis_packed2 is None:
            if inv_rs2 != 0.0:
                raise ValueError(
                    f"inv_resid_scale2 must be 0 without trellis_packed2, got {inv_rs2}")
            packed2 = torch.empty(0, 16, dtype=torch.int16)
        else:
            packed2 = _check_packed("trellis_packed2", trellis_packed2, m, n, 1)
            if inv_rs2 == 0.0:
                raise ValueError("inv_resid_scale2 must be non-zero with trellis_packed2")
        ws = _check_scale("wscale", wscale)
        self.register_buffer("trellis_packed", packed)
        self.register_buffer("trellis_packed2", packed2)
        self.register_buffer("sv", _check_signs("sv", sv, n))
        self.register_buffer("su", _check_signs("su", su, m))
        self.register_buffer("blocks_n_meta", _check_table("blocks_n_meta", blocks_n_meta, n))
        self.register_buffer("blocks_m_meta", _check_table("blocks_m_meta", blocks_m_meta, m))
        self.register_buffer("wscale", torch.tensor(ws, dtype=torch.float64))
        self.register_buffer("inv_resid_scale2", torch.tensor(inv_rs2, dtype=torch.float64))

    @classmethod
    def from_state_dict(cls, state_dict, prefix=""):
        """Builds a layer (one or two stages) from a saved state_dict."""
        g = lambda key: state_dict[prefix + key]  # noqa: E731
        packed2 = g("trellis_packed2")
        return cls(g("sv").numel(), g("su").numel(), g("trellis_packed"),
                   g("sv"), g("su"), g("wscale").item(),
                   trellis_packed2=packed2 if packed2.numel() else None,
                   inv_resid_scale2=g("inv_resid_scale2").item(),
                   blocks_n_meta=g("blocks_n_meta"), blocks_m_meta=g("blocks_m_meta"))

    # Buffers whose shape is a property of the saved layer, not of its widths.
    _SHAPED_BY_STATE = ("trellis_packed", "trellis_packed2", "blocks_n_meta", "blocks_m_meta")

    def _load_from_state_dict(self, state_dict, prefix, local_metadata, strict,
                              missing_keys, unexpected_keys, error_msgs):
        # A checkpoint may carry other bit widths, a residual stage or other
        # block tables than this layer was built with: validate it as a whole
        # layer, then let those buffers take its shapes before the copy.
        if all(prefix + k in state_dict for k in self._buffers):
            try:
                saved = TrellisLinear.from_state_dict(state_dict, prefix)
            except (TypeError, ValueError) as e:
                error_msgs.append(f"invalid {type(self).__name__} state: {e}")
                return
            if (saved.in_features, saved.out_features) != (self.in_features,
                                                             self.out_features):
                # refuse as a whole rather than copy the buffers that fit
                error_msgs.append(
                    f"size mismatch for {type(self).__name__}: the state holds a "
                    f"{saved.in_features} -> {saved.out_features} layer, this one is "
                    f"{self.in_features} -> {self.out_features}")
                return
            for name in self._SHAPED_BY_STATE:
                self._buffers[name] = torch.empty_like(saved._buffers[name])
        super()._load_from_state_dict(state_dict, prefix, local_metadata, strict,
                                      missing_keys, unexpected_keys, error_msgs)

    @property
    def bits(self):
        return self.trellis_packed.shape[1] // 16

    @property
    def has_residual(self):
        return self.trellis_packed2.numel() > 0

    def extra_repr(self):
        s = f"in_features={self.in_features}, out_features={self.out_features}, bits={self.bits}"
        if self.has_residual:
            s += f", residual_bits={self.trellis_packed2.shape[1] // 16}"
        return s

    def forward(self, x):
        if not isinstance(x, torch.Tensor):
            raise TypeError(f"x must be a torch.Tensor, got {type(x).__name__}")
        if not x.dtype.is_floating_point:
            raise TypeError(f"x must have a floating dtype, got {x.dtype}")
        if x.dim() < 1 or x.shape[-1] != self.in_features:
            raise ValueError(
                f"x must have shape (..., {self.in_features}), got {tuple(x.shape)}")
        if x.device.type != "cpu":
            raise ValueError(f"x must be on the CPU, got device {x.device}")
        lead = x.shape[:-1]
        x2d = x.reshape(-1, self.in_features)
        if x2d.shape[0] == 0:
            return x.new_zeros(*lead, self.out_features)
        n, m = self.in_features, self.out_features
        ws = float(self.wscale)
        if self.has_residual:
            y = _C_cpu.kavo_fused_linear_trellis_3inst_rvq2_cpu(
                x2d, self.sv, self.su, self.trellis_packed, self.trellis_packed2,
                self.blocks_n_meta, self.blocks_m_meta, ws,
                float(self.inv_resid_scale2), n, m, n, m)
        else:
            y = _C_cpu.kavo_fused_linear_trellis_3inst_cpu(
                x2d, self.sv, self.su, self.trellis_packed,
                self.blocks_n_meta, self.blocks_m_meta, ws, n, m, n, m)
        return y.to(x.dtype).reshape(*lead, m)

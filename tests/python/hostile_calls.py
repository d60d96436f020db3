"""Hostile calls into every function of the native module, driven by
hypothesis. Run as a program (see test_hostile.py): it must exit 0.

Every call either returns a correct result or raises RuntimeError/TypeError
with a message. Tensors live inside larger sentinel-filled byte arenas, so a
write outside the output, or into an input, shows up as a changed byte. A
model of the argument checks says which calls must succeed and which must be
refused; a few corners where either is acceptable are marked as such.

Before each call its description is written to the file named by the first
argument, so that a crash can be attributed to the call that made it.

Usage: hostile_calls.py LOGFILE [EXAMPLES_PER_FUNCTION]
"""

import os
import sys
import warnings

import numpy as np
import torch
from hypothesis import HealthCheck, given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kavo import _C_cpu as C  # noqa: E402
import trellis_ref as ref  # noqa: E402

warnings.simplefilter("ignore")
np.seterr(all="ignore")

TIERS = [t for t in ("scalar", "avx2", "avx512", "avx512fp16") if C.kavo_cpu_isa_available(t)]
DTYPES = [torch.float32, torch.float16, torch.float64, torch.bfloat16,
          torch.int16, torch.int32, torch.int64, torch.bool]
SENTINEL = 0xA5
HUGE = [2 ** 40, 2 ** 62, 2 ** 63 - 1]
BAD_INTS = [0, -32, -64, 16, 48, 96, -2 ** 63] + HUGE
LUT_BITS = ref.codebook_bits(np.arange(65536))


# ------------------------------------------------------------ tensor specs

class T:
    """How to build one tensor argument: its logical values, dtype, layout
    ('contig', 'transposed', 'strided', 'expanded'), element offset inside its
    arena, device, and optionally the arena of another argument to share."""

    def __init__(self, values, dtype, layout="contig", offset=0, device="cpu",
                 share=None, delta=0, shape=None):
        self.values = values          # numpy array (expanded: values of one row)
        self.dtype = dtype
        self.layout = layout
        self.offset = offset
        self.device = device
        self.share = share            # name of an argument whose arena to use
        self.delta = delta            # elements relative to that argument's start
        self.shape = tuple(shape if shape is not None else np.shape(values))

    def __repr__(self):
        extra = f", share={self.share}{self.delta:+d}" if self.share else ""
        return (f"T({str(self.dtype)[6:]}{list(self.shape)} {self.layout} "
                f"off={self.offset} {self.device}{extra})")

    def base_shape(self):
        s = list(self.shape)
        if self.layout == "transposed":
            s[-1], s[-2] = s[-2], s[-1]
        elif self.layout == "strided":
            s[-1] *= 2
        elif self.layout == "expanded":
            s[0] = 1
        elif self.layout == "bcast":
            s = [1] * len(s)
        return s


def esize(dtype):
    return torch.empty((), dtype=dtype).element_size()


def build(specs):
    """Materialises the specs (dict name -> T or other value). Returns the
    arguments and the list of arenas (uint8 tensors)."""
    placed, arenas, out = {}, {}, {}
    for name, s in specs.items():
        if not isinstance(s, T) or s.device != "cpu":
            continue
        es = esize(s.dtype)
        n = int(np.prod(s.base_shape()))
        if s.share is not None and s.share in placed:
            aname, start0 = placed[s.share][0], placed[s.share][1]
            start = max(0, start0 + s.delta * es) // es * es
        else:
            aname, start = name, 64 + s.offset * es
        placed[name] = (aname, start, start + n * es)
    sizes = {}
    for aname, start, end in placed.values():
        sizes[aname] = max(sizes.get(aname, 0), end + 64)
    for aname, size in sizes.items():
        arenas[aname] = torch.full((size + (-size) % 8,), SENTINEL, dtype=torch.uint8)
    for name, s in specs.items():
        if not isinstance(s, T):
            out[name] = s
            continue
        if s.device != "cpu":
            out[name] = torch.empty(s.shape, dtype=s.dtype, device=s.device)
            continue
        aname, start, _ = placed[name]
        es = esize(s.dtype)
        bs = s.base_shape()
        flat = arenas[aname].view(s.dtype)
        strides = [int(np.prod(bs[i + 1:])) for i in range(len(bs))]
        base = flat.as_strided(bs, strides, start // es)
        if s.layout == "transposed":
            t = base.transpose(-1, -2)
        elif s.layout == "strided":
            t = base[..., ::2]
        elif s.layout in ("expanded", "bcast"):
            t = base.expand(s.shape)
        else:
            t = base
        vals = torch.from_numpy(np.ascontiguousarray(s.values)).to(s.dtype)
        if s.layout in ("expanded", "bcast"):
            base.copy_(vals.reshape(-1)[:base.numel()].reshape(base.shape))
        else:
            t.copy_(vals.reshape(t.shape))
        out[name] = t
    return out, list(arenas.values())


def np_of(t):
    t = t.detach()
    if t.dtype == torch.bfloat16:
        t = t.float()
    return t.contiguous().numpy().copy()


def ptr_range(t):
    p = t.data_ptr()
    return p, p + t.numel() * t.element_size()


def overlaps(a, b):
    (a0, a1), (b0, b1) = ptr_range(a), ptr_range(b)
    return a0 < b1 and b0 < a1


def same_values(got, want):
    """Equal values, NaN where NaN (zero signs and NaN payloads aside)."""
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    return got.shape == want.shape and bool(np.all((got == want) | (np.isnan(got) & np.isnan(want))))


def close_values(got, want, tol):
    """Finite where the reference is finite and within tol there; non-finite
    elsewhere."""
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    if got.shape != want.shape:
        return False
    fin = np.isfinite(want)
    if not np.array_equal(np.isfinite(got), fin):
        return False
    return bool(np.all(np.abs(got - want)[fin] <= np.broadcast_to(tol, want.shape)[fin]))


# --------------------------------------------------------------- the runner

CALLS = {}     # calls made, per function
RESULTS = {}   # of which returned a (checked) result
AFTER = {}
LOG = None


def log_call(fname, specs, extra=""):
    desc = f"{fname}({', '.join(f'{k}={v!r}' for k, v in specs.items())}){extra}\n"
    LOG.seek(0)
    LOG.truncate()
    LOG.write(desc.encode())


class Failure(AssertionError):
    pass


def run_case(fname, specs, expect, check, out_name=None, state=None):
    """expect: True (must succeed), False (must be refused), None (either).
    check(args, result) -> (ok, expected out values or None)."""
    try:
        args, arenas = build(specs)
    except (RuntimeError, ValueError) as e:  # the harness could not build it
        raise Failure(f"cannot build {specs}: {e}")
    before = [a.clone() for a in arenas]
    inputs = {k: v.clone() if isinstance(v, torch.Tensor) and v.device.type == "cpu"
              and v.numel() < 2 ** 24 else v for k, v in args.items()}
    tier = (state or {}).get("tier")
    variant = (state or {}).get("variant")
    log_call(fname, specs, f" tier={tier} variant={variant}")
    CALLS[fname] = CALLS.get(fname, 0) + 1
    try:
        if tier:
            C.kavo_cpu_set_isa(tier)
        if variant:
            C.kavo_cpu_set_decode_variant(variant)
        active = C.kavo_cpu_active_isa()
        try:
            res = getattr(C, fname)(**args)
            err = None
        except (RuntimeError, TypeError) as e:
            res, err = None, e
        AFTER["active"] = C.kavo_cpu_active_isa()
    finally:
        C.kavo_cpu_set_isa("auto")
        C.kavo_cpu_set_decode_variant("auto")
    where = f"{fname} {specs} tier={tier} variant={variant}"
    if err is not None:
        if not str(err).strip():
            raise Failure(f"empty message from {where}")
        if expect:
            raise Failure(f"refused a valid call {where}: {err}")
        if AFTER["active"] != active:
            raise Failure(f"refused call changed the tier: {where}")
        for a, b in zip(arenas, before):
            if not torch.equal(a, b):
                raise Failure(f"refused call wrote memory: {where}: {err}")
        return
    if expect is False:
        raise Failure(f"accepted an invalid call {where} -> {res!r}"[:2000])
    ok, msg = check(inputs, args, res)
    RESULTS[fname] = RESULTS.get(fname, 0) + 1
    if not ok:
        raise Failure(f"wrong result {where}: {msg}"[:3000])
    # Memory: outside the output nothing changed; the output (when given)
    # was checked by `check` through `res`, which must be `out` itself.
    out = args.get(out_name) if out_name else None
    if out is not None:
        if not (isinstance(res, torch.Tensor) and res.data_ptr() == out.data_ptr()
                and res.shape == out.shape):
            raise Failure(f"result is not the given out: {where}")
    for a, b in zip(arenas, before):
        changed = (a != b).nonzero().flatten()
        if changed.numel() == 0:
            continue
        if out is None:
            raise Failure(f"wrote into an input: {where}: bytes {changed[:8].tolist()}")
        lo, hi = ptr_range(out)
        addrs = a.data_ptr() + changed
        if bool(((addrs < lo) | (addrs >= hi)).any()):
            raise Failure(f"wrote outside out: {where}")
    if isinstance(res, torch.Tensor) and out is None:
        for a in arenas:
            if res.numel() and overlaps(res, a):
                raise Failure(f"result shares memory with an argument: {where}")


# ------------------------------------------------------------- strategies

CLEAN = [False]


def set_clean(draw):
    """Half of the cases are well-formed calls (that reach the kernels, with
    hostile layouts and values only); the rest mix in hostile arguments."""
    CLEAN[0] = draw(st.booleans())


def pick(draw, good, bad=()):
    return draw(st.sampled_from(list(good) if CLEAN[0] or not bad else list(good) * 3 + list(bad)))


def st_values(draw, shape, kind="float"):
    """Small integers (exact products), sometimes with NaN/inf/-0 mixed in."""
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    n = int(np.prod(shape))
    if kind == "int16":
        return rng.integers(-2 ** 15, 2 ** 15, shape).astype(np.int16)
    v = rng.integers(-2, 3, n).astype(np.float64)
    if n and draw(st.integers(0, 5)) == 0:
        for _ in range(draw(st.integers(1, 3))):
            v[rng.integers(n)] = draw(st.sampled_from([np.nan, np.inf, -np.inf, -0.0]))
    return v.reshape(shape)


def st_layout(draw, shape):
    opts = ["contig"] * 3 + (["transposed", "strided"] if len(shape) >= 2 else
                             ["strided"] if len(shape) == 1 else [])
    if len(shape) >= 1 and shape[0] > 1:
        opts.append("expanded")
    return draw(st.sampled_from(opts))


def st_tensor(draw, shape, dtype=torch.float32, values=None, share=None, delta=0,
              dtype_p=6, device_p=20):
    """A tensor of the given shape; with odds 1/dtype_p another dtype and
    1/device_p the meta device."""
    if dtype_p and not CLEAN[0] and draw(st.integers(0, dtype_p)) == 0:
        dtype = draw(st.sampled_from(DTYPES))
    device = "meta" if device_p and not CLEAN[0] and draw(st.integers(0, device_p)) == 0 else "cpu"
    layout = st_layout(draw, shape)
    if values is None:
        values = st_values(draw, shape, "int16" if dtype == torch.int16 else "float")
    if layout == "expanded":
        values = np.broadcast_to(np.asarray(values)[:1], shape).copy()
    offset = draw(st.sampled_from([0, 1, 3, 15]))
    return T(values, dtype, layout, offset, device, share, delta, shape)


def st_huge_expanded(draw, shape):
    """A tensor whose element count is astronomically large (stride 0)."""
    return T(np.zeros(1), torch.float32, "bcast", 0, "cpu", shape=shape)


def st_state(draw):
    return {"tier": draw(st.sampled_from(TIERS)),
            "variant": draw(st.sampled_from(["auto", "arith", "lut"]))}


def st_mk(draw):
    """(m, k): usually small and valid, sometimes hostile."""
    m = pick(draw, [32, 64, 96], BAD_INTS)
    k = pick(draw, [64, 128], BAD_INTS)
    return m, k


def kernel_supported(m, k):
    return m > 0 and k > 0 and m % 32 == 0 and k % 64 == 0


def fits(m, k):
    return kernel_supported(m, k) and m * k < 2 ** 63


def st_packed(draw, m, k, lo):
    """Packed weights for (m, k): usually right, sometimes hostile. Returns
    (tspec, valid)."""
    R = draw(st.integers(lo, 4))
    small = kernel_supported(m, k) and m * k <= 96 * 128
    mode = pick(draw, ["good"] * 2, ["cols", "rows", "rank", "dtype", "meta", "huge", "empty"])
    if mode == "good" and small:
        packed, _ = ref.encode_random(m, k, R, seed=draw(st.integers(0, 9)))
        tspec = st_tensor(draw, tuple(packed.shape), torch.int16, packed.numpy(), dtype_p=0, device_p=0)
        return tspec, True
    if mode == "huge" and kernel_supported(m, k) and (m // 16) * (k // 16) * 64 < 2 ** 62:
        rows = (m // 16) * (k // 16)
        return T(np.zeros(1), torch.int16, "bcast", shape=(rows, 16 * R)), (False if rows > 2 ** 30 else None)
    rows = draw(st.sampled_from([0, 1, 7, 8, 24]))
    cols = 16 * R
    if mode == "cols":
        cols = draw(st.sampled_from([0, 8, 16, 40, 80, 88, 15 + 16 * R]))
    if mode == "rows" and small:
        rows = (m // 16) * (k // 16) + draw(st.sampled_from([-1, 1, 16]))
    shape = {"rank": draw(st.sampled_from([(rows * cols,), (1, rows, cols), ()]))}.get(mode, (rows, cols))
    dtype = draw(st.sampled_from([t for t in DTYPES if t != torch.int16])) if mode == "dtype" else torch.int16
    tspec = st_tensor(draw, shape, dtype, dtype_p=0, device_p=0)
    if mode == "meta":
        tspec.device = "meta"
    valid = (small and mode in ("cols", "rows", "good") and len(shape) == 2
             and shape[0] == (m // 16) * (k // 16) and shape[1] == 16 * R and R >= lo)
    return tspec, valid or None if valid else False


def st_wscale(draw):
    return pick(draw, [1.0, 0.5, -2.0, 0.1, 0.0, -0.0, float("nan"), float("inf"), 1e300, 1e-50, 3,
                       np.float32(0.25)], ["1.0", None])


def ws_f32(w):
    return np.float32(float(w))


def scalar_ok(w):
    return not isinstance(w, (str, type(None)))


def st_int_arg(draw, v):
    """An int argument, sometimes in a hostile Python type."""
    return pick(draw, [v] * 3, [float(v), str(v), np.int64(v) if -2 ** 63 <= v < 2 ** 63 else v, 2 ** 64, None])


def int_ok(v):
    return isinstance(v, (int, np.integer)) and not isinstance(v, bool) and -2 ** 63 <= int(v) < 2 ** 63


# ---------------------------------------------------------------- products

def dense_of(packed, m, k):
    return ref.dense(ref.decode_packed_states(packed.contiguous(), m, k)).astype(np.float64)


def product_check(m, k, batched):
    def check(inputs, args, res):
        x = np_of(inputs["x"]).astype(np.float64).reshape(-1, k)
        W = dense_of(inputs["trellis_packed"], m, k)
        ws = ws_f32(args.get("wscale", 1.0))
        want = (x @ W.T).astype(np.float32).astype(np.float64) * np.float64(ws)
        want = want.astype(np.float32)
        accum = bool(args.get("accum", False))
        out = inputs.get("out")
        shape = (want.shape[0], m) if batched else (m,)
        if accum:
            want = np_of(out).reshape(want.shape).astype(np.float32) + want
        if out is not None:
            shape = tuple(out.shape)
        want = want.reshape(shape)
        if not isinstance(res, torch.Tensor) or res.dtype != torch.float32 or tuple(res.shape) != shape:
            return False, f"result {type(res)} {getattr(res, 'shape', None)}"
        if not res.is_contiguous():
            return False, "result not contiguous"
        return same_values(res.numpy(), want), f"got {res.numpy()} want {want}"
    return check


def st_product(draw, batched):
    m, k = st_mk(draw)
    state = st_state(draw)
    B = pick(draw, [1, 2, 3, 8], [0, 9]) if batched else 1
    accum = pick(draw, [False, True], [None, 1, 0, "yes"])
    acc = bool(accum) if isinstance(accum, (bool, int, type(None))) else None
    valid = fits(m, k) and (acc is not None or None)
    kk = k if 0 <= k <= 4096 else 64
    # x
    if k == 2 ** 40 and draw(st.booleans()):
        x = st_huge_expanded(draw, (B, k) if batched else (k,))
        valid = False
    else:
        if batched:
            shape = pick(draw, [(B, kk)], [(B, kk + 1), (kk,), (B, 1, kk), (B, kk // 2)])
            valid = valid and shape == (B, kk) and kk == k and 1 <= B <= 8
        else:
            shape = pick(draw, [(kk,), (1, kk), (kk, 1)], [(2, kk // 2), (kk + 1,), ()])
            valid = valid and int(np.prod(shape)) == k
        x = st_tensor(draw, shape)
        valid = valid and x.dtype == torch.float32 and x.device == "cpu"
    packed, pvalid = st_packed(draw, m, k, 1 if acc else 2)
    valid = valid and pvalid if pvalid is not False else False
    # out
    omode = pick(draw, ["none", "good", "good", "shape1", "alias_x", "alias_packed"],
                 ["dtype", "numel", "strided", "meta"])
    n_out = B * m if batched else m
    n_out_s = n_out if 0 < n_out <= 8 * 96 else 32
    specs = {"x": x, "trellis_packed": packed, "m": st_int_arg(draw, m), "k": st_int_arg(draw, k)}
    if omode == "none":
        valid = valid and not acc
    else:
        oshape = {"numel": (n_out_s + 1,), "shape1": (1, n_out_s)}.get(omode, (n_out_s,))
        out = st_tensor(draw, oshape, dtype_p=0, device_p=0)
        out.layout = "strided" if omode == "strided" else "contig"
        if omode == "dtype":
            out.dtype = draw(st.sampled_from([t for t in DTYPES if t != torch.float32]))
        if omode == "meta":
            out.device = "meta"
        if omode in ("alias_x", "alias_packed") and x.device == "cpu" and packed.device == "cpu":
            out.share = "x" if omode == "alias_x" else "trellis_packed"
            out.delta = draw(st.sampled_from([-n_out_s, -4, 0, 4, 1 << 20]))
        valid = valid and n_out == n_out_s and omode in ("good", "shape1", "alias_x", "alias_packed")
        specs["out"] = out
    for name in ("m", "k"):
        valid = valid and int_ok(specs[name])
    if draw(st.booleans()):
        specs["wscale"] = st_wscale(draw)
        valid = valid and scalar_ok(specs["wscale"])
    if accum is not False or draw(st.booleans()):
        specs["accum"] = accum
    return specs, valid, state, m, k


def alias_fixup(args, valid):
    """An out overlapping the contiguous form of x or packed is refused; one
    that overlaps only a non-contiguous original (copied first) is fine."""
    out = args.get("out")
    if valid is not True or out is None:
        return valid
    for name in ("x", "trellis_packed"):
        t = args[name]
        if t.is_contiguous() and overlaps(out, t):
            return False
    return valid


def run_product(specs, valid, state, m, k, batched):
    fname = "kavo_decode_matmul_trellis_3inst_cpu" if batched else "kavo_decode_matvec_trellis_3inst_cpu"
    if valid and isinstance(specs.get("out"), T) and specs["out"].share:
        args, _ = build(specs)
        valid = alias_fixup(args, valid)
    run_case(fname, specs, valid, product_check(m, k, batched), "out", state)


# ------------------------------------------------------------- decompress

def st_decompress(draw):
    m, k = st_mk(draw)
    allow = pick(draw, [False, True], [None, 1, "x"])
    acc = bool(allow) if isinstance(allow, (bool, int, type(None))) else None
    lo = 1 if acc else 2
    if not CLEAN[0] and draw(st.integers(0, 4)) == 0:
        packed, pvalid = st_tensor(draw, (8, 32)), None
        packed.dtype = draw(st.sampled_from(DTYPES))
        pvalid = packed.dtype == torch.int16 and packed.device == "cpu" and m == 32 and k == 64
    else:
        packed, pvalid = st_packed(draw, m, k, lo)
    specs = {"trellis_packed": packed, "m": st_int_arg(draw, m), "k": st_int_arg(draw, k)}
    if allow is not False or draw(st.booleans()):
        specs["allow_r1"] = allow
    valid = fits(m, k) and int_ok(specs["m"]) and int_ok(specs["k"]) and (acc is not None or None)
    valid = valid and pvalid if pvalid is not False else False
    if valid is None or valid is True:
        # A packed tensor built for R = 1 needs allow_r1.
        if isinstance(packed, T) and len(packed.shape) == 2 and packed.shape[1] == 16 and not acc:
            valid = False

    def check(inputs, args, res):
        want = ref.codebook_bits(ref.decode_packed_states(inputs["trellis_packed"].contiguous(), m, k))
        if not isinstance(res, torch.Tensor) or res.dtype != torch.float16 or tuple(res.shape) != (m, k):
            return False, repr(res)
        got = res.view(torch.int16).numpy().view(np.uint16)
        return bool(np.array_equal(got, want)), "decoded bits differ"
    return specs, valid, check, st_state(draw)


# --------------------------------------------------------------- Hadamard

def st_table(draw, n, name="meta"):
    """A block table for rows of n: usually sound, sometimes hostile.
    Returns (tspec, valid)."""
    kind = pick(draw, ["good"] * 3 + ["strided", "zero"], ["pow2", "neg", "past", "dtype", "shape", "rank", "meta"])
    nb = draw(st.integers(0, 4))
    rows = []
    for _ in range(nb):
        bs = draw(st.sampled_from([0, -4, 1, 2, 4, 8, 16, 32, 64]))
        if bs > max(n, 0):
            bs = 1 if n > 0 else 0
        off = draw(st.integers(0, max(0, n - max(bs, 0))))
        rows.append([off, bs, max(bs, 1).bit_length() - 1, 0])
    valid = True
    if kind in ("pow2", "neg", "past"):
        bad = {"pow2": [0, draw(st.sampled_from([3, 6, 12, 2 ** 31 - 1])), 0, 0],
               "neg": [draw(st.sampled_from([-1, -2 ** 31])), 1, 0, 0],
               "past": [draw(st.sampled_from([max(n, 0), max(n - 1, 0), 2 ** 31 - 2 ** 30])),
                        draw(st.sampled_from([2, 2 ** 30])), 0, 0]}[kind]
        rows.insert(draw(st.integers(0, len(rows))), bad)
        valid = False
    vals = np.array(rows, dtype=np.int64).reshape(-1, 4)
    dtype, shape, layout = torch.int32, vals.shape, None
    if kind == "dtype":
        dtype = draw(st.sampled_from([torch.int64, torch.int16, torch.float32, torch.uint8]))
        valid = False
    if kind == "shape":
        vals, shape, valid = vals[:, :3], (vals.shape[0], 3), False
    if kind == "rank":
        vals, shape, valid = vals.reshape(-1), (vals.size,), False
    if kind == "zero":
        vals, shape = np.zeros((0, 4), np.int64), (0, 4)
    if kind == "strided":
        layout = "strided"
    tspec = T(vals, dtype, layout or "contig", draw(st.sampled_from([0, 1, 5])), shape=shape)
    if kind == "meta":
        tspec.device, valid = "meta", False
    return tspec, valid


def st_fht(draw):
    rows = draw(st.sampled_from([0, 1, 2, 5]))
    n = draw(st.sampled_from([0, 1, 4, 16, 64, 100]))
    shape = pick(draw, [(rows, n)], [(n,), (rows, 1, n), ()])
    x = st_tensor(draw, shape)
    meta, mvalid = st_table(draw, n)
    valid = x.dtype == torch.float32 and x.device == "cpu" and len(shape) == 2 and mvalid

    def check(inputs, args, res):
        want = ref.hadamard_ref(np_of(inputs["x"]), np_of(inputs["meta"]))
        if not isinstance(res, torch.Tensor) or res.dtype != torch.float32 or tuple(res.shape) != shape:
            return False, repr(res)
        got = res.numpy()
        ok = np.array_equal(np.isnan(got), np.isnan(want)) and np.array_equal(
            np.where(np.isnan(got), 0, got).view(np.uint32), np.where(np.isnan(want), 0, want).astype(np.float32).view(np.uint32))
        return ok and res.is_contiguous(), f"got {got} want {want}"
    return {"x": x, "meta": meta}, valid, check


# ------------------------------------------------------------ fused layer

def st_fused(draw, two_stage):
    n = pick(draw, [64, 128], [0, 96, -64] + HUGE[:1])
    m = pick(draw, [32, 64], [0, 48, -32] + HUGE[:1])
    B = pick(draw, [1, 2, 8, 9, 12, 1, 3], [0])
    valid = kernel_supported(m, n)
    nn, mm = (n if 0 < n <= 128 else 64), (m if 0 < m <= 64 else 32)
    xshape = pick(draw, [(B, nn)] * 3 + [(B, 1)], [(B, nn + 1), (nn,), (1, B, nn)])
    x = st_tensor(draw, xshape, device_p=30)
    valid = valid and len(xshape) == 2 and xshape[1] in (1, n) and B >= 1 and x.device == "cpu"
    if n == 2 ** 40 and draw(st.booleans()):
        sv = T(np.ones(1), torch.float32, "bcast", shape=(n,))
        valid = False
    else:
        sv = st_tensor(draw, pick(draw, [(nn,), (1, nn)], [(nn + 1,)]), device_p=30)
        valid = valid and int(np.prod(sv.shape)) == n and sv.device == "cpu"
    su = st_tensor(draw, pick(draw, [(mm,), (mm, 1)], [(mm - 1,)]), device_p=30)
    valid = valid and int(np.prod(su.shape)) == m and su.device == "cpu"
    packed, pvalid = st_packed(draw, m, n, 2)
    valid = valid and pvalid if pvalid is not False else False
    mn, v1 = st_table(draw, nn)
    mm_t, v2 = st_table(draw, mm)
    valid = valid and v1 and v2
    ws = st_wscale(draw)
    valid = valid and scalar_ok(ws)
    feats = [n, m]
    if not CLEAN[0] and draw(st.integers(0, 6)) == 0:
        feats[draw(st.integers(0, 1))] += draw(st.sampled_from([-64, 1, 4000]))
        valid = False
    specs = {"x": x, "sv": sv, "su": su, "trellis_packed": packed}
    packed2, inv = None, 0.0
    if two_stage:
        if draw(st.integers(0, 3)):
            packed2, p2valid = st_packed(draw, m, n, 1)
        else:
            packed2, p2valid = T(np.zeros((0, 32)), torch.int16, shape=(0, 32)), True
        present = int(np.prod(packed2.shape)) > 0
        inv = pick(draw, [0.5, 1e-7, 2, float("nan")] if present else [0.0, -0.0], [0.5, 0.0, -0.0])
        # A packed2 without elements counts as absent.
        if present != (inv != 0.0):
            valid = False
        elif present:
            valid = valid and p2valid if p2valid is not False else False
        specs["trellis_packed2"] = packed2
    specs.update({"blocks_n_meta": mn, "blocks_m_meta": mm_t, "wscale": ws})
    if two_stage:
        specs["inv_resid_scale2"] = inv
    specs.update({"in_features": st_int_arg(draw, feats[0]), "out_features": st_int_arg(draw, feats[1]),
                  "n_pad": st_int_arg(draw, n), "m_pad": st_int_arg(draw, m)})
    for name in ("in_features", "out_features", "n_pad", "m_pad"):
        valid = valid and int_ok(specs[name])
    if valid is not False and packed.layout == "expanded":
        valid = None

    def check(inputs, args, res):
        xv = np_of(inputs["x"]).astype(np.float32).astype(np.float64)
        if inputs["x"].dtype == torch.float64:  # converted to float32 first
            xv = np_of(inputs["x"]).astype(np.float32).astype(np.float64)
        svv = np_of(inputs["sv"]).astype(np.float32).reshape(-1)
        suv = np_of(inputs["su"]).astype(np.float32).reshape(-1)
        W1 = dense_of(inputs["trellis_packed"], m, n)
        W2 = dense_of(inputs["trellis_packed2"], m, n) if two_stage and inputs["trellis_packed2"].numel() else None
        w = float(ws_f32(args["wscale"]))
        want = ref.layer_ref_f64(xv, svv, suv, W1, np_of(inputs["blocks_n_meta"]),
                                 np_of(inputs["blocks_m_meta"]), w, W2, float(inv))
        if not isinstance(res, torch.Tensor) or res.dtype != torch.float32 or tuple(res.shape) != (B, m):
            return False, repr(res)
        # Rounding bound from the finite inputs (non-finite ones give
        # non-finite outputs, compared by class only).
        fin = lambda a: np.abs(np.where(np.isfinite(a), a, 0))  # noqa: E731
        xr = fin(xv) * fin(svv)
        wmax = np.abs(W1).max() + (fin(float(inv)) * np.abs(W2).max() if W2 is not None else 0)
        scale = fin(w) * wmax * np.sqrt(n) * np.sqrt((xr ** 2).sum(1, keepdims=True)) * fin(suv).max()
        tol = 1e-5 * (scale + np.abs(np.nan_to_num(want)).max(1, keepdims=True)) + 1e-30
        return close_values(res.numpy(), want, tol), f"got {res.numpy()} want {want}"
    return specs, valid, check, st_state(draw)


# --------------------------------------------------------- control calls

NAMES = ["scalar", "avx2", "avx512", "avx512fp16", "auto", "AVX2", "", "sse", "scalar ",
         "scalar\x00x", "avx512\x00", "lut", "arith", "LUT", "é", "a" * 1000]
ODD = [None, 3, 1.5, b"scalar", ["scalar"], torch.zeros(2)]


def control_cases():
    """(function, args, expect, check) for every control function."""
    avail = set(TIERS)
    best = C.kavo_cpu_active_isa()
    cases = []
    for nm in NAMES + ODD:
        # pybind11 also converts bytes to a string.
        s = isinstance(nm, (str, bytes)) or None
        txt = nm.decode() if isinstance(nm, bytes) else nm
        cases.append(("kavo_cpu_isa_available", {"name": nm}, s and (isinstance(nm, str) or None),
                      lambda i, a, r, t=txt: (r is (t in avail), r)))
        ok = s and (txt in avail or txt == "auto") or (s and False)
        if s and "\x00" in txt:
            ok = None  # the tier name is taken as a C string: cut at the NUL
        cases.append(("kavo_cpu_set_isa", {"name": nm}, ok,
                      lambda i, a, r, t=txt: (r is None and AFTER["active"] ==
                                              (best if t.split("\x00")[0] == "auto" else t.split("\x00")[0]),
                                              AFTER["active"])))
        cases.append(("kavo_cpu_set_decode_variant", {"variant": nm},
                      s and (txt in ("auto", "arith", "lut")) if isinstance(nm, str) else (s and None),
                      lambda i, a, r: (r is None, r)))
    for m in [32, 64, 0, -32, 48, 4096, 2 ** 62, 2 ** 63 - 1, -2 ** 63, 2 ** 63, 64.0, "32", None, np.int64(32)]:
        for k in [64, 11008, 96, 0, -64, 2 ** 62, 2 ** 64, 1.0]:
            ok = int_ok(m) and int_ok(k)
            cases.append(("kavo_trellis_cpu_kernel_supported", {"m": m, "k": k}, ok or (None if isinstance(m, np.integer) else False),
                          lambda i, a, r, m=m, k=k: (r is kernel_supported(int(m), int(k)), r)))
    for extra in [{}, {"x": 1}]:
        cases.append(("kavo_trellis_3inst_lut_cpu", extra, not extra,
                      lambda i, a, r: (r.dtype == torch.float16 and r.shape == (65536,) and np.array_equal(
                          r.view(torch.int16).numpy().view(np.uint16), LUT_BITS), "lut differs")))
        cases.append(("kavo_cpu_active_isa", extra, not extra, lambda i, a, r: (r in avail, r)))
    return cases


# ------------------------------------------------------------------ main

def hypothesis_runs(n):
    cfg = settings(max_examples=n, derandomize=True, database=None, deadline=None,
                   suppress_health_check=list(HealthCheck), print_blob=False)

    @cfg
    @given(st.data())
    def matvec(data):
        set_clean(data.draw)
        specs, valid, state, m, k = st_product(data.draw, False)
        run_product(specs, valid, state, m, k, False)

    @cfg
    @given(st.data())
    def matmul(data):
        set_clean(data.draw)
        specs, valid, state, m, k = st_product(data.draw, True)
        run_product(specs, valid, state, m, k, True)

    @cfg
    @given(st.data())
    def decompress(data):
        set_clean(data.draw)
        specs, valid, check, state = st_decompress(data.draw)
        run_case("kavo_decompress_trellis_3inst_cpu", specs, valid, check, state=state)

    @cfg
    @given(st.data())
    def fht(data):
        set_clean(data.draw)
        specs, valid, check = st_fht(data.draw)
        run_case("kavo_blockdiag_fht_cpu", specs, valid, check)

    @cfg
    @given(st.data())
    def fused(data):
        set_clean(data.draw)
        specs, valid, check, state = st_fused(data.draw, False)
        run_case("kavo_fused_linear_trellis_3inst_cpu", specs, valid, check, state=state)

    @cfg
    @given(st.data())
    def fused2(data):
        set_clean(data.draw)
        specs, valid, check, state = st_fused(data.draw, True)
        run_case("kavo_fused_linear_trellis_3inst_rvq2_cpu", specs, valid, check, state=state)

    return [matvec, matmul, decompress, fht, fused, fused2]


def main():
    global LOG
    LOG = open(sys.argv[1], "wb", buffering=0)
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    for fname, args, expect, check in control_cases():
        run_case(fname, args, expect, check)
    for run in hypothesis_runs(n):
        run()
    for fname in sorted(CALLS):
        print(f"{fname}: {CALLS[fname]} calls, {RESULTS.get(fname, 0)} results")
    missing = [f for f in dir(C) if f.startswith("kavo_") and f not in CALLS]
    if missing:
        raise Failure(f"functions never called: {missing}")


if __name__ == "__main__":
    main()

"""The fused linear layer: kavo_fused_linear_trellis_3inst_cpu (one stage) and
kavo_fused_linear_trellis_3inst_rvq2_cpu (two stages)."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch

import kavo
import trellis_ref as tr

C = kavo._C_cpu
one = C.kavo_fused_linear_trellis_3inst_cpu
two = C.kavo_fused_linear_trellis_3inst_rvq2_cpu

M, N = 64, 128
WSCALE, INV_RS2 = 0.375, 0.3
HALF = ("trellis RVQ stage 2 is half-configured: packed2 is {} but "
        "inv_resid_scale2 = {}. Refusing rather than silently decoding stage 1 only.")
GEMM = ("fused CPU GEMM handles B <= {} (got {}); larger batches take the "
        "dense-transient path")


@pytest.fixture(scope="module")
def L():
    """A small layer: stage 1 at R = 3, stage 2 at R = 1, uneven blocks."""
    p1, s1 = tr.encode_random(M, N, 3, seed=5)
    p2, s2 = tr.encode_random(M, N, 1, seed=6)
    g = torch.Generator().manual_seed(7)
    return dict(
        p1=p1, p2=p2, W1=tr.dense(s1), W2=tr.dense(s2),
        sv=torch.randint(0, 2, (N,), generator=g).float() * 2 - 1,
        su=torch.randint(0, 2, (M,), generator=g).float() * 2 - 1,
        mn=tr.block_table([(0, 64), (64, 32), (96, 32)]),
        mm=tr.block_table([(0, 32), (32, 16), (48, 16)]))


def call(L, x, stages=2, **kw):
    a = dict(x=x, sv=L["sv"], su=L["su"], trellis_packed=L["p1"],
             blocks_n_meta=L["mn"], blocks_m_meta=L["mm"], wscale=WSCALE,
             in_features=N, out_features=M, n_pad=N, m_pad=M)
    if stages == 2:
        a.update(trellis_packed2=L["p2"], inv_resid_scale2=INV_RS2)
    a.update(kw)
    return (two if "trellis_packed2" in a else one)(**a)


def ref(L, x, stages):
    return tr.layer_ref_f64(x.float(), L["sv"], L["su"], L["W1"], L["mn"], L["mm"], WSCALE,
                            L["W2"] if stages == 2 else None, INV_RS2)


def rand_x(B, n=N, seed=0):
    return torch.randn(B, n, generator=torch.Generator().manual_seed(seed))


@pytest.mark.parametrize("stages", [1, 2])
@pytest.mark.parametrize("B", [1, 2, 3, 8, 9, 17])
def test_matches_formula(L, B, stages):
    x = rand_x(B, seed=B)
    y = call(L, x, stages)
    assert y.dtype == torch.float32 and y.shape == (B, M) and y.is_contiguous()
    r = ref(L, x, stages)
    assert np.abs(y.numpy() - r).max() <= 2e-6 * np.abs(r).max()


def test_batch_rows_are_independent(L):
    # the matvec, GEMM and dense paths agree row for row up to rounding
    x = rand_x(9, seed=3)
    full = call(L, x)
    for rows in (slice(0, 1), slice(0, 4), slice(1, 9)):
        torch.testing.assert_close(call(L, x[rows]), full[rows], rtol=0, atol=1e-5)


@pytest.mark.parametrize("B", [1, 4, 9])
def test_inputs_unchanged_and_half_input(L, B):
    x = rand_x(B, seed=11).half()
    keep = {k: v.clone() for k, v in L.items() if isinstance(v, torch.Tensor)}
    x0 = x.clone()
    y = call(L, x)
    assert y.dtype == torch.float32
    assert torch.equal(x, x0)
    for k, v in keep.items():
        assert torch.equal(L[k], v), k
    r = ref(L, x, 2)
    assert np.abs(y.numpy() - r).max() <= 2e-6 * np.abs(r).max()


@pytest.mark.parametrize("B", [1, 4, 9])
def test_empty_stage2_is_one_stage(L, B):
    x = rand_x(B, seed=2)
    empty = torch.empty(0, 32, dtype=torch.int16)
    assert torch.equal(call(L, x, trellis_packed2=empty, inv_resid_scale2=0.0),
                       call(L, x, stages=1))
    assert torch.equal(call(L, x, trellis_packed2=empty, inv_resid_scale2=-0.0),
                       call(L, x, stages=1))


def test_width_one_broadcasts(L):
    x = rand_x(3, n=1)
    torch.testing.assert_close(call(L, x), call(L, x.expand(3, N)), rtol=0, atol=0)
    with pytest.raises(RuntimeError):
        call(L, rand_x(3, n=N // 2))


R1 = "trellis CPU kernel supports R (bits/weight) 2-4, got 1"


# Each case breaks one or more things; the message of the first check in the
# layer's order must win.
@pytest.mark.parametrize("stages, kw, msg", [
    (1, dict(x=torch.zeros(N)), "x must be a CPU (B, in) tensor"),
    (1, dict(x=torch.zeros(2, N, device="meta")), "x must be a CPU (B, in) tensor"),
    (2, dict(x=torch.zeros(N), in_features=4000, sv=torch.zeros(3)),
     "x must be a CPU (B, in) tensor"),
    (1, dict(in_features=4000, out_features=4096, n_pad=4096, m_pad=4096),
     "trellis layers are unpadded; got n_pad 4096 != in 4000 or m_pad 4096 != out 4096"),
    (2, dict(out_features=M + 32, sv=torch.zeros(3), inv_resid_scale2=0.0),
     f"trellis layers are unpadded; got n_pad {N} != in {N} or m_pad {M} != out {M + 32}"),
    (1, dict(sv=torch.ones(N + 1)), "sv/su size mismatch"),
    (2, dict(su=torch.ones(M - 1), inv_resid_scale2=0.0), "sv/su size mismatch"),
    (2, dict(trellis_packed2=torch.empty(0, 16, dtype=torch.int16), inv_resid_scale2=0.5),
     HALF.format("absent", "0.5")),
    (2, dict(trellis_packed2=torch.empty(0, 16, dtype=torch.int16), inv_resid_scale2=1e-7),
     HALF.format("absent", "1e-07")),
    (2, dict(trellis_packed2=torch.empty(0, 16, dtype=torch.int16),
             inv_resid_scale2=float("nan")), HALF.format("absent", "nan")),
    (2, dict(inv_resid_scale2=0.0, trellis_packed=torch.zeros(32, 16, dtype=torch.int16)),
     HALF.format("present", "0")),
    (2, dict(inv_resid_scale2=0.0, sv=torch.ones(N, device="meta")),
     HALF.format("present", "0")),
    (1, dict(trellis_packed=torch.zeros(32, 16, dtype=torch.int16)), R1),
    (1, dict(x=rand_x(4), trellis_packed=torch.zeros(32, 16, dtype=torch.int16)), R1),
    (1, dict(x=rand_x(9), trellis_packed=torch.zeros(32, 16, dtype=torch.int16)), R1),
    (1, dict(x=torch.zeros(0, N)), GEMM.format(8, 0)),
])
def test_messages_in_order(L, stages, kw, msg):
    x = kw.pop("x", rand_x(1))
    with pytest.raises(RuntimeError) as e:
        call(L, x, stages, **kw)
    assert str(e.value).startswith(msg), str(e.value)


@pytest.mark.parametrize("B", [1, 4, 9])
@pytest.mark.parametrize("which", ["trellis_packed", "trellis_packed2"])
def test_packed_off_cpu_is_refused(L, B, which):
    kw = {which: (L["p1"] if which == "trellis_packed" else L["p2"]).to("meta")}
    with pytest.raises(RuntimeError) as e:
        call(L, rand_x(B), **kw)
    assert str(e.value).startswith("trellis_packed must be a CPU tensor")
    call(L, rand_x(B))  # still alive and working


@pytest.mark.parametrize("kw, text", [
    (dict(blocks_n_meta=tr.block_table([(0, 96)])), "blocks_n_meta block 0"),
    (dict(blocks_n_meta=tr.block_table([(0, 64), (96, 64)])), "blocks_n_meta block 1"),
    (dict(blocks_m_meta=tr.block_table([(-32, 32)])), "blocks_m_meta block 0"),
    (dict(blocks_m_meta=tr.block_table([(0, 128)])), "blocks_m_meta block 0"),
    (dict(blocks_m_meta=tr.block_table([(0, 64)]).long()), "blocks_m_meta"),
    (dict(blocks_n_meta=tr.block_table([(0, 64)]).to("meta")), "blocks_n_meta"),
    (dict(su=torch.ones(M, device="meta")), ""),
])
def test_bad_tables_and_signs_are_refused(L, kw, text):
    for B in (1, 9):
        with pytest.raises(RuntimeError) as e:
            call(L, rand_x(B), **kw)
        assert text in str(e.value)


# KAVO_TRELLIS_CPU_BATCH_MAX is read once per process: every setting runs in a
# fresh interpreter. An int32 packed tensor tells the paths apart: the
# decompress of the dense path names the dtype, the direct products leave it to
# the tensor library.
PROBE = textwrap.dedent("""
    import json, os, sys, torch, kavo
    C = kavo._C_cpu
    n, m = 64, 32
    g = torch.Generator().manual_seed(0)
    good = torch.randint(-2**15, 2**15, (8, 32), generator=g, dtype=torch.int32).short()
    t = torch.tensor([[0, 64, 6, 0]], dtype=torch.int32)
    tm = torch.tensor([[0, 32, 5, 0]], dtype=torch.int32)
    def path(B, packed):
        try:
            y = C.kavo_fused_linear_trellis_3inst_cpu(
                torch.randn(B, n), torch.ones(n), torch.ones(m), packed, t, tm,
                1.0, n, m, n, m)
            return "ok" if y.shape == (B, m) else "shape"
        except RuntimeError as e:
            s = str(e)
            if s.startswith("trellis_packed must be int16"):
                return "dense"
            if s.startswith("fused CPU GEMM handles B <= 8 (got %d)" % B):
                return "gemm-refused"
            return "fused"
    out = {}
    for B in map(int, sys.argv[1].split(",")):
        out[B] = (path(B, good.int()), path(B, good))
    os.environ["KAVO_TRELLIS_CPU_BATCH_MAX"] = "1"
    out["after"] = path(8, good.int())
    print(json.dumps(out))
""")


@pytest.mark.parametrize("env, expect", [
    (None, {1: "fused", 2: "fused", 8: "fused", 9: "dense"}),
    ("1", {1: "fused", 2: "dense", 8: "dense", 9: "dense"}),
    ("0", {1: "fused", 2: "dense"}),
    ("-5", {1: "fused", 2: "dense"}),
    ("lots", {1: "fused", 2: "dense"}),
    ("  3x", {3: "fused", 4: "dense"}),
    ("16", {2: "fused", 9: "gemm-refused", 12: "gemm-refused", 16: "gemm-refused",
            17: "dense"}),
])
def test_batch_limit_env(env, expect):
    e = dict(os.environ)
    e.pop("KAVO_TRELLIS_CPU_BATCH_MAX", None)
    if env is not None:
        e["KAVO_TRELLIS_CPU_BATCH_MAX"] = env
    r = subprocess.run([sys.executable, "-c", PROBE, ",".join(map(str, expect))],
                       env=e, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    for B, path in expect.items():
        probe, valid = got[str(B)]
        assert probe == path, (B, got)
        assert valid == ("gemm-refused" if path == "gemm-refused" else "ok"), (B, got)
    # set after the first call: no effect
    assert got["after"] == ("fused" if (env is None or env == "16") else "dense")

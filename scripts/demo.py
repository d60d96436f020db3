#!/usr/bin/env python3
"""The main job of `make demo`: decode, multiply and run a whole quantized
layer of LLM size on the CPU, checking every result against an independent
numpy reference, then time the layer beside PyTorch's dense linear.

Exits non-zero when a check fails.
"""

import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# PYTHONPATH (a staged build) wins over the checkout's package.
sys.path.append(ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import numpy as np  # noqa: E402
import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402

import kavo  # noqa: E402
import trellis_ref as tr  # noqa: E402

C = kavo._C_cpu
failures = []


def check(name, ok, detail=""):
    print(f"  [{'ok' if ok else 'FAIL'}] {name}{(': ' + detail) if detail else ''}")
    if not ok:
        failures.append(name)


def rel_err(y, ref):
    y = np.asarray(y, dtype=np.float64)
    return float(np.abs(y - ref).max() / max(np.abs(ref).max(), 1e-30))


def per_call(fn, budget=0.6, max_reps=50):
    """Best time of repeated calls, after one warm-up call."""
    fn()
    best, spent, reps = float("inf"), 0.0, 0
    while reps < 3 or (spent < budget and reps < max_reps):
        t = time.perf_counter()
        fn()
        dt = time.perf_counter() - t
        best, spent, reps = min(best, dt), spent + dt, reps + 1
    return best


def main():
    t_start = time.perf_counter()
    print(f"kavo CPU back end: active tier {C.kavo_cpu_active_isa()}, "
          f"torch {torch.__version__}, {torch.get_num_threads()} thread(s)")

    # (a) decompress against the decode table
    print("\n(a) decompress 256 x 512, R = 3")
    m, k = 256, 512
    packed, states = tr.encode_random(m, k, 3, seed=11)
    W = C.kavo_decompress_trellis_3inst_cpu(packed, m, k)
    lut = C.kavo_trellis_3inst_lut_cpu()
    check("every weight equals the table entry of its state",
          torch.equal(W.view(torch.int16), lut.view(torch.int16)[torch.from_numpy(states.astype(np.int64))]))
    check("table equals the independent codebook",
          np.array_equal(lut.view(torch.int16).numpy().view(np.uint16),
                         tr.codebook_bits(np.arange(65536))))

    # (b) matrix-vector product against decompress + dense product
    print("\n(b) matvec 1024 x 2048, R = 2")
    m, k = 1024, 2048
    packed, _ = tr.encode_random(m, k, 2, seed=12)
    x = torch.randn(k, generator=torch.Generator().manual_seed(1))
    y = C.kavo_decode_matvec_trellis_3inst_cpu(x, packed, m, k, wscale=0.5)
    Wd = C.kavo_decompress_trellis_3inst_cpu(packed, m, k).double().numpy()
    ref = 0.5 * Wd @ x.double().numpy()
    e = rel_err(y.numpy(), ref)
    check("matvec vs decompress @ x (float64)", e < 1e-5, f"max rel err {e:.2e}")

    # (c) a two-stage layer of LLM size
    n = m = 4096
    print(f"\n(c) TrellisLinear {n} -> {m}, R = 2 with an R = 1 residual")
    t = time.perf_counter()
    p1, s1 = tr.encode_random(m, n, 2, seed=21)
    p2, s2 = tr.encode_random(m, n, 1, seed=22)
    g = torch.Generator().manual_seed(3)
    sv = torch.randint(0, 2, (n,), generator=g).float() * 2 - 1
    su = torch.randint(0, 2, (m,), generator=g).float() * 2 - 1
    wscale, inv_rs2 = 0.02, 0.125
    layer = kavo.TrellisLinear(n, m, p1, sv, su, wscale, trellis_packed2=p2,
                               inv_resid_scale2=inv_rs2)
    W1, W2 = tr.dense(s1), tr.dense(s2)
    Wf = torch.from_numpy(wscale * (W1.astype(np.float64) + inv_rs2 * W2)).float()
    Wb = Wf.to(torch.bfloat16)
    print(f"  encoded in {time.perf_counter() - t:.1f} s; {layer}")
    # the module's batch limit, parsed as it parses it (leading integer, >= 1)
    env = re.match(r"\s*([+-]?\d+)", os.environ.get("KAVO_TRELLIS_CPU_BATCH_MAX", "8"))
    limit = max(int(env.group(1)) if env else 0, 1)
    rows = []
    for B in (1, 4, 8, 16):
        x = torch.randn(B, n, generator=g)
        y = layer(x)
        ref = tr.layer_ref_f64(x, sv, su, W1, layer.blocks_n_meta,
                               layer.blocks_m_meta, wscale, W2, inv_rs2)
        e = rel_err(y.numpy(), ref)
        check(f"B = {B:2d} vs float64 layer formula", y.shape == (B, m) and e < 1e-4,
              f"max rel err {e:.2e}")
        xb = x.to(torch.bfloat16)
        path = ("matvec" if B == 1 else "fused GEMM") if B <= limit else "dense"
        rows.append((B, path,
                     per_call(lambda: layer(x)),
                     per_call(lambda: F.linear(x, Wf)),
                     per_call(lambda: F.linear(xb, Wb))))

    tier = C.kavo_cpu_active_isa()
    print(f"\n  time per call, {n} x {m}, tier {tier}")
    print(f"  {'B':>3}  {'path':<10}  {'kavo (ms)':>10}  {'F.linear f32 (ms)':>18}  {'F.linear bf16 (ms)':>19}")
    for B, path, tk, tf, tb in rows:
        print(f"  {B:>3}  {path:<10}  {tk * 1e3:>10.2f}  {tf * 1e3:>18.2f}  {tb * 1e3:>19.2f}")
    print(f"  weights: kavo {(p1.numel() + p2.numel()) * 2 / 2**20:.0f} MiB packed, "
          f"f32 {Wf.numel() * 4 / 2**20:.0f} MiB, bf16 {Wb.numel() * 2 / 2**20:.0f} MiB")

    print(f"\n{'FAILED: ' + ', '.join(failures) if failures else 'all checks passed'}"
          f" ({time.perf_counter() - t_start:.1f} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

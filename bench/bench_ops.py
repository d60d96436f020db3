#!/usr/bin/python3
"""Products from packed trellis weights against PyTorch's dense F.linear.

For each thread count, batch size and layer shape, times the kavo product
(matvec for B = 1, matmul for B = 8) and F.linear on a dense weight of the
same shape in float32 and bfloat16. Each candidate is timed in its own run
of rounds after a warm-up (interleaving them lets one library's spinning
worker threads slow the other); the median of the rounds is reported. Prints a table of the
ratios kavo time / F.linear time and writes the raw figures as JSON and a
plot under bench/results/.

Run with PYTHONPATH pointing at the folder that holds the built package, or
with none to use the package in this repository.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

try:
    import kavo
except ImportError:
    # Appended, not prepended: a package found through PYTHONPATH wins.
    sys.path.append(ROOT)
    import kavo

import torch
import torch.nn.functional as F

C = kavo._C_cpu
TIERS = ("scalar", "avx2", "avx512", "avx512fp16")
SHAPES = ((4096, 4096), (11008, 4096))


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--threads", default="1,2",
                   help="comma-separated thread counts (default 1,2)")
    p.add_argument("--r-b1", default="2,3,4",
                   help="bits per weight for B = 1 (default 2,3,4)")
    p.add_argument("--r-b8", default="2", help="bits per weight for B = 8")
    p.add_argument("--tiers", default="active",
                   help="'active', 'all' (every available tier) or a "
                        "comma-separated list of tier names")
    p.add_argument("--budget", type=float, default=1.0,
                   help="seconds of timed rounds per case (default 1.0)")
    p.add_argument("--min-rounds", type=int, default=5)
    p.add_argument("--max-rounds", type=int, default=30)
    p.add_argument("--warmup", type=int, default=2)
    p.add_argument("--quick", action="store_true",
                   help="first shape only, short budget (for trying it out)")
    p.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    p.add_argument("--no-plot", action="store_true")
    return p.parse_args()


def int_list(s):
    return [int(v) for v in s.split(",") if v.strip()]


def pick_tiers(choice):
    if choice == "active":
        return [C.kavo_cpu_active_isa()]
    names = TIERS if choice == "all" else [t.strip() for t in choice.split(",")]
    chosen = [t for t in names if C.kavo_cpu_isa_available(t)]
    missing = [t for t in names if t not in chosen]
    if missing and choice != "all":
        sys.exit(f"tiers not available here: {', '.join(missing)}")
    return chosen


def packed_weights(m, k, R, gen):
    # Every bit pattern is a valid packed tensor.
    rows = (m // 16) * (k // 16)
    return torch.randint(-32768, 32768, (rows, 16 * R), dtype=torch.int16,
                         generator=gen)


def run_case(threads, B, m, k, rs, tiers, args, gen):
    """Times every candidate of one (threads, B, shape) case; returns rows."""
    w32 = torch.randn(m, k, generator=gen)
    w16 = w32.to(torch.bfloat16)
    x32 = torch.randn(B, k, generator=gen)
    if B == 1:
        x32 = x32.reshape(k)
    x16 = x32.to(torch.bfloat16)

    cands = [("F.linear", "float32", None, None, lambda: F.linear(x32, w32)),
             ("F.linear", "bfloat16", None, None, lambda: F.linear(x16, w16))]
    op = (C.kavo_decode_matvec_trellis_3inst_cpu if B == 1
          else C.kavo_decode_matmul_trellis_3inst_cpu)
    for R in rs:
        p = packed_weights(m, k, R, gen)
        out = torch.empty((m,) if B == 1 else (B, m))
        for tier in tiers:
            def fn(p=p, out=out):
                op(x32, p, m, k, 1.0, out)
            cands.append(("kavo", "float32", R, tier, fn))

    def timed(tier, fn):
        if tier is not None:
            C.kavo_cpu_set_isa(tier)
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0

    # Each candidate is timed in its own run of rounds: interleaving them
    # lets one library's spinning worker threads slow the other's calls.
    samples = []
    for _, _, _, tier, fn in cands:
        for _ in range(args.warmup):
            timed(tier, fn)
        first = timed(tier, fn)
        rounds = int(args.budget / len(cands) / max(first, 1e-9))
        rounds = max(args.min_rounds, min(args.max_rounds, rounds))
        samples.append([first] + [timed(tier, fn) for _ in range(rounds - 1)])
        time.sleep(0.05)

    base = {d: statistics.median(samples[i])
            for i, (name, d, _, _, _) in enumerate(cands) if name == "F.linear"}
    rows = []
    for (name, dtype, R, tier, _), s in zip(cands, samples):
        med = statistics.median(s)
        row = {"op": name, "dtype": dtype, "threads": threads, "B": B, "m": m,
               "k": k, "R": R, "tier": tier, "median_s": med,
               "samples_s": s, "weights_per_s": m * k / med}
        if name == "kavo":
            row["ratio_vs_f32"] = med / base["float32"]
            row["ratio_vs_bf16"] = med / base["bfloat16"]
        rows.append(row)
    return rows


def print_table(rows):
    head = (f"{'thr':>3} {'B':>2} {'m x k':>11} {'R':>2} {'tier':>10} "
            f"{'kavo ms':>9} {'f32 ms':>8} {'bf16 ms':>8} "
            f"{'/f32':>6} {'/bf16':>6} {'GW/s':>6}")
    print(head)
    print("-" * len(head))
    dense = {}
    for r in rows:
        if r["op"] == "F.linear":
            dense[(r["threads"], r["B"], r["m"], r["k"], r["dtype"])] = r
    for r in rows:
        if r["op"] != "kavo":
            continue
        key = (r["threads"], r["B"], r["m"], r["k"])
        f32 = dense[key + ("float32",)]["median_s"]
        bf16 = dense[key + ("bfloat16",)]["median_s"]
        print(f"{r['threads']:>3} {r['B']:>2} {r['m']:>5}x{r['k']:<5} "
              f"{r['R']:>2} {r['tier']:>10} {r['median_s'] * 1e3:>9.2f} "
              f"{f32 * 1e3:>8.2f} {bf16 * 1e3:>8.2f} "
              f"{r['ratio_vs_f32']:>6.2f} {r['ratio_vs_bf16']:>6.2f} "
              f"{r['weights_per_s'] / 1e9:>6.2f}")


def print_scaling(rows):
    """Speed-up from one thread to two for each kavo case."""
    by = {}
    for r in rows:
        if r["op"] == "kavo":
            by.setdefault((r["B"], r["m"], r["k"], r["R"], r["tier"]), {})[
                r["threads"]] = r["median_s"]
    lines = [(key, t) for key, t in by.items() if 1 in t and 2 in t]
    if not lines:
        return
    print("two threads against one (time at 1 / time at 2):")
    for (B, m, k, R, tier), t in lines:
        print(f"  B={B} {m}x{k} R{R} {tier:>10}: {t[1] / t[2]:.2f}x")


def time_layer(args, gen):
    """The fused layer at B = 1 (R = 2 with an R = 1 residual) against the
    two product calls it makes, timed in interleaved rounds."""
    m = k = 4096
    p1 = packed_weights(m, k, 2, gen)
    p2 = packed_weights(m, k, 1, gen)
    meta = kavo.hadamard_block_table(k)
    sv = torch.ones(k)
    su = torch.ones(m)
    x = torch.randn(1, k, generator=gen)
    out = torch.empty(m)

    def layer():
        C.kavo_fused_linear_trellis_3inst_rvq2_cpu(
            x, sv, su, p1, p2, meta, meta, 1.0, 0.5, k, m, k, m)

    def products():
        C.kavo_decode_matvec_trellis_3inst_cpu(x[0], p1, m, k, 1.0, out)
        C.kavo_decode_matvec_trellis_3inst_cpu(x[0], p2, m, k, 0.5, out, True)

    samples = [[], []]
    for _ in range(args.warmup):
        layer()
        products()
    for _ in range(max(args.min_rounds, 20)):
        for i, fn in enumerate((layer, products)):
            t0 = time.perf_counter()
            fn()
            samples[i].append(time.perf_counter() - t0)
    lt, pt = (statistics.median(s) for s in samples)

    # The largest single allocation the layer makes: the direct path must
    # never hold an m x k matrix.
    from torch.profiler import ProfilerActivity, profile
    with profile(activities=[ProfilerActivity.CPU], profile_memory=True) as prof:
        layer()
    largest = max((e.cpu_memory_usage for e in prof.events()
                   if e.cpu_memory_usage > 0), default=0)
    return {"threads": torch.get_num_threads(), "m": m, "k": k,
            "layer_s": lt, "products_s": pt, "overhead": lt / pt - 1,
            "largest_alloc_bytes": largest, "layer_samples_s": samples[0],
            "products_samples_s": samples[1]}


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kv = [r for r in rows if r["op"] == "kavo"]
    threads = sorted({r["threads"] for r in kv})
    fig, axes = plt.subplots(len(threads), 1, squeeze=False,
                             figsize=(max(6, 1.3 * len(kv) / len(threads) + 2),
                                      3.5 * len(threads)))
    for ax, t in zip(axes[:, 0], threads):
        sel = [r for r in kv if r["threads"] == t]
        labels = [f"B{r['B']} {r['m']}x{r['k']}\nR{r['R']} {r['tier']}"
                  for r in sel]
        xs = range(len(sel))
        w = 0.4
        for off, key, label in ((-w / 2, "ratio_vs_f32", "float32"),
                                (w / 2, "ratio_vs_bf16", "bfloat16")):
            bars = ax.bar([x + off for x in xs], [r[key] for r in sel], w,
                          label=f"vs F.linear {label}")
            ax.bar_label(bars, fmt="%.2f", fontsize=6)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(list(xs))
        ax.set_xticklabels(labels, fontsize=7)
        ax.set_ylabel("kavo time / dense time")
        ax.set_title(f"{t} thread{'s' if t > 1 else ''} (below 1: kavo faster)")
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    args = parse_args()
    if args.quick:
        args.budget = min(args.budget, 0.3)
    shapes = SHAPES[:1] if args.quick else SHAPES
    threads = int_list(args.threads)
    active = C.kavo_cpu_active_isa()
    tiers = pick_tiers(args.tiers)
    gen = torch.Generator().manual_seed(1234)
    torch.set_grad_enabled(False)

    rows = []
    used_threads = {}
    try:
        for t in threads:
            torch.set_num_threads(t)
            used_threads[t] = torch.get_num_threads()
            for B, rs in ((1, int_list(args.r_b1)), (8, int_list(args.r_b8))):
                for m, k in shapes:
                    rows += run_case(t, B, m, k, rs, tiers, args, gen)
                    print(f"  timed threads={t} B={B} {m}x{k}", flush=True)
        layers = []
        for t in threads:
            torch.set_num_threads(t)
            layers.append(time_layer(args, gen))
    finally:
        C.kavo_cpu_set_isa(active)

    meta = {
        "time": datetime.datetime.now().isoformat(timespec="seconds"),
        "active_isa": active,
        "benched_tiers": tiers,
        "available_tiers": [t for t in TIERS if C.kavo_cpu_isa_available(t)],
        "torch": torch.__version__,
        "python": platform.python_version(),
        "machine": platform.processor() or platform.machine(),
        "cpu_count": os.cpu_count(),
        "threads_set": {str(k): v for k, v in used_threads.items()},
        "kavo_module": getattr(C, "__file__", None),
        "budget_s": args.budget,
    }
    print(f"kavo active tier: {active}; benched: {','.join(tiers)}; "
          f"available: {','.join(meta['available_tiers'])}; "
          f"torch {torch.__version__}")
    print("ratios are kavo time / F.linear time (below 1: kavo faster)")
    print_table(rows)
    print_scaling(rows)
    for L in layers:
        print(f"layer B=1 {L['m']}x{L['k']} (R2 + R1 residual), {L['threads']} "
              f"thread(s): {L['layer_s'] * 1e3:.2f} ms against its two products "
              f"{L['products_s'] * 1e3:.2f} ms ({L['overhead'] * 100:+.1f} %); "
              f"largest allocation {L['largest_alloc_bytes']} bytes "
              f"(m*k = {L['m'] * L['k']})")

    os.makedirs(args.out_dir, exist_ok=True)
    jpath = os.path.join(args.out_dir, "ops.json")
    with open(jpath, "w") as f:
        json.dump({"meta": meta, "results": rows, "layer": layers}, f, indent=1)
    print(f"wrote {jpath}")
    if not args.no_plot:
        ppath = os.path.join(args.out_dir, "ops.png")
        plot(rows, ppath)
        print(f"wrote {ppath}")


if __name__ == "__main__":
    main()

"""Repeated calls, accepted or refused, leave the resident memory flat: no
operation leaks its outputs, its contiguous copies, its exceptions or
anything else per call. Measured in a fresh child process."""

import json
import os
import subprocess
import sys

import pytest

WARMUP, CALLS, LIMIT = 1_000, 10_000, 1 << 20

CHILD = r'''
import json, os, sys
import torch
from kavo import _C_cpu as C
from trellis_ref import block_table, encode_random

torch.set_num_threads(2)
m, k = 32, 64
p2, _ = encode_random(m, k, 2, seed=1)
p1, _ = encode_random(m, k, 1, seed=2)
x = torch.randn(4, k)
xt = torch.randn(k, 4).t()            # refused after a contiguous copy exists
out = torch.zeros(m)
meta = block_table([(0, 64)])
meta_m = block_table([(0, 32)])
bad_meta = block_table([(0, 3)])
sv, su = torch.ones(k), torch.ones(m)

def layer(rows, meta_n=meta):
    return lambda: C.kavo_fused_linear_trellis_3inst_cpu(torch.randn(rows, k), sv, su, p2, meta_n, meta_m,
                                                         1.0, k, m, k, m)

OPS = {
    "decompress": lambda: C.kavo_decompress_trellis_3inst_cpu(p2, m, k),
    "decompress-refused": lambda: C.kavo_decompress_trellis_3inst_cpu(p2, 48, k),
    "lut": C.kavo_trellis_3inst_lut_cpu,
    "kernel_supported": lambda: C.kavo_trellis_cpu_kernel_supported(m, k),
    "matvec": lambda: C.kavo_decode_matvec_trellis_3inst_cpu(x[0], p2, m, k),
    "matvec-accum": lambda: C.kavo_decode_matvec_trellis_3inst_cpu(x[0], p1, m, k, 0.5, out, True),
    "matvec-refused": lambda: C.kavo_decode_matvec_trellis_3inst_cpu(xt[0], p2, m, k, 1.0, out[:16]),
    "matmul": lambda: C.kavo_decode_matmul_trellis_3inst_cpu(x, p2, m, k),
    "matmul-refused": lambda: C.kavo_decode_matmul_trellis_3inst_cpu(xt, p2[:7], m, k),
    "hadamard": lambda: C.kavo_blockdiag_fht_cpu(x, meta),
    "hadamard-refused": lambda: C.kavo_blockdiag_fht_cpu(x, bad_meta),
    "layer-fused": layer(2),
    "layer-dense": layer(9),
    "layer-rvq2": lambda: C.kavo_fused_linear_trellis_3inst_rvq2_cpu(x[:1], sv, su, p2, p1, meta, meta_m,
                                                                     1.0, 0.5, k, m, k, m),
    "layer-refused": layer(2, bad_meta),
    "set_isa": lambda: (C.kavo_cpu_set_isa("scalar"), C.kavo_cpu_set_isa("auto"), C.kavo_cpu_active_isa()),
    "set_isa-refused": lambda: C.kavo_cpu_set_isa("sse"),
    "isa_available": lambda: C.kavo_cpu_isa_available("avx2"),
    "decode_variant": lambda: C.kavo_cpu_set_decode_variant("auto"),
    "decode_variant-refused": lambda: C.kavo_cpu_set_decode_variant("LUT"),
    "type-refused": lambda: C.kavo_decode_matvec_trellis_3inst_cpu(x[0], p2, 32.0, k),
}

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def call(f):
    try:
        f()
    except (RuntimeError, TypeError):
        pass

def raises(f):
    try:
        f()
    except (RuntimeError, TypeError) as e:
        return bool(str(e))
    return False

warmup, calls = int(sys.argv[1]), int(sys.argv[2])
growth = {}
for name, f in OPS.items():
    # The refused cases really are refused, the others really run.
    assert raises(f) == name.endswith("refused"), name
    for _ in range(warmup):
        call(f)
    before = rss()
    for _ in range(calls):
        call(f)
    growth[name] = rss() - before
print(json.dumps(growth))
'''


@pytest.fixture(scope="module")
def growth():
    proc = subprocess.run([sys.executable, "-c", CHILD, str(WARMUP), str(CALLS)],
                          cwd=os.path.dirname(os.path.abspath(__file__)),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


OPS = ["decompress", "decompress-refused", "lut", "kernel_supported", "matvec", "matvec-accum",
       "matvec-refused", "matmul", "matmul-refused", "hadamard", "hadamard-refused", "layer-fused",
       "layer-dense", "layer-rvq2", "layer-refused", "set_isa", "set_isa-refused", "isa_available",
       "decode_variant", "decode_variant-refused", "type-refused"]


@pytest.mark.parametrize("op", OPS)
def test_ten_thousand_calls_leave_resident_memory_flat(growth, op):
    print(f"{op}: {growth[op]} bytes over {CALLS} calls")
    assert growth[op] <= LIMIT, f"{op}: resident memory grew {growth[op]} bytes over {CALLS} calls"

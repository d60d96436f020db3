"""The caller's floating-point environment: no operation's result depends on
the rounding mode, flush-to-zero, denormals-are-zero or unmasked exceptions
of the calling thread, and no call changes that environment.

Each check runs in a fresh interpreter: it changes process state, and an
unmasked exception that trapped would kill the process."""

import subprocess
import sys

SCRIPT = r"""
import ctypes, struct, sys
import numpy as np
import torch
from kavo import _C_cpu as C
from trellis_ref import block_table, encode_random

libm = ctypes.CDLL("libm.so.6")
MODES = {"nearest": 0x000, "down": 0x400, "up": 0x800, "zero": 0xC00}
FE_INVALID, FE_DIVBYZERO, FE_OVERFLOW = 0x01, 0x04, 0x08

def mxcsr():
    env = ctypes.create_string_buffer(32)
    assert libm.fegetenv(env) == 0
    return struct.unpack_from("<I", env.raw, 28)[0] & ~0x3F  # control bits only

torch.set_num_threads(2)
m, k = 256, 256
packed, _ = encode_random(m, k, 2, seed=1)
packed1, _ = encode_random(m, k, 1, seed=2)
g = torch.Generator().manual_seed(3)
x = torch.randn(4, k, generator=g) * 3
x[0, 5] = 1e-40  # a subnormal activation: DAZ would change it
x[3, 7] = float("nan")
x[2, 9] = float("inf")
meta = block_table([(0, 128), (128, 128)])
sv = torch.sign(torch.randn(k, generator=g))
su = torch.sign(torch.randn(m, generator=g))

def run_all():
    return [
        C.kavo_decompress_trellis_3inst_cpu(packed, m, k),
        C.kavo_decode_matvec_trellis_3inst_cpu(x[0], packed, m, k, 0.3),
        C.kavo_decode_matvec_trellis_3inst_cpu(x[1], packed, m, k, 0.3),
        C.kavo_decode_matmul_trellis_3inst_cpu(x, packed, m, k, 0.7),
        C.kavo_blockdiag_fht_cpu(x[:3].contiguous(), meta),
        C.kavo_fused_linear_trellis_3inst_rvq2_cpu(x[1:3], sv, su, packed, packed1,
            meta, meta, 0.9, 0.25, k, m, k, m),
    ]

def same(a, b):
    return all(torch.equal(p.view(torch.int16) if p.dtype == torch.float16 else p.view(torch.int32),
                           q.view(torch.int16) if q.dtype == torch.float16 else q.view(torch.int32))
               for p, q in zip(a, b))

tiers = [t for t in ("scalar", "avx2", "avx512", "avx512fp16") if C.kavo_cpu_isa_available(t)]
checked = 0
for tier in tiers:
    C.kavo_cpu_set_isa(tier)
    base = run_all()
    for name, mode in MODES.items():
        for flush in (False, True):
            for trap in (False, True):
                assert libm.fesetround(mode) == 0
                torch.set_flush_denormal(flush)
                if trap:
                    libm.feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW)
                before = (libm.fegetround(), mxcsr())
                got = run_all()
                after = (libm.fegetround(), mxcsr())
                if trap:
                    libm.fedisableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW)
                torch.set_flush_denormal(False)
                libm.fesetround(0)
                assert before == after, (tier, name, flush, trap, before, after)
                assert same(got, base), (tier, name, flush, trap)
                checked += 1
print("checked", checked, "environments over tiers", ",".join(tiers))
"""


def test_results_and_caller_state_independent_of_fp_environment():
    r = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True,
                       timeout=300, cwd=__file__.rsplit("/", 1)[0])
    assert r.returncode == 0, (r.returncode, r.stdout, r.stderr[-3000:])
    assert r.stdout.startswith("checked "), r.stdout

"""Activations, outputs and packed weights at any element offset give the
same bits as aligned copies, in every tier: the kernels must not assume that
Python hands them aligned memory."""

import pytest
import torch

from kavo import _C_cpu as C
from trellis_ref import block_table, encode_random

TIERS = [t for t in ("scalar", "avx2", "avx512", "avx512fp16") if C.kavo_cpu_isa_available(t)]
OFFSETS = range(1, 16)
M, K = 96, 128


@pytest.fixture(params=TIERS)
def tier(request):
    C.kavo_cpu_set_isa(request.param)
    yield request.param
    C.kavo_cpu_set_isa("auto")


def shifted(t, off):
    """A copy of t that starts `off` elements into a fresh buffer."""
    buf = torch.empty(t.numel() + 16, dtype=t.dtype)
    v = buf[off:off + t.numel()].view(t.shape)
    v.copy_(t)
    return v


def same_bits(a, b):
    return a.shape == b.shape and torch.equal(a.contiguous().view(torch.int32), b.contiguous().view(torch.int32))


G = torch.Generator().manual_seed(5)
PACKED, _ = encode_random(M, K, 3, seed=21)
X = torch.randn(8, K, generator=G)
Y0 = torch.randn(8, M, generator=G)
SV = torch.randint(0, 2, (K,), generator=G).float() * 2 - 1
SU = torch.randint(0, 2, (M,), generator=G).float() * 2 - 1
META_N = block_table([(0, 64), (64, 64)])
META_M = block_table([(0, 32), (32, 64)])


def matvec(x, out, packed, accum):
    return C.kavo_decode_matvec_trellis_3inst_cpu(x[0], packed, M, K, 0.7, out[0], accum)


def matmul(x, out, packed, accum):
    return C.kavo_decode_matmul_trellis_3inst_cpu(x[:5], packed, M, K, 0.7, out[:5], accum)


def hadamard(x, out, packed, accum):
    return C.kavo_blockdiag_fht_cpu(x[:3], META_N)


def layer(rows):
    def run(x, out, packed, accum):
        return C.kavo_fused_linear_trellis_3inst_cpu(
            x[:rows], SV, SU, packed, META_N, META_M, 0.7, K, M, K, M)
    return run


# (operation, accumulate into the given output)
CASES = {"matvec": (matvec, False), "matvec-accum": (matvec, True), "matmul": (matmul, False),
         "matmul-accum": (matmul, True), "hadamard": (hadamard, False), "layer-B1": (layer(1), False),
         "layer-B4": (layer(4), False)}


@pytest.mark.parametrize("case", CASES)
def test_any_offset_gives_the_bits_of_aligned_copies(tier, case):
    op, accum = CASES[case]
    want = op(X.clone(), Y0.clone(), PACKED.clone(), accum)
    for off in OFFSETS:
        # Row views of shifted buffers: every row starts at the same misalignment.
        x = shifted(X, off)
        out = shifted(Y0, (off * 7) % 16)
        packed = shifted(PACKED, off)
        got = op(x, out, packed, accum)
        assert same_bits(got, want), f"offset {off} under {tier}"
        assert torch.equal(x, X) and torch.equal(packed, PACKED)

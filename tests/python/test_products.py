"""The matrix-vector and matrix-matrix operations: results, output and
accumulate semantics, thread independence, and every check in its order."""

import numpy as np
import pytest
import torch

from kavo import _C_cpu as C
from trellis_ref import codebook, encode_random

MATVEC = C.kavo_decode_matvec_trellis_3inst_cpu
MATMUL = C.kavo_decode_matmul_trellis_3inst_cpu
TIERS = [t for t in ("scalar", "avx2", "avx512", "avx512fp16") if C.kavo_cpu_isa_available(t)]


@pytest.fixture(params=TIERS)
def tier(request):
    C.kavo_cpu_set_isa(request.param)
    yield request.param
    C.kavo_cpu_set_isa("auto")


@pytest.fixture(scope="module")
def layer():
    m, k = 96, 128
    packed, states = encode_random(m, k, 3, seed=11)
    return m, k, packed, codebook(states).astype(np.float64)


def small_ints(shape, seed):
    # |x| summed over a row stays below 512, so every tier's sums are exact.
    return torch.from_numpy(np.random.default_rng(seed).integers(-2, 3, shape).astype(np.float32))


def test_products_are_exact_for_small_integer_activations(layer, tier):
    m, k, packed, W = layer
    X = small_ints((8, k), 1)
    want = X.double().numpy() @ W.T
    for B in range(1, 9):
        got = MATMUL(X[:B], packed, m, k)
        assert got.shape == (B, m) and got.dtype == torch.float32
        np.testing.assert_array_equal(got.numpy(), want[:B])
        for b in range(B):
            np.testing.assert_array_equal(MATVEC(X[b], packed, m, k).numpy(), want[b])


def test_matmul_rows_equal_matvec_bit_for_bit(layer, tier):
    m, k, packed, _ = layer
    X = torch.randn(8, k, generator=torch.Generator().manual_seed(3))
    Y = MATMUL(X, packed, m, k, 0.3)
    for b in range(8):
        assert torch.equal(Y[b], MATVEC(X[b], packed, m, k, 0.3))


def test_general_activations_agree_with_dense_reference(layer, tier):
    m, k, packed, W = layer
    X = torch.randn(3, k, generator=torch.Generator().manual_seed(4))
    want = 0.5 * (X.double().numpy() @ W.T)
    np.testing.assert_allclose(MATMUL(X, packed, m, k, 0.5).numpy(), want, rtol=1e-5, atol=1e-4)


def test_result_does_not_depend_on_thread_count():
    m, k = 1024, 256
    packed, _ = encode_random(m, k, 2, seed=5)
    X = torch.randn(4, k, generator=torch.Generator().manual_seed(6))
    saved = torch.get_num_threads()
    try:
        results = []
        for n in (1, 2, 3):
            torch.set_num_threads(n)
            results.append((MATVEC(X[0], packed, m, k), MATMUL(X, packed, m, k)))
    finally:
        torch.set_num_threads(saved)
    for v, mm in results[1:]:
        assert torch.equal(v, results[0][0]) and torch.equal(mm, results[0][1])


def test_vector_shapes_defaults_and_wscale_rounding(layer):
    m, k, packed, W = layer
    x = small_ints((k,), 7)
    y = MATVEC(x, packed, m, k)
    assert y.shape == (m,)
    assert torch.equal(MATVEC(x.view(1, k), packed, m, k), y)
    assert torch.equal(MATVEC(x.view(k, 1), packed, m, k), y)
    assert torch.equal(MATVEC(x, packed, m, k, 1.0, None, False), y)
    # wscale is used rounded to float32: 0.1 acts as 0.100000001.
    assert torch.equal(MATVEC(x, packed, m, k, 0.1), y * torch.tensor(0.1, dtype=torch.float32))


def test_out_and_accumulate(layer):
    m, k, packed, _ = layer
    x = small_ints((k,), 8)
    y = MATVEC(x, packed, m, k, 2.0)
    out = torch.full((1, m), 1.5)
    got = MATVEC(x, packed, m, k, 2.0, out=out, accum=True)
    assert got is out and got.shape == (1, m)
    assert torch.equal(out[0], 1.5 + y)
    MATVEC(x, packed, m, k, 2.0, out=out, accum=True)
    assert torch.equal(out[0], 1.5 + y + y)
    # Overwrite ignores whatever out held.
    out.fill_(float("nan"))
    MATVEC(x, packed, m, k, 2.0, out=out)
    assert torch.equal(out[0], y)
    X = small_ints((2, k), 9)
    o2 = torch.ones(2 * m)
    assert MATMUL(X, packed, m, k, out=o2, accum=True) is o2
    assert torch.equal(o2.view(2, m), 1 + MATMUL(X, packed, m, k))


def test_one_bit_weights_only_in_accumulate_mode():
    m, k = 32, 64
    packed, states = encode_random(m, k, 1, seed=2)
    x = small_ints((k,), 3)
    with pytest.raises(RuntimeError, match="supports R \\(bits/weight\\) 2-4, got 1"):
        MATVEC(x, packed, m, k)
    out = torch.zeros(m)
    MATVEC(x, packed, m, k, out=out, accum=True)
    np.testing.assert_array_equal(out.numpy(), codebook(states).astype(np.float64) @ x.double().numpy())


def _matvec_errors(packed, k):
    x = torch.zeros(k)
    return [
        (dict(x=x.double()), "x must be a CPU fp32 tensor"),
        (dict(x=torch.zeros(k, device="meta")), "x must be a CPU fp32 tensor"),
        (dict(x=torch.zeros(k + 1)), "x must have k elements, got 129"),
        (dict(accum=True, trellis_packed=packed.double()),
         "accumulate mode needs the caller's `out` (stage 1 is the initializer)"),
        (dict(trellis_packed=packed.to("meta")), "trellis_packed must be a CPU tensor"),
        (dict(trellis_packed=packed.flatten()), "trellis_packed must be 2-D [(m/16)*(k/16), 16*R]"),
        (dict(trellis_packed=packed[:, :16]), "trellis CPU kernel supports R (bits/weight) 2-4, got 1"),
        (dict(trellis_packed=packed[:, :40]), "trellis_packed columns must be a multiple of 16"),
        (dict(m=48), "CPU trellis kernel needs m % 32 == 0 and k % 64 == 0, got (48, 128)"),
        (dict(m=64), "trellis_packed rows 48 != (m/16)*(k/16)"),
        (dict(out=torch.zeros(96, dtype=torch.float16)), "out must be a contiguous CPU (m,) fp32 tensor"),
        (dict(out=torch.zeros(97)), "out must be a contiguous CPU (m,) fp32 tensor"),
        (dict(out=torch.zeros(192)[::2]), "out must be a contiguous CPU (m,) fp32 tensor"),
        (dict(out=torch.zeros(96, device="meta")), "out must be a contiguous CPU (m,) fp32 tensor"),
    ]


def _call(f, defaults, over):
    args = dict(defaults)
    args.update(over)
    return f(**args)


def test_matvec_checks_in_order(layer):
    m, k, packed, _ = layer
    base = dict(x=torch.zeros(k), trellis_packed=packed, m=m, k=k)
    for over, msg in _matvec_errors(packed, k):
        snapshot = {n: v.clone() for n, v in over.items() if isinstance(v, torch.Tensor) and v.device.type == "cpu"}
        with pytest.raises(RuntimeError) as e:
            _call(MATVEC, base, over)
        assert str(e.value).startswith(msg), (msg, str(e.value))
        for n, v in snapshot.items():
            assert torch.equal(over[n], v), n
    # A packed tensor of another integer type fails at the typed data access.
    with pytest.raises(RuntimeError):
        MATVEC(torch.zeros(k), packed.int(), m, k)


def test_matmul_checks_in_order(layer):
    m, k, packed, _ = layer
    x = torch.zeros(2, k)
    base = dict(x=x, trellis_packed=packed, m=m, k=k)
    cases = [
        (dict(x=x.half()), "x must be a CPU fp32 tensor"),
        (dict(x=torch.zeros(2 * k)), "x must be (B, k)"),
        (dict(x=torch.zeros(2, k + 1)), "x must be (B, k)"),
        (dict(x=torch.zeros(9, k)),
         "fused CPU GEMM handles B <= 8 (got 9); larger batches take the dense-transient path"),
        (dict(x=torch.zeros(0, k)),
         "fused CPU GEMM handles B <= 8 (got 0); larger batches take the dense-transient path"),
        (dict(accum=True, trellis_packed=packed.flatten()),
         "accumulate mode needs the caller's `out` (stage 1 is the initializer)"),
        (dict(trellis_packed=packed.to("meta")), "trellis_packed must be a CPU tensor"),
        (dict(trellis_packed=packed[:, :16]), "trellis CPU kernel supports R (bits/weight) 2-4, got 1"),
        (dict(k=k + 64, x=torch.zeros(2, k + 64)), "trellis_packed rows 48 != (m/16)*(k/16)"),
        (dict(m=0), "CPU trellis kernel needs m % 32 == 0 and k % 64 == 0, got (0, 128)"),
        (dict(out=torch.zeros(m)), "out must be a contiguous CPU (B, m) fp32 tensor"),
        (dict(out=torch.zeros(2, m, dtype=torch.float64)), "out must be a contiguous CPU (B, m) fp32 tensor"),
    ]
    for over, msg in cases:
        with pytest.raises(RuntimeError) as e:
            _call(MATMUL, base, over)
        assert str(e.value).startswith(msg), (msg, str(e.value))


def test_out_sharing_memory_with_inputs_is_refused(layer):
    m, k, packed, _ = layer
    buf = torch.zeros(k + m)
    x = buf[:k]
    before = buf.clone()
    with pytest.raises(RuntimeError, match="out must not share memory with x or trellis_packed"):
        MATVEC(x, packed, m, k, out=buf[k - 1:k - 1 + m])
    assert torch.equal(buf, before)
    # Disjoint parts of one buffer are fine.
    MATVEC(x, packed, m, k, out=buf[k:])
    words = torch.zeros(packed.numel() * 2 // 4 + 2 * m, dtype=torch.float32)
    pk = words.view(torch.int16)[: packed.numel()].view(packed.shape)
    pk.copy_(packed)
    with pytest.raises(RuntimeError, match="out must not share memory"):
        MATMUL(torch.zeros(2, k), pk, m, k, out=words[:2 * m])


"""The block-diagonal Hadamard transform, kavo_blockdiag_fht_cpu."""

import numpy as np
import pytest
import scipy.linalg
import torch

import kavo
import trellis_ref as tr

fht = kavo._C_cpu.kavo_blockdiag_fht_cpu
META_MSG = "meta must be CPU int32 (nblocks, 4) {offset, bs, log_bs, pad}"


def rand_rows(rows, n, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(rows, n, generator=g) * 10


def bits(t):
    return np.asarray(t).astype(np.float32).view(np.uint32)


@pytest.mark.parametrize("n, blocks", [
    (64, [(0, 64)]),
    (96, [(0, 64), (64, 32)]),
    (40, [(0, 8), (8, 2), (16, 16), (39, 1)]),   # gaps stay untouched
    (32, [(0, 16), (8, 16)]),                     # overlap: table order
    (16, [(4, 0), (0, -8), (0, 4)]),              # bs <= 0 is a no-op
    (24, []),
])
def test_exact_float32_sequence(n, blocks):
    x = rand_rows(5, n)
    meta = tr.block_table(blocks)
    y = fht(x, meta)
    assert y.dtype == torch.float32 and y.shape == x.shape and y.is_contiguous()
    assert np.array_equal(bits(y), bits(tr.hadamard_ref(x, meta)))


@pytest.mark.parametrize("n", [1, 2, 4, 8, 64, 256])
def test_sylvester_matrix(n):
    y = fht(torch.eye(n), tr.block_table([(0, n)])).double().numpy()
    np.testing.assert_allclose(y, scipy.linalg.hadamard(n) / np.sqrt(n), rtol=0, atol=2e-7)


def test_worked_values():
    y = fht(torch.tensor([[1.0, 2, 3, 4], [1, 0, 0, 0]]), tr.block_table([(0, 4)]))
    assert y.tolist() == [[5, -1, -2, 0], [0.5] * 4]
    a, b = np.float32(0.3), np.float32(-1.7)
    r = np.float32(1.41421354)
    y = fht(torch.tensor([[a, b]]), tr.block_table([(0, 2)]))
    assert bits(y[0]).tolist() == bits([(a + b) / r, (a - b) / r]).tolist()


def test_involution_and_layouts():
    x = rand_rows(64, 6)
    xt = x.t()                                    # (6, 64), not contiguous
    before = xt.clone()
    meta = tr.block_table([(0, 32), (32, 32)])
    y = fht(xt, meta)
    assert y.is_contiguous() and torch.equal(xt, before)
    assert torch.equal(y, fht(xt.contiguous(), meta))
    torch.testing.assert_close(fht(y, meta), xt, rtol=0, atol=1e-5)
    assert fht(torch.empty(0, 64), meta).shape == (0, 64)


def test_output_is_a_copy():
    x = rand_rows(2, 8)
    meta = tr.block_table([(0, 8)])
    x0, m0 = x.clone(), meta.clone()
    y = fht(x, meta)
    assert y.data_ptr() != x.data_ptr()
    assert torch.equal(x, x0) and torch.equal(meta, m0)
    assert torch.equal(fht(x, tr.block_table([])), x)


@pytest.mark.parametrize("x, meta, msg", [
    (torch.zeros(2, 8, dtype=torch.float64), None, "x must be a CPU fp32 tensor"),
    (torch.zeros(2, 8, device="meta"), None, "x must be a CPU fp32 tensor"),
    (torch.zeros(8), None, "x must be (rows, n)"),
    (torch.zeros(1, 2, 8), None, "x must be (rows, n)"),
    (torch.zeros(2, 8), torch.tensor([[0, 8, 3, 0]], dtype=torch.int64), META_MSG),
    (torch.zeros(2, 8), torch.tensor([0, 8, 3, 0], dtype=torch.int32), META_MSG),
    (torch.zeros(2, 8), torch.tensor([[0, 8, 3]], dtype=torch.int32), META_MSG),
    (torch.zeros(2, 8), torch.zeros(1, 4, dtype=torch.int32, device="meta"), META_MSG),
    # x is checked before meta
    (torch.zeros(8, dtype=torch.float64), torch.zeros(1, 3, dtype=torch.int64),
     "x must be a CPU fp32 tensor"),
])
def test_argument_messages(x, meta, msg):
    if meta is None:
        meta = tr.block_table([(0, 8)])
    with pytest.raises(RuntimeError) as e:
        fht(x, meta)
    assert str(e.value).startswith(msg)


@pytest.mark.parametrize("blocks, bad, text", [
    ([(0, 3)], 0, "not a power of two"),
    ([(0, 8), (8, 6)], 1, "not a power of two"),
    ([(-1, 4)], 0, "negative"),
    ([(0, 16), (8, 16)], 1, "exceeds the row length 16"),
    ([(2**30, 1)], 0, "exceeds the row length 16"),
    ([(0, 2**30)], 0, "exceeds the row length 16"),
])
def test_bad_block_tables_are_refused(blocks, bad, text):
    x = rand_rows(3, 16)
    meta = tr.block_table(blocks)
    x0, m0 = x.clone(), meta.clone()
    with pytest.raises(RuntimeError) as e:
        fht(x, meta)
    assert f"meta block {bad}:" in str(e.value) and text in str(e.value)
    assert torch.equal(x, x0) and torch.equal(meta, m0)
    # the process carries on with valid work
    assert torch.equal(fht(x, tr.block_table([(0, 16)])),
                       torch.from_numpy(tr.hadamard_ref(x, tr.block_table([(0, 16)]))))

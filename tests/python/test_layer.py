"""kavo.TrellisLinear and kavo.hadamard_block_table."""

import io

import numpy as np
import pytest
import torch

import kavo
import trellis_ref as tr

M, N = 96, 192


def signs(n, seed):
    g = torch.Generator().manual_seed(seed)
    return torch.randint(0, 2, (n,), generator=g).float() * 2 - 1


@pytest.fixture(scope="module")
def parts():
    p1, s1 = tr.encode_random(M, N, 2, seed=1)
    p2, s2 = tr.encode_random(M, N, 1, seed=2)
    return dict(p1=p1, p2=p2, W1=tr.dense(s1), W2=tr.dense(s2),
                sv=signs(N, 3), su=signs(M, 4))


def make(parts, stages=2, seed=0, **kw):
    a = dict(wscale=0.25)
    if stages == 2:
        a.update(trellis_packed2=parts["p2"], inv_resid_scale2=0.5)
    a.update(kw)
    return kavo.TrellisLinear(N, M, parts["p1"], parts["sv"], parts["su"], **a)


@pytest.mark.parametrize("stages", [1, 2])
def test_forward_matches_formula(parts, stages):
    layer = make(parts, stages)
    x = torch.randn(5, N, generator=torch.Generator().manual_seed(9))
    r = tr.layer_ref_f64(x, parts["sv"], parts["su"], parts["W1"], layer.blocks_n_meta,
                         layer.blocks_m_meta, 0.25, parts["W2"] if stages == 2 else None, 0.5)
    y = layer(x)
    assert np.abs(y.numpy() - r).max() <= 2e-6 * np.abs(r).max()


@pytest.mark.parametrize("shape", [(N,), (3, N), (2, 5, N), (0, N), (2, 0, N)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.float16, torch.bfloat16])
def test_forward_shapes_and_dtypes(parts, shape, dtype):
    layer = make(parts)
    x = torch.randn(shape, generator=torch.Generator().manual_seed(1)).to(dtype)
    y = layer(x)
    assert y.shape == shape[:-1] + (M,) and y.dtype == dtype
    if x.numel():
        want = layer(x.float().reshape(-1, N)).reshape(y.shape).to(dtype)
        assert torch.equal(y, want)


@pytest.mark.parametrize("x, exc", [
    (torch.ones(2, N, dtype=torch.int32), TypeError),
    (torch.ones(2, N + 1), ValueError),
    (torch.ones(()), ValueError),
    ([1.0] * N, TypeError),
])
def test_forward_refuses_bad_input(parts, x, exc):
    with pytest.raises(exc, match="x"):
        make(parts)(x)


@pytest.mark.parametrize("stages", [1, 2])
def test_state_dict_round_trip(parts, stages):
    a = make(parts, stages, wscale=0.1, blocks_n_meta=kavo.hadamard_block_table(N, max_block=64))
    buf = io.BytesIO()
    torch.save(a.state_dict(), buf)
    buf.seek(0)
    sd = torch.load(buf)
    # a layer of the same widths with other bit widths, stage count and tables
    # takes everything over
    other3, _ = tr.encode_random(M, N, 3, seed=5)
    b = kavo.TrellisLinear(N, M, other3, signs(N, 7), signs(M, 8), 3.0,
                           trellis_packed2=parts["p2"] if stages == 1 else None,
                           inv_resid_scale2=0.75 if stages == 1 else 0.0)
    b.load_state_dict(sd)
    c = kavo.TrellisLinear.from_state_dict(sd)
    for k, v in a.state_dict().items():
        assert torch.equal(b.state_dict()[k], v) and torch.equal(c.state_dict()[k], v), k
        assert b.state_dict()[k].dtype == v.dtype
    x = torch.randn(4, N)
    assert torch.equal(a(x), b(x)) and torch.equal(a(x), c(x))
    assert c.has_residual == (stages == 2)


def test_load_refuses_bad_state(parts):
    a = make(parts)
    keep = {k: v.clone() for k, v in a.state_dict().items()}
    bad = dict(keep, inv_resid_scale2=torch.tensor(0.0, dtype=torch.float64))
    with pytest.raises(RuntimeError, match="inv_resid_scale2"):
        a.load_state_dict(bad)
    wider = kavo.TrellisLinear(N, 2 * M, tr.encode_random(2 * M, N, 2)[0], signs(N, 1),
                               signs(2 * M, 2)).state_dict()
    with pytest.raises(RuntimeError, match="size mismatch"):
        a.load_state_dict(wider)
    for k, v in a.state_dict().items():
        assert torch.equal(v, keep[k]), k


def test_buffers_are_named_and_complete(parts):
    sd = make(parts).state_dict()
    assert set(sd) == {"trellis_packed", "trellis_packed2", "sv", "su", "blocks_n_meta",
                       "blocks_m_meta", "wscale", "inv_resid_scale2"}
    assert sd["wscale"].dtype == torch.float64 and sd["wscale"].item() == 0.25


def _i16(*shape, device="cpu"):
    return torch.zeros(*shape, dtype=torch.int16, device=device)


T = (N // 16) * (M // 16)


@pytest.mark.parametrize("kw, exc, name", [
    (dict(in_features=100), ValueError, "in_features"),
    (dict(in_features=192.0), TypeError, "in_features"),
    (dict(out_features=48), ValueError, "out_features"),
    (dict(out_features=True), TypeError, "out_features"),
    (dict(trellis_packed=[1, 2]), TypeError, "trellis_packed"),
    (dict(trellis_packed=_i16(T, 32).int()), TypeError, "trellis_packed"),
    (dict(trellis_packed=_i16(T, 16)), ValueError, "trellis_packed"),   # R = 1 in stage 1
    (dict(trellis_packed=_i16(T, 80)), ValueError, "trellis_packed"),
    (dict(trellis_packed=_i16(T, 40)), ValueError, "trellis_packed"),
    (dict(trellis_packed=_i16(T - 1, 32)), ValueError, "trellis_packed"),
    (dict(trellis_packed=_i16(T * 32)), ValueError, "trellis_packed"),
    (dict(trellis_packed=_i16(T, 32, device="meta")), ValueError, "trellis_packed"),
    (dict(trellis_packed2=_i16(T + 1, 16), inv_resid_scale2=0.5), ValueError, "trellis_packed2"),
    (dict(trellis_packed2=_i16(T, 16), inv_resid_scale2=0.0), ValueError, "inv_resid_scale2"),
    (dict(inv_resid_scale2=0.5), ValueError, "inv_resid_scale2"),
    (dict(trellis_packed2=_i16(T, 16), inv_resid_scale2=float("nan")), ValueError,
     "inv_resid_scale2"),
    (dict(wscale=float("inf")), ValueError, "wscale"),
    (dict(wscale="1"), TypeError, "wscale"),
    (dict(sv=torch.ones(N + 1)), ValueError, "sv"),
    (dict(su=torch.ones(M, dtype=torch.bool)), TypeError, "su"),
    (dict(su=torch.full((M,), float("nan"))), ValueError, "su"),
    (dict(sv=np.ones(N)), TypeError, "sv"),
    (dict(blocks_n_meta=tr.block_table([(0, 128), (128, 64)]).long()), TypeError, "blocks_n_meta"),
    (dict(blocks_n_meta=tr.block_table([(0, 128), (128, 96)])), ValueError, "blocks_n_meta"),
    (dict(blocks_m_meta=tr.block_table([(64, 64)])), ValueError, "blocks_m_meta"),
    (dict(blocks_m_meta=torch.tensor([[0, 64, 5, 0]], dtype=torch.int32)), ValueError,
     "blocks_m_meta"),
    (dict(blocks_m_meta=torch.zeros(2, 3, dtype=torch.int32)), ValueError, "blocks_m_meta"),
])
def test_construction_errors(parts, kw, exc, name):
    a = dict(in_features=N, out_features=M, trellis_packed=parts["p1"], sv=parts["sv"],
             su=parts["su"])
    a.update(kw)
    with pytest.raises(exc, match=name):
        kavo.TrellisLinear(**a)


@pytest.mark.parametrize("width, max_block, sizes", [
    (4096, None, [4096]),
    (4096, 1024, [1024] * 4),
    (11008, None, [8192, 2048, 512, 256]),
    (11008, 4096, [4096, 4096, 2048, 512, 256]),
    (192, 64, [64, 64, 64]),
    (7, None, [4, 2, 1]),
    (1, None, [1]),
])
def test_hadamard_block_table(width, max_block, sizes):
    t = kavo.hadamard_block_table(width, max_block=max_block)
    assert t.dtype == torch.int32 and t.shape == (len(sizes), 4)
    assert t[:, 1].tolist() == sizes
    assert t[:, 0].tolist() == list(np.cumsum([0] + sizes[:-1]))
    assert [1 << v for v in t[:, 2].tolist()] == sizes and not t[:, 3].any()
    # an orthonormal transform of the whole row
    x = torch.randn(3, width, dtype=torch.float32)
    y = kavo._C_cpu.kavo_blockdiag_fht_cpu(x, t)
    torch.testing.assert_close(y.norm(dim=1), x.norm(dim=1), rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("args, exc", [
    ((0,), ValueError), ((64.0,), TypeError), ((64, 3), ValueError), ((64, 0), ValueError),
])
def test_hadamard_block_table_errors(args, exc):
    with pytest.raises(exc):
        kavo.hadamard_block_table(*args)

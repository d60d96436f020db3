"""The module surface: registration table, decode table, shape predicate,
decode variant, tier control, and the decompress operation's checks."""

import os
import subprocess
import sys

import pytest
import torch

from kavo import _C_cpu as C

TABLE = [
    ("kavo_decompress_trellis_3inst_cpu",
     "(trellis_packed: torch.Tensor, m: int, k: int, allow_r1: bool = False) -> torch.Tensor"),
    ("kavo_trellis_3inst_lut_cpu", "() -> torch.Tensor"),
    ("kavo_trellis_cpu_kernel_supported", "(m: int, k: int) -> bool"),
    ("kavo_cpu_active_isa", "() -> str"),
    ("kavo_cpu_isa_available", "(name: str) -> bool"),
    ("kavo_cpu_set_isa", "(name: str) -> None"),
    ("kavo_decode_matvec_trellis_3inst_cpu",
     "(x: torch.Tensor, trellis_packed: torch.Tensor, m: int, k: int, wscale: float = 1.0, "
     "out: Optional[torch.Tensor] = None, accum: bool = False) -> torch.Tensor"),
    ("kavo_blockdiag_fht_cpu", "(x: torch.Tensor, meta: torch.Tensor) -> torch.Tensor"),
    ("kavo_decode_matmul_trellis_3inst_cpu",
     "(x: torch.Tensor, trellis_packed: torch.Tensor, m: int, k: int, wscale: float = 1.0, "
     "out: Optional[torch.Tensor] = None, accum: bool = False) -> torch.Tensor"),
    ("kavo_fused_linear_trellis_3inst_cpu",
     "(x: torch.Tensor, sv: torch.Tensor, su: torch.Tensor, trellis_packed: torch.Tensor, "
     "blocks_n_meta: torch.Tensor, blocks_m_meta: torch.Tensor, wscale: float, "
     "in_features: int, out_features: int, n_pad: int, m_pad: int) -> torch.Tensor"),
    ("kavo_fused_linear_trellis_3inst_rvq2_cpu",
     "(x: torch.Tensor, sv: torch.Tensor, su: torch.Tensor, trellis_packed: torch.Tensor, "
     "trellis_packed2: torch.Tensor, blocks_n_meta: torch.Tensor, blocks_m_meta: torch.Tensor, "
     "wscale: float, inv_resid_scale2: float, in_features: int, out_features: int, "
     "n_pad: int, m_pad: int) -> torch.Tensor"),
    ("kavo_cpu_set_decode_variant", "(variant: str) -> None"),
]

TIERS = ["scalar", "avx2", "avx512", "avx512fp16"]


def run_fresh(code, **env):
    """Runs code in a new interpreter (tier state and environment are read
    once per process)."""
    full = dict(os.environ)
    full.pop("KAVO_CPU_ISA", None)
    full.update(env)
    r = subprocess.run([sys.executable, "-c", "from kavo import _C_cpu as C\n" + code],
                       env=full, capture_output=True, text=True, timeout=120)
    return r


@pytest.fixture
def restore_tier():
    yield
    C.kavo_cpu_set_isa("auto")


def test_registration_table_names_order_and_signatures():
    names = [n for n in vars(C) if n.startswith("kavo_")]
    assert names == [n for n, _ in TABLE]
    for name, sig in TABLE:
        # This torch's caster spells the tensor type "at::Tensor".
        doc = getattr(C, name).__doc__.splitlines()[0].replace("at::Tensor", "torch.Tensor")
        assert doc == name + sig


def test_float_where_int_expected_is_a_type_error():
    p = torch.zeros(8, 32, dtype=torch.int16)
    with pytest.raises(TypeError):
        C.kavo_decompress_trellis_3inst_cpu(p, 64.0, 64)
    with pytest.raises(TypeError):
        C.kavo_trellis_cpu_kernel_supported(32.0, 64)
    with pytest.raises(TypeError):
        C.kavo_decode_matvec_trellis_3inst_cpu(torch.zeros(64), p, 32, 64.0)
    with pytest.raises(TypeError):
        C.kavo_cpu_set_isa(3)


def test_decode_table_export():
    a = C.kavo_trellis_3inst_lut_cpu()
    b = C.kavo_trellis_3inst_lut_cpu()
    assert a.shape == (65536,) and a.dtype == torch.float16 and a.is_contiguous()
    assert not a.requires_grad
    bits = a.view(torch.int16).to(torch.int32) & 0xFFFF
    assert [int(bits[s]) for s in (0, 1, 4660, 65535, 0x150B)] == [
        0x3A25, 0xBB5B, 0xC066, 0xB110, 0x0000]
    assert torch.equal(a, b) and a.data_ptr() != b.data_ptr()
    a.fill_(7)
    assert torch.equal(b, C.kavo_trellis_3inst_lut_cpu())
    # Decoding still uses the real table.
    w = C.kavo_decompress_trellis_3inst_cpu(torch.zeros(8, 32, dtype=torch.int16), 32, 64)
    assert torch.all(w.view(torch.int16) == 0x3A25)


@pytest.mark.parametrize("m,k,ok", [
    (32, 64, True), (4096, 11008, True), (0, 64, False), (32, 0, False),
    (-32, 64, False), (48, 64, False), (32, 96, False), (32, -64, False)])
def test_kernel_supported(m, k, ok):
    assert C.kavo_trellis_cpu_kernel_supported(m, k) is ok
    assert C.kavo_trellis_cpu_kernel_supported(k=k, m=m) is ok


def test_decode_variant_names():
    for v in ("arith", "lut", "auto"):
        assert C.kavo_cpu_set_decode_variant(v) is None
    for bad, msg in [("LUT", "unknown decode variant: LUT (want auto|arith|lut)"),
                     ("", "unknown decode variant:  (want auto|arith|lut)")]:
        with pytest.raises(RuntimeError) as e:
            C.kavo_cpu_set_decode_variant(bad)
        assert str(e.value) == msg


def test_tier_functions(restore_tier):
    assert C.kavo_cpu_isa_available("scalar") is True
    for name in ("auto", "AVX2", "", "scalar "):
        assert C.kavo_cpu_isa_available(name) is False
    C.kavo_cpu_set_isa("scalar")
    assert C.kavo_cpu_active_isa() == "scalar"
    with pytest.raises(RuntimeError) as e:
        C.kavo_cpu_set_isa("sse")
    assert str(e.value) == "unknown kavo CPU isa tier: sse (want scalar|avx2|avx512|avx512fp16|auto)"
    assert C.kavo_cpu_active_isa() == "scalar"
    with pytest.raises(RuntimeError, match="unknown kavo CPU isa tier: auto"):
        C.kavo_cpu_set_isa("auto\x00junk")
    assert C.kavo_cpu_active_isa() == "scalar"
    for t in TIERS:
        if not C.kavo_cpu_isa_available(t):
            with pytest.raises(RuntimeError) as e:
                C.kavo_cpu_set_isa(t)
            assert str(e.value) == "kavo CPU isa tier unavailable: " + t
            assert C.kavo_cpu_active_isa() == "scalar"
    C.kavo_cpu_set_isa("auto")
    best = [t for t in TIERS if C.kavo_cpu_isa_available(t)][-1]
    assert C.kavo_cpu_active_isa() == best


def test_tier_environment_variable_in_fresh_processes():
    best = [t for t in TIERS if C.kavo_cpu_isa_available(t)][-1]
    cases = [(None, best), ("", best), ("auto", best), ("scalar", "scalar")]
    cases += [(t, t) for t in TIERS if C.kavo_cpu_isa_available(t)]
    for value, want in cases:
        env = {} if value is None else {"KAVO_CPU_ISA": value}
        r = run_fresh("print(C.kavo_cpu_active_isa())", **env)
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == want, (value, r.stdout)
    # A bad value fails every use, reading the variable again each time,
    # until a tier is set explicitly; later changes of it are ignored.
    code = """
import os, torch
p = torch.zeros(8, 32, dtype=torch.int16)
for f in (C.kavo_cpu_active_isa, lambda: C.kavo_decompress_trellis_3inst_cpu(p, 32, 64)):
    try:
        f(); print("no error")
    except RuntimeError as e:
        print(str(e).splitlines()[0])
C.kavo_cpu_set_isa("scalar")
os.environ["KAVO_CPU_ISA"] = "nonsense"
print(C.kavo_cpu_active_isa())
"""
    r = run_fresh(code, KAVO_CPU_ISA="AVX2")
    assert r.returncode == 0, r.stderr
    msg = "unknown kavo CPU isa tier: AVX2 (want scalar|avx2|avx512|avx512fp16|auto)"
    assert r.stdout.splitlines() == [msg, msg, "scalar"]
    unavailable = [t for t in TIERS if not C.kavo_cpu_isa_available(t)]
    if unavailable:
        r = run_fresh("C.kavo_cpu_active_isa()", KAVO_CPU_ISA=unavailable[0])
        assert "kavo CPU isa tier unavailable: " + unavailable[0] in r.stderr


def test_import_does_nothing_but_register():
    # A bad tier variable must not break the import itself.
    r = run_fresh("print('imported')", KAVO_CPU_ISA="bogus")
    assert r.returncode == 0 and r.stdout.strip() == "imported", r.stderr


DECOMPRESS_ERRORS = [
    # (packed, m, k, allow_r1, message), in the order the checks are made
    (torch.zeros(8, 32, dtype=torch.int16, device="meta"), 32, 64, False,
     "trellis_packed must be a CPU tensor"),
    (torch.zeros(8, 32, dtype=torch.int32), 32, 64, False, "trellis_packed must be int16"),
    (torch.zeros(3, dtype=torch.int32), 0, 0, False, "trellis_packed must be int16"),
    (torch.zeros(256, dtype=torch.int16), 32, 64, False,
     "trellis_packed must be 2-D [(m/16)*(k/16), 16*R]"),
    (torch.zeros(8, 16, dtype=torch.int16), 32, 64, False,
     "trellis CPU kernel supports R (bits/weight) 2-4, got 1"),
    (torch.zeros(8, 8, dtype=torch.int16), 32, 64, False,
     "trellis CPU kernel supports R (bits/weight) 2-4, got 0"),
    (torch.zeros(8, 88, dtype=torch.int16), 32, 64, False,
     "trellis CPU kernel supports R (bits/weight) 2-4, got 5"),
    (torch.zeros(8, 80, dtype=torch.int16), 32, 64, False,
     "trellis CPU kernel supports R (bits/weight) 2-4, got 5"),
    (torch.zeros(8, 8, dtype=torch.int16), 32, 64, True,
     "trellis CPU kernel supports R (bits/weight) 1-4, got 0"),
    (torch.zeros(8, 40, dtype=torch.int16), 32, 64, False,
     "trellis_packed columns must be a multiple of 16"),
    (torch.zeros(8, 32, dtype=torch.int16), 48, 64, False,
     "CPU trellis kernel needs m % 32 == 0 and k % 64 == 0, got (48, 64)"),
    (torch.zeros(8, 32, dtype=torch.int16), 32, 0, False,
     "CPU trellis kernel needs m % 32 == 0 and k % 64 == 0, got (32, 0)"),
    (torch.zeros(8, 32, dtype=torch.int16), -32, 64, False,
     "CPU trellis kernel needs m % 32 == 0 and k % 64 == 0, got (-32, 64)"),
    (torch.zeros(7, 32, dtype=torch.int16), 32, 64, False,
     "trellis_packed rows 7 != (m/16)*(k/16)"),
    (torch.zeros(8, 32, dtype=torch.int16), 2**62, 2**62, False,
     "CPU trellis kernel: m * k overflows 64 bits, got (4611686018427387904, 4611686018427387904)"),
]


@pytest.mark.parametrize("packed,m,k,allow_r1,msg", DECOMPRESS_ERRORS)
def test_decompress_errors_in_order(packed, m, k, allow_r1, msg):
    before = packed.clone() if packed.device.type == "cpu" else None
    with pytest.raises(RuntimeError) as e:
        C.kavo_decompress_trellis_3inst_cpu(packed, m, k, allow_r1)
    assert str(e.value).startswith(msg), str(e.value)
    if before is not None:
        assert torch.equal(packed, before)


def test_decompress_shapes_and_strided_input():
    w = C.kavo_decompress_trellis_3inst_cpu(torch.zeros(8, 32, dtype=torch.int16), 32, 64)
    assert w.shape == (32, 64) and w.dtype == torch.float16 and w.is_contiguous()
    r1 = torch.full((8, 16), -1, dtype=torch.int16)
    w1 = C.kavo_decompress_trellis_3inst_cpu(r1, 32, 64, allow_r1=True)
    assert torch.all(w1.view(torch.int16) == -20208)  # 0xB110
    big = torch.randint(-2**15, 2**15, (16, 48), dtype=torch.int16)
    view = big[::2]  # every other row: not contiguous
    before = big.clone()
    assert torch.equal(C.kavo_decompress_trellis_3inst_cpu(view, 32, 64),
                       C.kavo_decompress_trellis_3inst_cpu(view.contiguous(), 32, 64))
    assert torch.equal(big, before)

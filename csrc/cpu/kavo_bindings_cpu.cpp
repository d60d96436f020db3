// The _C_cpu module: argument checks, outputs, the split of work over
// threads, the fused linear layer, and the registration table.
#include <ATen/Parallel.h>
#include <torch/extension.h>
#include <xmmintrin.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "kavo_fht_cpu.h"
#include "kavo_trellis_cpu.h"

namespace {

using kavo_cpu::active;
using kavo_cpu::init_lut;

// Runs a scope under the default floating-point environment (round to
// nearest even, no flush-to-zero or denormals-are-zero, all exceptions
// masked) and gives the caller's back afterwards. Every thread that computes
// takes one: the worker threads of the parallel loop do not share the
// calling thread's settings, so without it a caller's rounding mode would make
// results depend on how the rows were split, and an unmasked exception could
// trap inside a kernel.
class DefaultFpEnv {
 public:
  DefaultFpEnv() : saved_(_mm_getcsr()) { _mm_setcsr(kDefaultCsr); }
  ~DefaultFpEnv() { _mm_setcsr(saved_); }
  DefaultFpEnv(const DefaultFpEnv&) = delete;
  DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;

 private:
  static constexpr unsigned kDefaultCsr = 0x1F80;
  unsigned saved_;
};

bool kernel_supported(int64_t m, int64_t k) {
  return m > 0 && k > 0 && (m & 31) == 0 && (k & 63) == 0;
}

int bits_from_packed(const at::Tensor& packed, bool allow_r1) {
  TORCH_CHECK(packed.dim() == 2,
              "trellis_packed must be 2-D [(m/16)*(k/16), 16*R]");
  const int R = static_cast<int>(packed.size(1) / 16);
  const int lo = allow_r1 ? 1 : 2;
  TORCH_CHECK(R >= lo && R <= 4, "trellis CPU kernel supports R (bits/weight) ",
              lo, "-4, got ", R);
  TORCH_CHECK(packed.size(1) == 16 * static_cast<int64_t>(R),
              "trellis_packed columns must be a multiple of 16");
  return R;
}

// Shape checks shared by every operation that reads packed weights, after R
// is known: the (m, k) contract of the kernels, sizes that fit in 64 bits,
// and the tile count of the tensor.
void check_packed_shape(const at::Tensor& packed, int64_t m, int64_t k) {
  TORCH_CHECK(kernel_supported(m, k),
              "CPU trellis kernel needs m % 32 == 0 and k % 64 == 0, got (", m,
              ", ", k, ")");
  int64_t tiles = 0, elems = 0;
  TORCH_CHECK(!__builtin_mul_overflow(m / 16, k / 16, &tiles) &&
                  !__builtin_mul_overflow(m, k, &elems),
              "CPU trellis kernel: m * k overflows 64 bits, got (", m, ", ", k,
              ")");
  TORCH_CHECK(packed.size(0) == tiles, "trellis_packed rows ", packed.size(0),
              " != (m/16)*(k/16)");
}

const uint16_t* packed_words(const at::Tensor& packed) {
  return reinterpret_cast<const uint16_t*>(packed.data_ptr<int16_t>());
}

bool overlaps(const at::Tensor& a, const at::Tensor& b) {
  const auto* a0 = static_cast<const char*>(a.data_ptr());
  const auto* b0 = static_cast<const char*>(b.data_ptr());
  const auto* a1 = a0 + a.numel() * a.element_size();
  const auto* b1 = b0 + b.numel() * b.element_size();
  return a0 < b1 && b0 < a1;
}

at::Tensor decompress_trellis_3inst_cpu(at::Tensor packed, int64_t m, int64_t k,
                                        bool allow_r1) {
  const DefaultFpEnv fp_env;
  TORCH_CHECK(packed.device().is_cpu(), "trellis_packed must be a CPU tensor");
  TORCH_CHECK(packed.scalar_type() == at::kShort,
              "trellis_packed must be int16");
  packed = packed.contiguous();
  const int R = bits_from_packed(packed, allow_r1);
  check_packed_shape(packed, m, k);
  init_lut();
  at::Tensor W = torch::empty({m, k}, torch::dtype(torch::kHalf));
  active().decompress(packed_words(packed),
                      reinterpret_cast<uint16_t*>(W.data_ptr<at::Half>()), m, k,
                      R);
  return W;
}

at::Tensor lut_cpu() {
  init_lut();
  at::Tensor t = torch::empty({65536}, torch::dtype(torch::kHalf));
  std::memcpy(t.data_ptr<at::Half>(), kavo_cpu::g_lut16,
              sizeof kavo_cpu::g_lut16);
  return t;
}

void check_out_disjoint(const at::Tensor& out, const at::Tensor& x,
                        const at::Tensor& packed) {
  TORCH_CHECK(!overlaps(out, x) && !overlaps(out, packed),
              "out must not share memory with x or trellis_packed");
}

// What both products do once x is validated (and contiguous): check
// accumulate mode, the packed tensor and the output, then split the row
// blocks over the worker threads. `kernel` runs one block range.
template <typename Kernel>
at::Tensor run_product(const at::Tensor& x, at::Tensor packed, int64_t m,
                       int64_t k, int64_t B,
                       const std::optional<at::Tensor>& out_opt, bool accum,
                       at::IntArrayRef new_shape, const char* out_message,
                       Kernel kernel) {
  TORCH_CHECK(!accum || out_opt.has_value(),
              "accumulate mode needs the caller's `out` (stage 1 is the "
              "initializer)");
  TORCH_CHECK(packed.device().is_cpu(), "trellis_packed must be a CPU tensor");
  packed = packed.contiguous();
  const int R = bits_from_packed(packed, accum);
  check_packed_shape(packed, m, k);
  init_lut();
  at::Tensor out =
      out_opt.has_value() ? *out_opt : torch::empty(new_shape, torch::kFloat);
  TORCH_CHECK(out.is_contiguous() && out.numel() == B * m &&
                  out.scalar_type() == at::kFloat && out.device().is_cpu(),
              out_message);
  const kavo_cpu::Kernels& kern = active();
  const uint16_t* pp = packed_words(packed);
  const float* xp = x.data_ptr<float>();
  float* yp = out.data_ptr<float>();
  check_out_disjoint(out, x, packed);
  at::parallel_for(0, m / 32, 1, [&](int64_t b0, int64_t b1) {
    const DefaultFpEnv task_env;
    kernel(kern, pp, xp, yp, R, b0, b1);
  });
  return out;
}

at::Tensor matvec_trellis_3inst_cpu(at::Tensor x, at::Tensor packed, int64_t m,
                                    int64_t k, double wscale,
                                    std::optional<at::Tensor> out_opt,
                                    bool accum) {
  const DefaultFpEnv fp_env;
  TORCH_CHECK(x.device().is_cpu() && x.scalar_type() == at::kFloat,
              "x must be a CPU fp32 tensor");
  TORCH_CHECK(x.numel() == k, "x must have k elements, got ", x.numel());
  x = x.contiguous();
  const float ws = static_cast<float>(wscale);
  return run_product(
      x, packed, m, k, 1, out_opt, accum, {m},
      "out must be a contiguous CPU (m,) fp32 tensor",
      [&](const kavo_cpu::Kernels& kern, const uint16_t* pp, const float* xp,
          float* yp, int R, int64_t b0,
          int64_t b1) { kern.matvec(pp, xp, yp, m, k, R, ws, accum, b0, b1); });
}

at::Tensor matmul_trellis_3inst_cpu(at::Tensor x, at::Tensor packed, int64_t m,
                                    int64_t k, double wscale,
                                    std::optional<at::Tensor> out_opt,
                                    bool accum) {
  const DefaultFpEnv fp_env;
  TORCH_CHECK(x.device().is_cpu() && x.scalar_type() == at::kFloat,
              "x must be a CPU fp32 tensor");
  TORCH_CHECK(x.dim() == 2 && x.size(1) == k, "x must be (B, k)");
  const int64_t B = x.size(0);
  TORCH_CHECK(B >= 1 && B <= 8, "fused CPU GEMM handles B <= 8 (got ", B,
              "); larger batches take the dense-transient path");
  x = x.contiguous();
  const float ws = static_cast<float>(wscale);
  return run_product(
      x, packed, m, k, B, out_opt, accum, {B, m},
      "out must be a contiguous CPU (B, m) fp32 tensor",
      [&](const kavo_cpu::Kernels& kern, const uint16_t* pp, const float* xp,
          float* yp, int R, int64_t b0, int64_t b1) {
        kern.matmul(pp, xp, yp, B, m, k, R, ws, accum, b0, b1);
      });
}

// Block tables index into rows: every block must be a power of two that lies
// inside a row of n elements. A block with bs <= 0 is a no-op.
void check_block_table(const at::Tensor& meta, int64_t n, const char* what) {
  const int* t = meta.data_ptr<int>();
  const kavo_cpu::BlockCheck c =
      kavo_cpu::check_block_table(t, meta.size(0), n);
  const int64_t offset = c.block < 0 ? 0 : t[4 * c.block];
  const int64_t bs = c.block < 0 ? 0 : t[4 * c.block + 1];
  TORCH_CHECK(c.fault != kavo_cpu::BLOCK_NOT_POW2, what, " block ", c.block,
              ": bs ", bs, " is not a power of two");
  TORCH_CHECK(c.fault != kavo_cpu::BLOCK_NEG_OFFSET, what, " block ", c.block,
              ": offset ", offset, " is negative");
  TORCH_CHECK(c.fault != kavo_cpu::BLOCK_PAST_END, what, " block ", c.block,
              ": offset ", offset, " + bs ", bs, " exceeds the row length ", n);
}

bool is_block_table(const at::Tensor& meta) {
  return meta.scalar_type() == at::kInt && meta.dim() == 2 &&
         meta.size(1) == 4 && meta.device().is_cpu();
}

at::Tensor blockdiag_fht_cpu(at::Tensor x, at::Tensor meta) {
  const DefaultFpEnv fp_env;
  TORCH_CHECK(x.device().is_cpu() && x.scalar_type() == at::kFloat,
              "x must be a CPU fp32 tensor");
  TORCH_CHECK(x.dim() == 2, "x must be (rows, n)");
  TORCH_CHECK(is_block_table(meta),
              "meta must be CPU int32 (nblocks, 4) {offset, bs, log_bs, pad}");
  at::Tensor mc = meta.contiguous();
  check_block_table(mc, x.size(1), "meta");
  at::Tensor out = x.contiguous().clone();
  kavo_cpu::blockdiag_fht_rows(out.data_ptr<float>(), out.size(0), out.size(1),
                               mc.data_ptr<int>(), mc.size(0));
  return out;
}

int64_t cpu_batch_max() {
  static const int64_t limit = [] {
    const char* s = std::getenv("KAVO_TRELLIS_CPU_BATCH_MAX");
    if (s == nullptr) return int64_t{8};
    const long long v = std::strtoll(s, nullptr, 10);
    return v < 1 ? int64_t{1} : static_cast<int64_t>(v);
  }();
  return limit;
}

at::Tensor checked_table(const at::Tensor& meta, int64_t n, const char* what) {
  TORCH_CHECK(is_block_table(meta), what,
              " must be CPU int32 (nblocks, 4) {offset, bs, log_bs, pad}");
  at::Tensor mc = meta.contiguous();
  check_block_table(mc, n, what);
  return mc;
}

at::Tensor fused_linear_impl(at::Tensor x2d, at::Tensor sv, at::Tensor su,
                             at::Tensor packed,
                             std::optional<at::Tensor> packed2, double inv_rs2,
                             at::Tensor meta_n, at::Tensor meta_m,
                             double wscale, int64_t in_features,
                             int64_t out_features, int64_t n_pad,
                             int64_t m_pad) {
  const DefaultFpEnv fp_env;
  TORCH_CHECK(x2d.device().is_cpu() && x2d.dim() == 2,
              "x must be a CPU (B, in) tensor");
  TORCH_CHECK(out_features == m_pad && in_features == n_pad,
              "trellis layers are unpadded; got n_pad ", n_pad, " != in ",
              in_features, " or m_pad ", m_pad, " != out ", out_features);
  TORCH_CHECK(sv.numel() == n_pad && su.numel() == m_pad,
              "sv/su size mismatch");
  const bool has_s2 = packed2.has_value() && packed2->numel() > 0;
  TORCH_CHECK(has_s2 == (inv_rs2 != 0.0),
              "trellis RVQ stage 2 is half-configured: packed2 is ",
              has_s2 ? "present" : "absent",
              " but inv_resid_scale2 = ", inv_rs2,
              ". Refusing rather than silently decoding stage 1 only.");
  TORCH_CHECK(sv.device().is_cpu() && su.device().is_cpu(),
              "sv and su must be CPU tensors");
  const at::Tensor mn = checked_table(meta_n, n_pad, "blocks_n_meta");
  const at::Tensor mm = checked_table(meta_m, m_pad, "blocks_m_meta");
  init_lut();
  const int64_t B = x2d.size(0);
  // sv is flattened so that broadcasting can only widen x2d's columns.
  at::Tensor xr =
      (x2d.to(at::kFloat) * sv.reshape({n_pad}).to(at::kFloat)).contiguous();
  TORCH_CHECK(xr.dim() == 2 && xr.size(0) == B && xr.size(1) == n_pad,
              "x must be (B, in) with in = n_pad");
  kavo_cpu::blockdiag_fht_rows(xr.data_ptr<float>(), B, n_pad,
                               mn.data_ptr<int>(), mn.size(0));
  at::Tensor y;
  if (B <= cpu_batch_max()) {
    if (B == 1) {
      y = matvec_trellis_3inst_cpu(xr.view({n_pad}), packed, m_pad, n_pad,
                                   wscale, std::nullopt, false)
              .view({1, m_pad});
    } else {
      y = matmul_trellis_3inst_cpu(xr, packed, m_pad, n_pad, wscale,
                                   std::nullopt, false);
    }
    if (has_s2) {
      const double ws2 = wscale * inv_rs2;
      if (B == 1)
        matvec_trellis_3inst_cpu(xr.view({n_pad}), *packed2, m_pad, n_pad, ws2,
                                 y.view({m_pad}), true);
      else
        matmul_trellis_3inst_cpu(xr, *packed2, m_pad, n_pad, ws2, y, true);
    }
  } else {
    at::Tensor W = decompress_trellis_3inst_cpu(packed, m_pad, n_pad, false)
                       .to(at::kFloat);
    if (has_s2) {
      at::Tensor W2 =
          decompress_trellis_3inst_cpu(*packed2, m_pad, n_pad, true);
      W.add_(W2.to(at::kFloat), inv_rs2);
    }
    y = xr.matmul(W.t()).mul_(static_cast<float>(wscale)).contiguous();
  }
  kavo_cpu::blockdiag_fht_rows(y.data_ptr<float>(), B, m_pad,
                               mm.data_ptr<int>(), mm.size(0));
  y.mul_(su.reshape({m_pad}).to(at::kFloat));
  return y;
}

at::Tensor fused_linear_trellis_3inst_cpu(at::Tensor x2d, at::Tensor sv,
                                          at::Tensor su, at::Tensor packed,
                                          at::Tensor meta_n, at::Tensor meta_m,
                                          double wscale, int64_t in_features,
                                          int64_t out_features, int64_t n_pad,
                                          int64_t m_pad) {
  return fused_linear_impl(x2d, sv, su, packed, std::nullopt, 0.0, meta_n,
                           meta_m, wscale, in_features, out_features, n_pad,
                           m_pad);
}

at::Tensor fused_linear_trellis_3inst_rvq2_cpu(
    at::Tensor x2d, at::Tensor sv, at::Tensor su, at::Tensor packed,
    at::Tensor packed2, at::Tensor meta_n, at::Tensor meta_m, double wscale,
    double inv_resid_scale2, int64_t in_features, int64_t out_features,
    int64_t n_pad, int64_t m_pad) {
  return fused_linear_impl(x2d, sv, su, packed, packed2, inv_resid_scale2,
                           meta_n, meta_m, wscale, in_features, out_features,
                           n_pad, m_pad);
}

bool isa_available(const std::string& name) {
  for (unsigned t = 0; t < kavo_cpu::TIER_COUNT; ++t)
    if (name == kavo_cpu::g_tier_names[t])
      return kavo_cpu::tier_available(static_cast<kavo_cpu::Tier>(t));
  return false;
}

void set_decode_variant(const std::string& variant) {
  if (variant == "auto")
    kavo_cpu::g_decode_variant = kavo_cpu::DECODE_AUTO;
  else if (variant == "arith")
    kavo_cpu::g_decode_variant = kavo_cpu::DECODE_ARITH;
  else if (variant == "lut")
    kavo_cpu::g_decode_variant = kavo_cpu::DECODE_LUT;
  else
    throw std::runtime_error("unknown decode variant: " + variant +
                             " (want auto|arith|lut)");
}

}  // namespace

PYBIND11_MODULE(_C_cpu, m) {
  namespace py = pybind11;
  m.def("kavo_decompress_trellis_3inst_cpu", &decompress_trellis_3inst_cpu,
        py::arg("trellis_packed"), py::arg("m"), py::arg("k"),
        py::arg("allow_r1") = false);
  m.def("kavo_trellis_3inst_lut_cpu", &lut_cpu);
  m.def("kavo_trellis_cpu_kernel_supported", &kernel_supported, py::arg("m"),
        py::arg("k"));
  m.def("kavo_cpu_active_isa",
        [] { return std::string(kavo_cpu::active_name()); });
  m.def("kavo_cpu_isa_available", &isa_available, py::arg("name"));
  m.def(
      "kavo_cpu_set_isa",
      [](const std::string& name) {
        // Tier names are matched exactly: a name with an embedded NUL would
        // otherwise be read as its prefix.
        if (name.find('\0') != std::string::npos)
          throw std::runtime_error(
              "unknown kavo CPU isa tier: " + name +
              " (want scalar|avx2|avx512|avx512fp16|auto)");
        kavo_cpu::set_tier_by_name(name.c_str());
      },
      py::arg("name"));
  m.def("kavo_decode_matvec_trellis_3inst_cpu", &matvec_trellis_3inst_cpu,
        py::arg("x"), py::arg("trellis_packed"), py::arg("m"), py::arg("k"),
        py::arg("wscale") = 1.0, py::arg("out") = py::none(),
        py::arg("accum") = false);
  m.def("kavo_blockdiag_fht_cpu", &blockdiag_fht_cpu, py::arg("x"),
        py::arg("meta"));
  m.def("kavo_decode_matmul_trellis_3inst_cpu", &matmul_trellis_3inst_cpu,
        py::arg("x"), py::arg("trellis_packed"), py::arg("m"), py::arg("k"),
        py::arg("wscale") = 1.0, py::arg("out") = py::none(),
        py::arg("accum") = false);
  m.def("kavo_fused_linear_trellis_3inst_cpu", &fused_linear_trellis_3inst_cpu,
        py::arg("x"), py::arg("sv"), py::arg("su"), py::arg("trellis_packed"),
        py::arg("blocks_n_meta"), py::arg("blocks_m_meta"), py::arg("wscale"),
        py::arg("in_features"), py::arg("out_features"), py::arg("n_pad"),
        py::arg("m_pad"));
  m.def("kavo_fused_linear_trellis_3inst_rvq2_cpu",
        &fused_linear_trellis_3inst_rvq2_cpu, py::arg("x"), py::arg("sv"),
        py::arg("su"), py::arg("trellis_packed"), py::arg("trellis_packed2"),
        py::arg("blocks_n_meta"), py::arg("blocks_m_meta"), py::arg("wscale"),
        py::arg("inv_resid_scale2"), py::arg("in_features"),
        py::arg("out_features"), py::arg("n_pad"), py::arg("m_pad"));
  m.def("kavo_cpu_set_decode_variant", &set_decode_variant, py::arg("variant"));
}

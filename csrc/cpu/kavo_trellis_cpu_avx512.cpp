// Placeholder until this tier's kernels are written: the null table marks the
// tier as not built, so it is never offered.
#include "kavo_trellis_cpu.h"

namespace kavo_cpu {

const Kernels* avx512_kernels() { return nullptr; }

}  // namespace kavo_cpu

// Block-table validation: any table the check accepts must keep the
// transform inside the rows (the buffer is exactly rows*n floats, so the
// address sanitizer sees any stray access), and any table it refuses must
// really contain a bad block.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kavo_fht_cpu.h"

using namespace kavo_cpu;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool block_sound(int64_t offset, int64_t bs, int64_t n) {
  if (bs <= 0) return true;
  for (int64_t p = 1; p < (int64_t{1} << 31); p *= 2)
    if (p == bs) return offset >= 0 && offset + bs <= n;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int64_t n = 1 + (data[0] | (data[1] & 3) << 8);  // 1..1024
  const int64_t rows = 1 + data[2] % 3;
  data += 3;
  size -= 3;
  const int64_t nblocks = static_cast<int64_t>(size / 16);
  std::vector<int> meta(4 * nblocks);
  if (nblocks) std::memcpy(meta.data(), data, 16 * nblocks);
  // Bias some entries towards plausible values so that sound tables occur.
  for (int64_t b = 0; b < nblocks; ++b) {
    if (meta[4 * b + 2] & 1) {
      meta[4 * b] = static_cast<int>(static_cast<uint32_t>(meta[4 * b]) % 1100);
      meta[4 * b + 1] = 1 << (static_cast<uint32_t>(meta[4 * b + 1]) % 11);
    }
  }

  const BlockCheck c = check_block_table(meta.data(), nblocks, n);
  bool all_sound = true;
  for (int64_t b = 0; b < nblocks; ++b)
    all_sound &= block_sound(meta[4 * b], meta[4 * b + 1], n);
  check((c.block < 0) == all_sound);
  if (c.block >= 0) {
    check(c.fault != BLOCK_OK);
    check(!block_sound(meta[4 * c.block], meta[4 * c.block + 1], n));
    return 0;
  }
  std::vector<float> x(rows * n);
  for (int64_t i = 0; i < rows * n; ++i) x[i] = static_cast<float>(i % 13) - 6;
  blockdiag_fht_rows(x.data(), rows, n, meta.data(), nblocks);
  return 0;
}

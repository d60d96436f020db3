// Block-diagonal normalised Walsh-Hadamard transform of float32 rows.
#pragma once

#include <cstdint>

namespace kavo_cpu {

// Normalised transform of x[0..n) in place; n is a power of two.
void fht_inplace(float* x, int64_t n);

// Transforms, in place, every block of a table of four int32 per block
// {offset, bs, log_bs, pad} in each of `rows` contiguous rows of length n.
// Blocks with bs <= 0 are skipped; every other block must pass
// check_block_table for n.
void blockdiag_fht_rows(float* x, int64_t rows, int64_t n, const int* meta,
                        int64_t nblocks);

enum BlockFault : int {
  BLOCK_OK = 0,
  BLOCK_NOT_POW2,    // bs > 0 but not a power of two
  BLOCK_NEG_OFFSET,  // offset < 0
  BLOCK_PAST_END,    // offset + bs > n
};

struct BlockCheck {
  int64_t block;  // first offending block, -1 when the table is sound
  BlockFault fault;
};

// Whether every block of the table stays inside a row of n elements.
BlockCheck check_block_table(const int* meta, int64_t nblocks, int64_t n);

}  // namespace kavo_cpu

// The legal slots of mask rows, and one slot drawn per row from a policy over them: the work a
// player does around its network's forward pass, once a step for every game it moves in. No
// Python here; the module's binding hands these functions its buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellor::batch {

// The number of true bytes in `rows` mask rows of `width` bytes each (a byte is 0 or 1).
std::size_t count_entries(const std::uint8_t* masks, std::size_t rows, std::size_t width);

// Writes the row and the column of every true byte, row by row and in column order, to
// out_rows and out_slots (count_entries() of them).
void legal_entries(const std::uint8_t* masks, std::size_t rows, std::size_t width, std::int64_t* out_rows,
                   std::int64_t* out_slots);

// Packs `rows` mask rows of `width` bytes (width a multiple of 8) into width / 8 bytes each,
// byte j's bit b the row's byte 8 j + b (numpy's packbits with bitorder "little").
void pack_mask_bits(const std::uint8_t* masks, std::size_t rows, std::size_t width, std::uint8_t* out);

// For each of the k mask rows masks + index[j] * width (width a multiple of 16): packs the row
// into width / 8 bytes of `bits` as pack_mask_bits() does, and appends its true bytes to `rows`
// (as j) and `slots` (their columns), in one pass over the row.
void gather_mask_rows(const std::uint8_t* masks, std::size_t width, const std::int64_t* index, std::size_t k,
                      std::uint8_t* bits, std::vector<std::int64_t>& rows, std::vector<std::int64_t>& slots);

// Why sample_entries refused its input.
enum class SampleError { None, RowWithoutEntry, RowsOutOfOrder, NotFinite };

// Draws one entry per row from the softmax of `values` within each row. Entry i (of n) belongs
// to row rows[i]; rows ascend, and each of the k rows has at least one entry. Row r's draw is
// the inverse CDF at uniforms[r] in [0, 1): the first entry whose running weight exceeds
// uniforms[r] times the row's total, in double precision. Writes the entry's index to picked[r]
// and its log-probability to log_probs[r]; on a refusal writes nothing and says why.
SampleError sample_entries(const float* values, const std::int64_t* rows, std::size_t n, std::size_t k,
                           const double* uniforms, std::int64_t* picked, float* log_probs);

}  // namespace quellor::batch

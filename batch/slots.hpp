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

// The number of set bits in `rows` bit-packed mask rows of `bytes` bytes each (a multiple of 8).
std::size_t count_bit_entries(const std::uint8_t* bits, std::size_t rows, std::size_t bytes);

// legal_entries() of the masks that bit-packed rows hold (slot s is bit s % 8 of byte s / 8, as
// pack_mask_bits() writes them): the row and the slot of every set bit, row by row and slots
// ascending, count_bit_entries() of them. The learner reads its stored masks so, without
// spreading them to a byte a slot.
void bit_entries(const std::uint8_t* bits, std::size_t rows, std::size_t bytes, std::int64_t* out_rows,
                 std::int64_t* out_slots);

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

// For the legal entries (rows[i], slots[i]) of k positions: where a squares network reads each
// entry's logit among the positions' squares (64 a position, row r's square q at 64 r + q):
// origin[i] at its from-square, target[i] at its to-square (the from-square again for a
// promotion slot, whose logit is its origin's alone). False, and nothing written, when an
// entry's row is not below k or its slot is not a policy slot.
bool entry_squares(const std::int64_t* rows, const std::int64_t* slots, std::size_t n, std::size_t k,
                   std::int64_t* origin, std::int64_t* target);

// The policy logits of n entries from the heads' outputs at their squares: `from` holds n rows
// of 1 + keys + 4 (the source score, the query, the four promotion scores), `to` n rows of
// 1 + keys (the target score, the key). A move slot's logit is source + target + scale *
// (query . key); promotion slot PROMOTION_BASE + 4 f + p takes promotion score p.
void entry_logits(const float* from, const float* to, const std::int64_t* slots, std::size_t n, std::size_t keys,
                  float scale, float* out);

}  // namespace quellor::batch

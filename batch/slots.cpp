#include "slots.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "game/action_slots.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quellor::batch {
namespace {

// Bit b of the result is byte b of the eight at p (each 0 or 1).
inline std::uint64_t eight_bits(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    // Each byte's low bit moved to bit 56 + b of the product, the bytes' bits never colliding.
    return ((word & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56;
}

// Bit b of the result is byte b of the sixteen at p (each 0 or 1).
inline std::uint32_t sixteen_bits(const std::uint8_t* p) {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_slli_epi64(bytes, 7)));
#else
    return static_cast<std::uint32_t>(eight_bits(p) | (eight_bits(p + 8) << 8));
#endif
}

// The 8 bytes of bit-packed slots at p as one word whose bit i is the i-th of their 64 slots
// (byte j in bits 8 j .. 8 j + 7, on this little-endian machine).
inline std::uint64_t bit_word(const std::uint8_t* p) {
    static_assert(std::endian::native == std::endian::little);
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

}  // namespace

std::size_t count_entries(const std::uint8_t* masks, std::size_t rows, std::size_t width) {
    const std::size_t total = rows * width;
    std::size_t count = 0, j = 0;
    for (; j + 16 <= total; j += 16) count += static_cast<std::size_t>(std::popcount(sixteen_bits(masks + j)));
    for (; j < total; ++j) count += masks[j] != 0;
    return count;
}

void legal_entries(const std::uint8_t* masks, std::size_t rows, std::size_t width, std::int64_t* out_rows,
                   std::int64_t* out_slots) {
    std::size_t n = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* row = masks + r * width;
        std::size_t j = 0;
        for (; j + 16 <= width; j += 16) {
            for (std::uint32_t bits = sixteen_bits(row + j); bits != 0; bits &= bits - 1) {
                out_rows[n] = static_cast<std::int64_t>(r);
                out_slots[n++] = static_cast<std::int64_t>(j + static_cast<std::size_t>(std::countr_zero(bits)));
            }
        }
        for (; j < width; ++j)
            if (row[j]) {
                out_rows[n] = static_cast<std::int64_t>(r);
                out_slots[n++] = static_cast<std::int64_t>(j);
            }
    }
}

std::size_t count_bit_entries(const std::uint8_t* bits, std::size_t rows, std::size_t bytes) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < rows * bytes; j += 8) count += static_cast<std::size_t>(std::popcount(bit_word(bits + j)));
    return count;
}

void bit_entries(const std::uint8_t* bits, std::size_t rows, std::size_t bytes, std::int64_t* out_rows,
                 std::int64_t* out_slots) {
    std::size_t n = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* row = bits + r * bytes;
        for (std::size_t j = 0; j < bytes; j += 8)
            for (std::uint64_t word = bit_word(row + j); word != 0; word &= word - 1) {
                out_rows[n] = static_cast<std::int64_t>(r);
                out_slots[n++] = static_cast<std::int64_t>(8 * j + static_cast<std::size_t>(std::countr_zero(word)));
            }
    }
}

void pack_mask_bits(const std::uint8_t* masks, std::size_t rows, std::size_t width, std::uint8_t* out) {
    const std::size_t total = rows * width;
    std::size_t j = 0;
    for (; j + 16 <= total; j += 16) {
        const std::uint32_t bits = sixteen_bits(masks + j);
        out[j / 8] = static_cast<std::uint8_t>(bits);
        out[j / 8 + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    for (; j < total; j += 8) out[j / 8] = static_cast<std::uint8_t>(eight_bits(masks + j));
}

void gather_mask_rows(const std::uint8_t* masks, std::size_t width, const std::int64_t* index, std::size_t k,
                      std::uint8_t* bits, std::vector<std::int64_t>& rows, std::vector<std::int64_t>& slots) {
    for (std::size_t j = 0; j < k; ++j) {
        const std::uint8_t* row = masks + static_cast<std::size_t>(index[j]) * width;
        std::uint8_t* packed = bits + j * (width / 8);
        for (std::size_t c = 0; c < width; c += 16) {
            std::uint32_t found = sixteen_bits(row + c);
            packed[c / 8] = static_cast<std::uint8_t>(found);
            packed[c / 8 + 1] = static_cast<std::uint8_t>(found >> 8);
            for (; found != 0; found &= found - 1) {
                rows.push_back(static_cast<std::int64_t>(j));
                slots.push_back(static_cast<std::int64_t>(c + static_cast<std::size_t>(std::countr_zero(found))));
            }
        }
    }
}

SampleError sample_entries(const float* values, const std::int64_t* rows, std::size_t n, std::size_t k,
                           const double* uniforms, std::int64_t* picked, float* log_probs) {
    // Where each row's entries start (k + 1 bounds), checked before anything is written.
    std::vector<std::size_t> starts(k + 1, n);
    std::size_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t r = rows[i];
        if (r < 0 || static_cast<std::size_t>(r) >= k || (i > 0 && r < rows[i - 1])) return SampleError::RowsOutOfOrder;
        if (!std::isfinite(values[i])) return SampleError::NotFinite;
        while (next <= static_cast<std::size_t>(r)) starts[next++] = i;
    }
    for (std::size_t r = 0; r < k; ++r)
        if (starts[r] == starts[r + 1]) return SampleError::RowWithoutEntry;

    std::vector<double> running;
    for (std::size_t r = 0; r < k; ++r) {
        const std::size_t begin = starts[r], end = starts[r + 1];
        double top = values[begin];
        for (std::size_t i = begin + 1; i < end; ++i) top = std::max(top, static_cast<double>(values[i]));
        running.resize(end - begin);
        double total = 0;
        for (std::size_t i = begin; i < end; ++i) {
            total += std::exp(static_cast<double>(values[i]) - top);
            running[i - begin] = total;
        }
        const double target = uniforms[r] * total;
        std::size_t at = 0;
        // The first entry whose running weight passes the target; rounding may carry a draw past
        // the last entry: it stays in the row.
        while (at + 1 < running.size() && running[at] <= target) ++at;
        picked[r] = static_cast<std::int64_t>(begin + at);
        log_probs[r] = static_cast<float>(static_cast<double>(values[begin + at]) - top - std::log(total));
    }
    return SampleError::None;
}

bool entry_squares(const std::int64_t* rows, const std::int64_t* slots, std::size_t n, std::size_t k,
                   std::int64_t* origin, std::int64_t* target) {
    for (std::size_t i = 0; i < n; ++i)
        if (rows[i] < 0 || static_cast<std::size_t>(rows[i]) >= k || slots[i] < 0 || slots[i] >= ACTION_COUNT)
            return false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t base = rows[i] * 64, slot = slots[i];
        origin[i] = base + slot_from(slot);
        target[i] = is_promotion_slot(slot) ? origin[i] : base + slot_to(slot);
    }
    return true;
}

void entry_logits(const float* from, const float* to, const std::int64_t* slots, std::size_t n, std::size_t keys,
                  float scale, float* out) {
    const std::size_t from_width = keys + 5, to_width = keys + 1;
    for (std::size_t i = 0; i < n; ++i) {
        const float* o = from + i * from_width;
        const float* t = to + i * to_width;
        if (is_promotion_slot(slots[i])) {
            out[i] = o[1 + keys + slot_kind(slots[i])];
            continue;
        }
        float dot = 0.0f;
        for (std::size_t j = 1; j <= keys; ++j) dot += o[j] * t[j];
        out[i] = o[0] + t[0] + dot * scale;
    }
}

}  // namespace quellor::batch

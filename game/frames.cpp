#include "frames.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUELLOR_HAVE_AVX2_WRITER 1
#endif

namespace quellor {

namespace {

#if QUELLOR_HAVE_AVX2_WRITER

// One 106-byte observation row from the row's eight frame codes, 32 bytes at a time: byte j
// of the row belongs to frame j / 13 and channel j % 13, so a shuffle spreads each frame's code
// over its 13 bytes and a comparison with the channel numbers leaves the one-hot row. Bytes
// 104 and 105 (the castling flags) never match and are set afterwards.
struct RowLayout {
    alignas(32) std::uint8_t frame[112];
    alignas(32) std::uint8_t channel[112];
    constexpr RowLayout() : frame{}, channel{} {
        for (std::size_t j = 0; j < 112; ++j) {
            const bool in_frames = j < HISTORY_LEN * PLANE_CHANNELS;
            frame[j] = static_cast<std::uint8_t>(in_frames ? j / PLANE_CHANNELS : 0);
            channel[j] = static_cast<std::uint8_t>(in_frames ? j % PLANE_CHANNELS : 0x7F);
        }
    }
};
constexpr RowLayout ROW_LAYOUT{};
constexpr std::size_t LAST_CHUNK = OBS_COLS - 16;  // 90: the row's last 16 bytes

// Turns eight frames of 64 codes into 64 words of eight codes, word r holding row r of frame k
// in byte k: an 8 x 8 byte transpose per eight rows.
[[gnu::target("avx2")]] void rows_of(const std::uint8_t* const frames[HISTORY_LEN], std::uint64_t out[OBS_ROWS]) {
    for (std::size_t r = 0; r < OBS_ROWS; r += 8) {
        __m128i a[HISTORY_LEN];
        for (std::size_t k = 0; k < HISTORY_LEN; ++k) a[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(frames[k] + r));
        const __m128i t0 = _mm_unpacklo_epi8(a[0], a[1]), t1 = _mm_unpacklo_epi8(a[2], a[3]);
        const __m128i t2 = _mm_unpacklo_epi8(a[4], a[5]), t3 = _mm_unpacklo_epi8(a[6], a[7]);
        const __m128i u0 = _mm_unpacklo_epi16(t0, t1), u1 = _mm_unpackhi_epi16(t0, t1);
        const __m128i u2 = _mm_unpacklo_epi16(t2, t3), u3 = _mm_unpackhi_epi16(t2, t3);
        auto* dst = reinterpret_cast<__m128i*>(out + r);
        _mm_storeu_si128(dst + 0, _mm_unpacklo_epi32(u0, u2));
        _mm_storeu_si128(dst + 1, _mm_unpackhi_epi32(u0, u2));
        _mm_storeu_si128(dst + 2, _mm_unpacklo_epi32(u1, u3));
        _mm_storeu_si128(dst + 3, _mm_unpackhi_epi32(u1, u3));
    }
}

[[gnu::target("avx2")]] void write_rows_avx2(const std::uint8_t* const frames[HISTORY_LEN], bool king_side,
                                                     bool queen_side, std::uint8_t* out) {
    alignas(32) std::uint64_t codes[OBS_ROWS];
    rows_of(frames, codes);
    const __m256i ones = _mm256_set1_epi8(1);
    __m256i frame[3], channel[3];
    for (std::size_t c = 0; c < 3; ++c) {
        frame[c] = _mm256_load_si256(reinterpret_cast<const __m256i*>(ROW_LAYOUT.frame + 32 * c));
        channel[c] = _mm256_load_si256(reinterpret_cast<const __m256i*>(ROW_LAYOUT.channel + 32 * c));
    }
    const __m128i last_frame = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ROW_LAYOUT.frame + LAST_CHUNK));
    const __m128i last_channel = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ROW_LAYOUT.channel + LAST_CHUNK));
    // The flags sit in the last chunk's bytes 14 and 15 (row bytes 104 and 105).
    const __m128i flag_bytes = _mm_set_epi8(1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    for (std::size_t r = 0; r < OBS_ROWS; ++r, out += OBS_COLS) {
        const __m256i row = _mm256_set1_epi64x(static_cast<long long>(codes[r]));
        for (std::size_t c = 0; c < 3; ++c) {
            const __m256i hot = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(row, frame[c]), channel[c]), ones);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * c), hot);
        }
        __m128i tail = _mm_and_si128(
            _mm_cmpeq_epi8(_mm_shuffle_epi8(_mm256_castsi256_si128(row), last_frame), last_channel),
            _mm256_castsi256_si128(ones));
        const bool flag = r == 0 ? king_side : r == 1 ? queen_side : false;
        if (flag) tail = _mm_or_si128(tail, flag_bytes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + LAST_CHUNK), tail);
    }
}

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#else

void write_rows_avx2(const std::uint8_t* const[HISTORY_LEN], bool, bool, std::uint8_t*) {}
bool cpu_has_avx2() { return false; }

#endif

// Read once at load; the CPU does not change under a running process.
const bool HAS_AVX2 = cpu_has_avx2();

}  // namespace

namespace detail {

bool avx2_writer_available() { return HAS_AVX2; }

void write_observation_avx2(const std::uint8_t* const frames[HISTORY_LEN], bool king_side, bool queen_side,
                            std::uint8_t* out) {
    write_rows_avx2(frames, king_side, queen_side, out);
}

}  // namespace detail

void write_observation_bytes(const std::uint8_t* const frames[HISTORY_LEN], bool king_side, bool queen_side,
                             std::uint8_t* out) noexcept {
    if (HAS_AVX2) write_rows_avx2(frames, king_side, queen_side, out);
    else write_observation(frames, king_side, queen_side, out);
}

}  // namespace quellor

// The batch's byte observation writer against the row copies it stands in for: on random
// frames (every code, hidden and seen-empty squares included) and both castling flags, the two
// must write the same 64 x 106 bytes and nothing outside them.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "game/frames.hpp"

namespace {

using quellor::Frame;
using quellor::HISTORY_LEN;
using quellor::OBS_COLS;
using quellor::OBS_ROWS;

constexpr std::size_t SIZE = OBS_ROWS * OBS_COLS;
constexpr std::size_t GUARD = 64;  // bytes either side that no writer may touch

struct Frames {
    std::array<Frame, HISTORY_LEN> frames;
    const std::uint8_t* pointers[HISTORY_LEN];
};

Frames random_frames(std::mt19937_64& rng) {
    Frames f;
    for (std::size_t k = 0; k < HISTORY_LEN; ++k) {
        for (auto& code : f.frames[k]) code = static_cast<std::uint8_t>(rng() % quellor::FRAME_CODES);
        f.pointers[k] = f.frames[k].data();
    }
    return f;
}

template <class Writer>
std::vector<std::uint8_t> written(Writer write, const Frames& f, bool king_side, bool queen_side) {
    std::vector<std::uint8_t> buffer(SIZE + 2 * GUARD, 0xA5);
    write(f.pointers, king_side, queen_side, buffer.data() + GUARD);
    return buffer;
}

TEST(ObservationWriter, BytesMatchTheRowCopies) {
    std::mt19937_64 rng(20261208);
    const auto copies = [](const std::uint8_t* const* frames, bool ks, bool qs, std::uint8_t* out) {
        quellor::write_observation(frames, ks, qs, out);
    };
    const auto dispatched = [](const std::uint8_t* const* frames, bool ks, bool qs, std::uint8_t* out) {
        quellor::write_observation_bytes(frames, ks, qs, out);
    };
    const auto avx2 = [](const std::uint8_t* const* frames, bool ks, bool qs, std::uint8_t* out) {
        quellor::detail::write_observation_avx2(frames, ks, qs, out);
    };
    if (!quellor::detail::avx2_writer_available()) std::printf("no AVX2 on this CPU: the dispatched writer alone is checked\n");
    for (int trial = 0; trial < 2000; ++trial) {
        const Frames f = random_frames(rng);
        const bool ks = trial & 1, qs = trial & 2;
        const auto expected = written(copies, f, ks, qs);
        // The row copies themselves: one-hot rows, flags only in rows 0 and 1, guards intact.
        for (std::size_t i = 0; i < GUARD; ++i) ASSERT_EQ(expected[i], 0xA5);
        ASSERT_EQ(expected[GUARD + OBS_COLS - 1], ks);
        ASSERT_EQ(expected[GUARD + 2 * OBS_COLS - 1], qs);
        ASSERT_EQ(expected, written(dispatched, f, ks, qs)) << "trial " << trial;
        if (quellor::detail::avx2_writer_available()) ASSERT_EQ(expected, written(avx2, f, ks, qs)) << "trial " << trial;
    }
}

}  // namespace

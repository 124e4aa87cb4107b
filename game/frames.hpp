// Compact fog-of-war frames and the dense observation written from them.
//
// A frame is what one side saw at one moment, as one code per row (rows are squares seen from
// that side, rank-mirrored for Black, exactly as in a SelfPlayGame plane):
//
//   code 0..5    own pawn, knight, bishop, rook, queen, king on a seen square
//   code 6..11   enemy pawn .. king on a seen square
//   code 12      hidden square
//   code 13      seen, empty square
//
// Codes 0..12 are the channel that holds 1 in the plane; code 13 is a row of zeros. A frame
// never changes after it is made, so the observation writer can expand each row with one table
// lookup instead of testing bitboards.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chess/board.hpp"
#include "game.hpp"

static_assert(std::endian::native == std::endian::little, "frames are written a rank of bytes at a time");

namespace quellor {

inline constexpr std::uint8_t SEEN_EMPTY = 13;
static_assert(HIDDEN_CHANNEL == 12 && SEEN_EMPTY == 13, "make_frame spells out the codes' bits");
static_assert(chess::index(chess::Piece::Pawn) == 0 && chess::index(chess::Piece::Knight) == 1 &&
                  chess::index(chess::Piece::Bishop) == 2 && chess::index(chess::Piece::Rook) == 3 &&
                  chess::index(chess::Piece::Queen) == 4 && chess::index(chess::Piece::King) == 5,
              "make_frame spells out the codes' bits");
inline constexpr std::size_t FRAME_CODES = 14;

using Frame = std::array<std::uint8_t, 64>;

namespace detail {
// SPREAD[b] holds 1 in byte j where bit j of b is set: one rank of a bitboard as 8 bytes.
constexpr std::array<std::uint64_t, 256> make_spread() {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j)
            if (b >> j & 1) t[b] |= std::uint64_t{1} << (8 * j);
    return t;
}
inline constexpr auto SPREAD = make_spread();
}  // namespace detail

// What a frame is made from: the pieces, the observer, and the squares it sees. Play that
// writes no outputs keeps these for its last plies and makes only the frames it will need.
struct FrameSource {
    std::array<chess::Bitboard, chess::PIECE_KINDS> pieces;
    std::array<chess::Bitboard, 2> colors;
    chess::Bitboard seen;
    chess::Color us;

    FrameSource() = default;
    FrameSource(const chess::Board& b, chess::Bitboard seen_squares)
        : pieces(b.piece_masks), colors(b.color_masks), seen(seen_squares), us(b.side_to_move) {}
};

// The frame of a position as its observer sees it.
//
// Bit-sliced, without a loop over the pieces: the four bits of every square's code are four
// bitboards, spread into the frame's bytes a rank at a time. A loop per kind and side would
// run a varying number of times, a branch the CPU mispredicts several times a frame. With own
// kinds 0..5 and the other side's 6..11 (pawn, knight, bishop, rook, queen, king), hidden 12
// (0b1100) and seen-empty 13 (0b1101):
//   bit 0: a knight, rook or king, or seen-empty;
//   bit 1: an own bishop or rook, the other side's pawn, knight, queen or king;
//   bit 2: an own queen or king, the other side's pawn or knight, hidden or seen-empty;
//   bit 3: the other side's bishop, rook, queen or king, hidden or seen-empty.
inline void make_frame(const FrameSource& src, Frame& out) noexcept {
    using chess::Bitboard;
    const std::size_t us = chess::index(src.us);
    const Bitboard seen = src.seen;
    const Bitboard own = src.colors[us] & seen, other = src.colors[1 - us] & seen;
    const auto kind = [&](chess::Piece p) { return src.pieces[chess::index(p)]; };
    const Bitboard pawns = kind(chess::Piece::Pawn), knights = kind(chess::Piece::Knight);
    const Bitboard bishops = kind(chess::Piece::Bishop), rooks = kind(chess::Piece::Rook);
    const Bitboard queens = kind(chess::Piece::Queen), kings = kind(chess::Piece::King);
    const Bitboard blank = seen & ~(src.colors[0] | src.colors[1]);  // seen, empty
    const Bitboard hidden = ~seen;
    Bitboard bits[4] = {
        ((knights | rooks | kings) & (own | other)) | blank,
        ((bishops | rooks) & own) | ((pawns | knights | queens | kings) & other),
        ((queens | kings) & own) | ((pawns | knights) & other) | hidden | blank,
        ((bishops | rooks | queens | kings) & other) | hidden | blank,
    };
    // A Black observer's rows run from rank 8 down, each rank keeping its files in order.
    if (src.us == chess::Color::Black)
        for (Bitboard& b : bits) b = __builtin_bswap64(b);
    for (unsigned rank = 0; rank < 8; ++rank) {
        const unsigned shift = 8 * rank;
        const std::uint64_t codes = detail::SPREAD[(bits[0] >> shift) & 0xFF] |
                                    detail::SPREAD[(bits[1] >> shift) & 0xFF] << 1 |
                                    detail::SPREAD[(bits[2] >> shift) & 0xFF] << 2 |
                                    detail::SPREAD[(bits[3] >> shift) & 0xFF] << 3;
        std::memcpy(out.data() + 8 * rank, &codes, sizeof codes);
    }
}

// The frame of `board` as its side to move sees it, given the squares it sees.
inline void make_frame(const chess::Board& b, chess::Bitboard seen, Frame& out) noexcept {
    make_frame(FrameSource(b, seen), out);
}

inline void make_frame(const chess::Board& b, Frame& out) noexcept { make_frame(b, visible_squares(b), out); }

// The rows each code expands to, padded to 16 elements so that a row of a frame is one
// fixed-size copy; the three elements past the 13 channels are zero.
template <class T>
struct CodeRows {
    alignas(64) T rows[FRAME_CODES][16];
    constexpr CodeRows() : rows{} {
        for (std::size_t c = 0; c < PLANE_CHANNELS; ++c) rows[c][c] = T(1);
    }
};
template <class T>
inline constexpr CodeRows<T> CODE_ROWS{};

// Writes the 64 x 106 observation: frames[0] (oldest) .. frames[7] (newest), then the side to
// move's castling flags in rows 0 (king side) and 1 (queen side), both flag columns.
template <class T>
inline void write_observation(const std::uint8_t* const frames[HISTORY_LEN], bool king_side, bool queen_side,
                              T* out) noexcept {
    for (std::size_t r = 0; r < OBS_ROWS; ++r, out += OBS_COLS) {
        // Each 16-element copy spills three zeros into the next frame's columns, which that
        // frame's copy then overwrites; the newest frame copies exactly its 13.
        for (std::size_t k = 0; k + 1 < HISTORY_LEN; ++k)
            std::memcpy(out + k * PLANE_CHANNELS, CODE_ROWS<T>.rows[frames[k][r]], 16 * sizeof(T));
        std::memcpy(out + (HISTORY_LEN - 1) * PLANE_CHANNELS, CODE_ROWS<T>.rows[frames[HISTORY_LEN - 1][r]],
                    PLANE_CHANNELS * sizeof(T));
        const T flag = r == 0 ? T(king_side) : r == 1 ? T(queen_side) : T(0);
        out[OBS_COLS - 2] = flag;
        out[OBS_COLS - 1] = flag;
    }
}

// The 13 channel bitboards of a frame: bit r of word c is 1 where row r holds channel c.
inline void pack_frame(const Frame& f, std::uint64_t out[PLANE_CHANNELS]) noexcept {
    for (std::size_t c = 0; c < PLANE_CHANNELS; ++c) out[c] = 0;
    for (std::size_t r = 0; r < 64; ++r)
        if (f[r] < PLANE_CHANNELS) out[f[r]] |= std::uint64_t{1} << r;
}

// write_observation for bytes, with 32-byte shuffles where the CPU has AVX2 (checked once at
// load) and the row copies above where it has not. The batch's uint8 observation takes this.
void write_observation_bytes(const std::uint8_t* const frames[HISTORY_LEN], bool king_side, bool queen_side,
                             std::uint8_t* out) noexcept;

namespace detail {
// The AVX2 writer on its own, for tests that hold it against the row copies; it may only run
// where avx2_writer_available() is true.
bool avx2_writer_available();
void write_observation_avx2(const std::uint8_t* const frames[HISTORY_LEN], bool king_side, bool queen_side,
                            std::uint8_t* out);
}  // namespace detail

}  // namespace quellor

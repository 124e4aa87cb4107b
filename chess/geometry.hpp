// Leaper, ray, line and mask tables, computed at compile time from their geometric rules,
// and the plain ray walk that defines what a sliding piece attacks.
#pragma once

#include <array>
#include <cstdint>

#include "bitboard.hpp"
#include "color.hpp"

namespace chess {

using SquareTable = std::array<Bitboard, 64>;
using ColorSquareTable = std::array<SquareTable, 2>;
using SquarePairTable = std::array<SquareTable, 64>;

namespace detail {

constexpr bool on_board(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

constexpr Bitboard bb_at(int file, int rank) { return on_board(file, rank) ? square_bb(rank * 8 + file) : 0; }

template <std::size_t N>
constexpr SquareTable leaper_table(const int (&offsets)[N][2]) {
    SquareTable t{};
    for (int sq = 0; sq < 64; ++sq)
        for (const auto& o : offsets) t[sq] |= bb_at(sq % 8 + o[0], sq / 8 + o[1]);
    return t;
}

constexpr int KNIGHT_STEPS[8][2] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};
constexpr int KING_STEPS[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
constexpr int ORTHOGONAL_DIRS[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
constexpr int DIAGONAL_DIRS[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};

// Squares reached from `sq` along the four directions, each walk stopping on (and including)
// the first square in `occupancy`. `sq` itself never takes part.
constexpr Bitboard walk(unsigned sq, Bitboard occupancy, const int (&dirs)[4][2]) {
    Bitboard result = 0;
    for (const auto& d : dirs) {
        int f = static_cast<int>(sq % 8) + d[0];
        int r = static_cast<int>(sq / 8) + d[1];
        for (; on_board(f, r); f += d[0], r += d[1]) {
            const Bitboard b = bb_at(f, r);
            result |= b;
            if (occupancy & b) break;
        }
    }
    return result;
}

// The rays without the last square of each direction: the squares whose occupancy matters.
constexpr Bitboard relevant(unsigned sq, const int (&dirs)[4][2]) {
    Bitboard result = 0;
    for (const auto& d : dirs) {
        int f = static_cast<int>(sq % 8) + d[0];
        int r = static_cast<int>(sq / 8) + d[1];
        for (; on_board(f + d[0], r + d[1]); f += d[0], r += d[1]) result |= bb_at(f, r);
    }
    return result;
}

constexpr ColorSquareTable pawn_captures() {
    ColorSquareTable t{};
    for (int sq = 0; sq < 64; ++sq) {
        const int f = sq % 8, r = sq / 8;
        t[0][sq] = bb_at(f - 1, r + 1) | bb_at(f + 1, r + 1);
        t[1][sq] = bb_at(f - 1, r - 1) | bb_at(f + 1, r - 1);
    }
    return t;
}

constexpr ColorSquareTable pawn_pushes() {
    ColorSquareTable t{};
    for (int sq = 0; sq < 64; ++sq) {
        const int f = sq % 8, r = sq / 8;
        t[0][sq] = bb_at(f, r + 1) | (r == 1 ? bb_at(f, r + 2) : 0);
        t[1][sq] = bb_at(f, r - 1) | (r == 6 ? bb_at(f, r - 2) : 0);
    }
    return t;
}

constexpr SquareTable rays(const int (&dirs)[4][2]) {
    SquareTable t{};
    for (unsigned sq = 0; sq < 64; ++sq) t[sq] = walk(sq, 0, dirs);
    return t;
}

// Direction (df, dr) from a to b when they share a rank, file or diagonal; (0, 0) otherwise.
constexpr void direction(int a, int b, int& df, int& dr) {
    const int fa = a % 8, ra = a / 8, fb = b % 8, rb = b / 8;
    df = dr = 0;
    if (a == b) return;
    const int sf = (fb > fa) - (fb < fa), sr = (rb > ra) - (rb < ra);
    if (fa == fb || ra == rb || fb - fa == rb - ra || fb - fa == ra - rb) {
        df = sf;
        dr = sr;
    }
}

constexpr SquarePairTable squares_between() {
    SquarePairTable t{};
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b) {
            int df = 0, dr = 0;
            direction(a, b, df, dr);
            if (df == 0 && dr == 0) continue;
            for (int f = a % 8 + df, r = a / 8 + dr; r * 8 + f != b; f += df, r += dr) t[a][b] |= bb_at(f, r);
        }
    return t;
}

constexpr SquarePairTable line_through() {
    SquarePairTable t{};
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b) {
            int df = 0, dr = 0;
            direction(a, b, df, dr);
            if (df == 0 && dr == 0) continue;
            Bitboard line = square_bb(a);
            for (int s : {1, -1})
                for (int f = a % 8 + s * df, r = a / 8 + s * dr; on_board(f, r); f += s * df, r += s * dr)
                    line |= bb_at(f, r);
            t[a][b] = line;
        }
    return t;
}

constexpr std::array<Bitboard, 8> rank_masks() {
    std::array<Bitboard, 8> t{};
    for (int r = 0; r < 8; ++r) t[r] = Bitboard{0xFF} << (8 * r);
    return t;
}

constexpr std::array<Bitboard, 8> neighbour_files() {
    constexpr Bitboard FILE_A = 0x0101010101010101ULL;
    std::array<Bitboard, 8> t{};
    for (int f = 0; f < 8; ++f) t[f] = (f > 0 ? FILE_A << (f - 1) : 0) | (f < 7 ? FILE_A << (f + 1) : 0);
    return t;
}

}  // namespace detail

inline constexpr SquareTable KNIGHT_TARGETS = detail::leaper_table(detail::KNIGHT_STEPS);
inline constexpr SquareTable KING_TARGETS = detail::leaper_table(detail::KING_STEPS);
// [colour][square]: the squares one rank ahead and one file aside; no occupancy applied.
inline constexpr ColorSquareTable PAWN_CAPTURE_TARGETS = detail::pawn_captures();
// [colour][square]: one step ahead, plus two from the pawn's start rank, on an empty board.
inline constexpr ColorSquareTable PAWN_PUSH_TARGETS = detail::pawn_pushes();
inline constexpr SquareTable ORTHOGONAL_RAYS = detail::rays(detail::ORTHOGONAL_DIRS);
inline constexpr SquareTable DIAGONAL_RAYS = detail::rays(detail::DIAGONAL_DIRS);
// [a][b]: the squares strictly between a and b on a shared line; empty when there is none.
inline constexpr SquarePairTable SQUARES_BETWEEN = detail::squares_between();
// [a][b]: the whole edge-to-edge line through a and b; empty when there is none or a == b.
inline constexpr SquarePairTable LINE_THROUGH = detail::line_through();
inline constexpr std::array<Bitboard, 8> RANK_MASKS = detail::rank_masks();
inline constexpr std::array<Bitboard, 8> NEIGHBOUR_FILES = detail::neighbour_files();
// [colour]: squares that must be empty to castle.
inline constexpr std::array<Bitboard, 2> CASTLE_PATH_KINGSIDE = {0x60ULL, 0x6000000000000000ULL};
inline constexpr std::array<Bitboard, 2> CASTLE_PATH_QUEENSIDE = {0x0EULL, 0x0E00000000000000ULL};

// Reference attack sets, by walking the rays; the table lookups must agree with these.
constexpr Bitboard walk_rook_attacks(unsigned sq, Bitboard occupancy) {
    return detail::walk(sq, occupancy, detail::ORTHOGONAL_DIRS);
}
constexpr Bitboard walk_bishop_attacks(unsigned sq, Bitboard occupancy) {
    return detail::walk(sq, occupancy, detail::DIAGONAL_DIRS);
}
constexpr Bitboard rook_relevant_mask(unsigned sq) { return detail::relevant(sq, detail::ORTHOGONAL_DIRS); }
constexpr Bitboard bishop_relevant_mask(unsigned sq) { return detail::relevant(sq, detail::DIAGONAL_DIRS); }

}  // namespace chess

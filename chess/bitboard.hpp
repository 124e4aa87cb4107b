// Bitboards: a 64-bit mask with bit i standing for square i (a1 = 0, h1 = 7, h8 = 63).
//
//   bit:  56 57 58 59 60 61 62 63    rank 8
//         ...
//          8  9 10 11 12 13 14 15    rank 2
//          0  1  2  3  4  5  6  7    rank 1
//          a  b  c  d  e  f  g  h
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>

namespace chess {

using Bitboard = std::uint64_t;

constexpr Bitboard EMPTY_BB = 0;

constexpr Bitboard square_bb(unsigned sq) {
    assert(sq < 64);
    return Bitboard{1} << sq;
}

constexpr int popcount(Bitboard b) { return std::popcount(b); }

// Index of the lowest set bit. Callers must not pass an empty set: 64 is no square.
constexpr unsigned lsb(Bitboard b) {
    assert(b != 0);
    return static_cast<unsigned>(std::countr_zero(b));
}

// Removes the lowest set bit of `b` and returns its index.
constexpr unsigned pop_lsb(Bitboard& b) {
    const unsigned sq = lsb(b);
    b &= b - 1;
    return sq;
}

constexpr bool more_than_one(Bitboard b) { return (b & (b - 1)) != 0; }

constexpr bool contains(Bitboard b, unsigned sq) { return (b >> sq) & 1; }

}  // namespace chess

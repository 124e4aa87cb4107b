#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>

#include "bitboard.hpp"
#include "error.hpp"

namespace chess {

// A square index 0..63: rank * 8 + file, a1 = 0, h1 = 7, a8 = 56, h8 = 63.
// Converts implicitly to its index so that it can subscript the tables.
class Square {
public:
    constexpr Square() = default;
    constexpr explicit Square(unsigned index) : index_(static_cast<std::uint8_t>(index)) { assert(index < 64); }

    static constexpr Square at(unsigned file, unsigned rank) { return Square(rank * 8 + file); }

    // Reads the first two bytes as file letter a..h and rank digit 1..8; later bytes are ignored.
    static Result<Square> from_str(std::string_view text);

    constexpr std::uint8_t index() const { return index_; }
    constexpr operator std::uint8_t() const { return index_; }
    constexpr unsigned file() const { return index_ & 7; }
    constexpr unsigned rank() const { return index_ >> 3; }
    constexpr Bitboard bb() const { return square_bb(index_); }
    // The same file on the mirrored rank (a1 <-> a8).
    constexpr Square flipped() const { return Square(index_ ^ 56u); }

    // Writes the two-character text form at `out`.
    constexpr void write(char* out) const {
        out[0] = static_cast<char>('a' + file());
        out[1] = static_cast<char>('1' + rank());
    }
    std::string to_string() const {
        std::string s(2, ' ');
        write(s.data());
        return s;
    }

private:
    std::uint8_t index_ = 0;
};

}  // namespace chess

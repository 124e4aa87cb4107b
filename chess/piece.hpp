#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace chess {

// The order indexes `Board::piece_masks` and every table keyed by kind.
enum class Piece : std::uint8_t { Pawn = 0, Knight = 1, Bishop = 2, Rook = 3, Queen = 4, King = 5 };

constexpr std::size_t PIECE_KINDS = 6;

constexpr std::size_t index(Piece p) { return static_cast<std::size_t>(p); }

constexpr Piece piece_from_index(std::size_t i) { return static_cast<Piece>(i); }

// Lower-case letter used in move text, whatever the colour.
constexpr char piece_letter(Piece p) { return "pnbrqk"[index(p)]; }

// Name used in user-facing messages.
constexpr std::string_view piece_name(Piece p) {
    constexpr std::string_view NAMES[PIECE_KINDS] = {"Pawn", "Knight", "Bishop", "Rook", "Queen", "King"};
    return NAMES[index(p)];
}

// Kind of a FEN placement letter, of either case; empty for anything else.
constexpr std::optional<Piece> piece_from_letter(char c) {
    switch (c | 0x20) {
        case 'p': return Piece::Pawn;
        case 'n': return Piece::Knight;
        case 'b': return Piece::Bishop;
        case 'r': return Piece::Rook;
        case 'q': return Piece::Queen;
        case 'k': return Piece::King;
        default: return std::nullopt;
    }
}

}  // namespace chess

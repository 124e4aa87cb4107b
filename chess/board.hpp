#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bitboard.hpp"
#include "board_builder.hpp"
#include "castle_rights.hpp"
#include "color.hpp"
#include "error.hpp"
#include "piece.hpp"
#include "splitmix.hpp"
#include "square.hpp"

namespace chess {

namespace detail {
constexpr std::array<std::array<std::array<std::uint64_t, 64>, PIECE_KINDS>, 2> make_piece_keys() {
    std::array<std::array<std::array<std::uint64_t, 64>, PIECE_KINDS>, 2> keys{};
    std::uint64_t state = 0x71E11A5C0DEULL;
    for (auto& by_kind : keys)
        for (auto& by_square : by_kind)
            for (auto& key : by_square) key = splitmix64_next(state);
    return keys;
}
}  // namespace detail

// [colour][kind][square]: the hash of a position is the XOR of the keys of its pieces.
inline constexpr auto PIECE_KEYS = detail::make_piece_keys();

constexpr std::uint64_t piece_key(Color c, Piece p, unsigned sq) { return PIECE_KEYS[index(c)][index(p)][sq]; }

// A position. A plain value, copied whole: making a move returns a new Board.
//
// Invariants: the piece masks are pairwise disjoint, the colour masks are disjoint, and both
// unions equal `occupied`. `pinned` and `checkers` are those of the current side to move, and
// `hash` is the XOR of PIECE_KEYS over the pieces on the board.
struct Board {
    std::array<Bitboard, PIECE_KINDS> piece_masks{};
    std::array<Bitboard, 2> color_masks{};
    Bitboard occupied = 0;
    // Every piece, of either colour, standing alone between the side to move's king and an
    // enemy slider that would attack the king along that line.
    Bitboard pinned = 0;
    // The enemy pieces attacking the side to move's king.
    Bitboard checkers = 0;
    std::uint64_t hash = 0;
    std::array<CastleRights, 2> castle_rights{};
    // The pawn that has just made a double step, on its own square (not the square FEN names),
    // present only while the side to move has a pawn beside it.
    std::optional<Square> ep_square;
    Color side_to_move = Color::White;

    // Builds and validates the position a builder describes: InvalidBoard when it fails is_sane.
    static Result<Board> try_from(const BoardBuilder& builder);
    // BoardBuilder::from_str, then try_from; the first error is returned unchanged.
    static Result<Board> from_str(std::string_view fen);
    // The position as FEN text that from_str reads back into this board. The halfmove clock is
    // not kept and is written 0; the fullmove number is the caller's.
    std::string to_fen(std::uint64_t fullmove = 1) const;

    Bitboard pieces(Piece p) const { return piece_masks[index(p)]; }
    Bitboard pieces(Color c) const { return color_masks[index(c)]; }
    Bitboard pieces(Color c, Piece p) const { return piece_masks[index(p)] & color_masks[index(c)]; }

    std::optional<Piece> piece_at(Square sq) const {
        if (!contains(occupied, sq)) return std::nullopt;
        for (std::size_t k = 0; k < PIECE_KINDS; ++k)
            if (contains(piece_masks[k], sq)) return piece_from_index(k);
        return std::nullopt;
    }
    std::optional<Color> color_at(Square sq) const {
        if (contains(color_masks[0], sq)) return Color::White;
        if (contains(color_masks[1], sq)) return Color::Black;
        return std::nullopt;
    }
    // The lowest square holding a king of colour c; empty once that king has been captured.
    std::optional<Square> king_square(Color c) const {
        const Bitboard kings = pieces(c, Piece::King);
        if (!kings) return std::nullopt;
        return Square(lsb(kings));
    }

    friend bool operator==(const Board&, const Board&) = default;
};

// Recomputes `pinned` and `checkers` for the side to move; both stay empty when it has no king.
void update_pin_info(Board& board);

// The position checks every Board read from text must pass, in this order: disjoint piece
// masks, disjoint colour masks, occupied equals the union, one king each, the ep pawn belongs to
// the side not to move, the side not to move is not in check, castling rights match kings and
// rooks on their home squares, kings not adjacent.
bool is_sane(const Board& board);

// The hash of the board's placement, computed from scratch.
std::uint64_t compute_hash(const Board& board);

}  // namespace chess

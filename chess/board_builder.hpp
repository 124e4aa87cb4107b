#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "castle_rights.hpp"
#include "color.hpp"
#include "error.hpp"
#include "piece.hpp"

namespace chess {

struct PlacedPiece {
    Piece kind;
    Color color;
};

// A position as FEN text describes it, before any validation.
struct BoardBuilder {
    std::array<std::optional<PlacedPiece>, 64> squares{};
    Color side_to_move = Color::White;
    std::array<CastleRights, 2> castle_rights{};
    std::optional<unsigned> ep_file;  // 0..7

    // Reads the first four space-separated fields of a FEN text; the move clocks are not read.
    // Returns InvalidFen, carrying the whole text, for too few fields, a character outside the
    // placement alphabet or a bad side-to-move field. Castling letters other than KQkq and an
    // unreadable en-passant field are ignored.
    static Result<BoardBuilder> from_str(std::string_view text);
};

}  // namespace chess

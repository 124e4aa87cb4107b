#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "piece.hpp"
#include "square.hpp"

namespace chess {

// One move as the engine sees it. Castling is the king's two-file move and en passant the
// pawn's diagonal step; move making recognises both from the position.
struct ChessMove {
    Square from_square;
    Square to_square;
    std::optional<Piece> promotion;

    // Longest UCI text a move writes: from, to and a promotion letter.
    static constexpr std::size_t MAX_UCI_LEN = 5;

    // Reads UCI text byte by byte: squares from bytes 0-1 and 2-3 (their InvalidSquare is
    // returned unchanged), a promotion letter q/r/b/n as byte 4 of a five-byte text. Texts of
    // six bytes or more ignore everything from byte 4 on. No position is consulted.
    static Result<ChessMove> from_str(std::string_view text);

    // Writes the UCI text at `out` (room for MAX_UCI_LEN) and returns its length.
    std::size_t write_uci(char* out) const {
        from_square.write(out);
        to_square.write(out + 2);
        if (!promotion) return 4;
        out[4] = piece_letter(*promotion);
        return 5;
    }
    std::string uci() const {
        char buf[MAX_UCI_LEN];
        return std::string(buf, write_uci(buf));
    }

    friend bool operator==(const ChessMove&, const ChessMove&) = default;
};

}  // namespace chess

// One game of fog-of-war chess as a trainer holds it: the position and what the players saw.
// Plain C++ values in and out; the binding layer is the only code that touches Python.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "chess/board.hpp"
#include "chess/chess_move.hpp"
#include "chess/movegen/movegen.hpp"
#include "action_slots.hpp"
#include "history.hpp"

namespace quellor {

inline constexpr std::string_view START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// The observation handed to the learner: 64 rows of 8 frames x 13 channels and 2 castling flags.
inline constexpr std::size_t OBS_ROWS = 64;
inline constexpr std::size_t OBS_COLS = HISTORY_LEN * PLANE_CHANNELS + 2;  // 106
using Observation = std::array<float, OBS_ROWS * OBS_COLS>;

// Squares the side to move sees: those its pieces stand on, attack, or (for a pawn) could step
// onto. Sliders stop at the first piece of either colour.
chess::Bitboard visible_squares(const chess::Board& board);
// The squares `side` sees, whichever side is to move: a belief asks what a side sees right
// after its own move, when the other side is to move.
chess::Bitboard visible_squares(const chess::Board& board, chess::Color side);

// The same squares, read off the summary of the pseudo-legal moves just generated for
// `board`: a knight's or slider's destinations are what it attacks less its own side's
// squares, which are seen anyway, and a pawn's lie within what it sees, so only pawns and the
// king are looked at again. Saves the slider lookups of a second pass on every ply of
// fog-of-war play.
chess::Bitboard visible_squares(const chess::Board& board, const chess::MoveGen::Summary& pseudo_legal);

// Writes the fog-of-war plane of `board` as its side to move sees it. Rows are squares seen from
// that side (rank-mirrored for Black); channels 0-5 own pieces, 6-11 enemy pieces, 12 hidden.
void write_plane(const chess::Board& board, Plane& plane) noexcept;

struct SelfPlayGame {
    chess::Board board;
    History history;

    // Appends the plane of the current position, seen by the side to move.
    void save_history_state() {
        history.append([this](Plane& p) { write_plane(board, p); });
    }

    bool is_terminal() const {
        return !board.pieces(chess::Color::White, chess::Piece::King) ||
               !board.pieces(chess::Color::Black, chess::Piece::King);
    }

    // +1 when `player` has won, -1 when it has lost, 0 while both kings stand. With both kings
    // gone White's loss is read first.
    double terminal_value(bool player_is_white) const;

    // (king side, queen side) rights of the side to move, as recorded, not whether castling is
    // possible now.
    std::pair<bool, bool> castle_eligible() const {
        const chess::CastleRights r = board.castle_rights[chess::index(board.side_to_move)];
        return {r.king_side(), r.queen_side()};
    }

    // The learner's input: the last eight planes (the oldest repeated in front while fewer are
    // held), interleaved by row, then the side to move's castling flags in rows 0 and 1.
    void encode(Observation& out) const noexcept;

    // Piece codes from rank 8 down to rank 1, files a to h: kind + 1, negative for Black.
    std::array<std::array<std::int8_t, 8>, 8> board_view() const noexcept;
};

}  // namespace quellor

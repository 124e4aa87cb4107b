// Shared helpers for the move generation and move making tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chess/board.hpp"
#include "chess/chess_move.hpp"
#include "chess/geometry.hpp"
#include "chess/make_move.hpp"
#include "chess/movegen/movegen.hpp"

namespace test_helpers {

inline constexpr const char* START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

inline chess::Board board_from(const char* fen) {
    const auto b = chess::Board::from_str(fen);
    if (!b) ADD_FAILURE() << "position rejected: " << fen;
    return b ? *b : chess::Board{};
}

inline chess::ChessMove move_from(const char* uci) {
    const auto m = chess::ChessMove::from_str(uci);
    if (!m) ADD_FAILURE() << "bad move text: " << uci;
    return m ? *m : chess::ChessMove{};
}

inline chess::Square square(const char* name) { return *chess::Square::from_str(name); }

inline chess::Bitboard squares(std::initializer_list<const char*> names) {
    chess::Bitboard b = 0;
    for (const char* n : names) b |= square(n).bb();
    return b;
}

// The generator's moves as UCI text, in the order it hands them out.
inline std::vector<std::string> legal_uci(const chess::Board& b) {
    std::vector<std::string> out;
    auto gen = chess::MoveGen::generate(b);
    while (const auto m = gen.next()) out.push_back(m->uci());
    return out;
}

// Plays a sequence of moves with play_move, failing the test on any refusal.
inline chess::Board play_all(chess::Board b, std::initializer_list<const char*> moves) {
    for (const char* text : moves) {
        const auto next = chess::play_move(b, move_from(text));
        if (!next) {
            ADD_FAILURE() << "refused " << text << ": " << chess::describe(next.error());
            return b;
        }
        b = *next;
    }
    return b;
}

// The invariants move making must keep on every board, legal play or not: masks consistent,
// hash, checkers and pins as a computation from scratch gives them, and an en-passant pawn
// that the side to move can really take.
inline ::testing::AssertionResult consistent(const chess::Board& b) {
    using namespace chess;
    Bitboard seen = 0;
    for (const Bitboard m : b.piece_masks) {
        if (seen & m) return ::testing::AssertionFailure() << "piece masks overlap";
        seen |= m;
    }
    if (b.color_masks[0] & b.color_masks[1]) return ::testing::AssertionFailure() << "colour masks overlap";
    if (seen != b.occupied || (b.color_masks[0] | b.color_masks[1]) != b.occupied)
        return ::testing::AssertionFailure() << "occupied differs from the unions";
    if (b.hash != compute_hash(b)) return ::testing::AssertionFailure() << "stale hash";
    Board fresh = b;
    update_pin_info(fresh);
    if (fresh.checkers != b.checkers) return ::testing::AssertionFailure() << "stale checkers " << b.checkers << " vs " << fresh.checkers;
    if (fresh.pinned != b.pinned) return ::testing::AssertionFailure() << "stale pinned " << b.pinned << " vs " << fresh.pinned;
    if (b.ep_square) {
        const Square e = *b.ep_square;
        const unsigned behind = b.side_to_move == Color::White ? e + 8 : e - 8;
        if (!contains(b.pieces(~b.side_to_move, Piece::Pawn), e)) return ::testing::AssertionFailure() << "ep square holds no enemy pawn";
        if (!(b.pieces(b.side_to_move, Piece::Pawn) & RANK_MASKS[e.rank()] & NEIGHBOUR_FILES[e.file()]))
            return ::testing::AssertionFailure() << "ep pawn has no capturer beside it";
        if (contains(b.occupied, behind)) return ::testing::AssertionFailure() << "ep landing square occupied";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace test_helpers

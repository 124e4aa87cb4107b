// Sequences of move making and generation from fuzzed positions and moves. The input picks a
// starting position (one of a few rich ones, or FEN text up to the first newline), then steps:
// one of the listed legal moves, one of the pseudo-legal moves of the fog-of-war rules, or a
// move of any squares and promotion letter, which the board plays or refuses. After every step
// the board keeps its invariants and its moves of both kinds can all be listed and played; at
// the end its views stay in bounds.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"

namespace {

constexpr std::string_view STARTS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "r3k2r/8/8/2pPp3/8/8/8/R3K2R w KQkq c6 0 1",
    "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1",
};

// Whether play_move's refusal (or acceptance) of a move of any squares is the right one.
void check_refusal(const chess::Board& b, const chess::ChessMove& m, const chess::Result<chess::Board, chess::MoveFault>& r) {
    using chess::MoveFault;
    const chess::Color us = b.side_to_move;
    const unsigned from = m.from_square, to = m.to_square;
    std::optional<MoveFault> expected;
    if (!chess::contains(b.occupied, from)) expected = MoveFault::EmptyFromSquare;
    else if (!chess::contains(b.pieces(us), from)) expected = MoveFault::NotSideToMove;
    else if (chess::contains(b.pieces(us), to)) expected = MoveFault::OwnPieceOnTarget;
    else if (b.piece_at(m.from_square) == chess::Piece::King && chess::is_castling_king_move(m.from_square, m.to_square)) {
        const unsigned back = us == chess::Color::White ? 0 : 56;
        const bool king_side = (to & 7) >= 4;
        if (!chess::contains(b.pieces(us, chess::Piece::Rook), back + (king_side ? 7 : 0)))
            expected = MoveFault::CastlingRookMissing;
        else if (chess::contains(b.occupied, back + (king_side ? 5 : 3)))
            expected = MoveFault::CastlingRookBlocked;
    }
    fuzz::require(r.ok() == !expected, "a move refused or played against the refusal rules");
    if (expected) fuzz::require(r.error() == *expected, "the wrong refusal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t at = 1;
    std::string_view fen;
    if (data[0] < 0x80) {
        fen = STARTS[data[0] % std::size(STARTS)];
    } else {
        while (at < size && data[at] != '\n') ++at;
        fen = std::string_view(reinterpret_cast<const char*>(data + 1), at - 1);
        ++at;
    }
    const auto parsed = chess::Board::from_str(fen);
    if (!parsed) return 0;
    chess::Board board = *parsed;
    fuzz::check_board(board);

    const auto byte = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    for (int step = 0; step < 32 && at < size; ++step) {
        const std::uint8_t op = byte();
        auto gen = op % 4 == 3 ? chess::MoveGen::generate_pseudo_legal(board) : chess::MoveGen::generate(board);
        const std::size_t count = gen.len();
        if (op % 4 != 0 && count > 0) {
            const std::size_t pick = byte() % count;
            for (std::size_t i = 0; i < pick; ++i) gen.next();
            const auto move = gen.next();
            fuzz::require(move.has_value(), "fewer moves than len() said");
            const auto next = chess::play_move(board, *move);
            fuzz::require(next.ok(), "a generated move is refused");
            board = *next;
        } else {
            const unsigned from = byte() & 63u, to = byte() & 63u;
            constexpr chess::Piece PROMOTIONS[] = {chess::Piece::Queen, chess::Piece::Rook, chess::Piece::Bishop,
                                                   chess::Piece::Knight};
            const std::uint8_t p = byte() % 5;
            const chess::ChessMove move{chess::Square(from), chess::Square(to),
                                        p ? std::optional<chess::Piece>(PROMOTIONS[p - 1]) : std::nullopt};
            const auto next = chess::play_move(board, move);
            check_refusal(board, move, next);
            if (next.ok()) board = *next;
        }
        fuzz::check_board(board);
        fuzz::check_moves(board);
        fuzz::check_pseudo_legal_moves(board);
    }
    fuzz::check_views(board);
    return 0;
}

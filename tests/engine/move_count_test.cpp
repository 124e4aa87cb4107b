// MoveGen::count, perft's bulk count of the last ply, against the generator it shortens: both
// of its variants (portable and popcnt) must give the number of moves that generate() hands
// out, on every node of small trees from positions rich in promotions, en passant, castling,
// pins and checks. Each move of the trees is also played in place, which must give the board
// that playing it by copy gives.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "position_helpers.hpp"

using namespace chess;
using namespace test_helpers;

namespace {

const char* const FENS[] = {
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "8/PPP4k/8/8/8/8/4Kppp/8 w - - 0 1",
    "r3k2r/8/8/2pPp3/8/8/8/R3K2R w KQkq c6 0 1",
    "7k/8/8/NNNNNNNN/NNNNNNNN/8/NNNNNNNN/NNNNKNNN w - - 0 1",
};

// Checks every node down to `depth`; returns the number of nodes checked, 0 after a mismatch.
std::size_t check_tree(const Board& b, unsigned depth, std::string& path) {
    auto gen = MoveGen::generate(b);
    std::size_t handed_out = 0;
    for (auto copy = gen; copy.next();) ++handed_out;
    const std::size_t portable = detail::count_moves_portable(b);
    const std::size_t dispatched = MoveGen::count(b);
    if (portable != handed_out || dispatched != handed_out) {
        ADD_FAILURE() << "after" << path << ": " << handed_out << " moves, portable count " << portable
                      << ", count " << dispatched;
        return 0;
    }
    if (detail::popcnt_available() && detail::count_moves_popcnt(b) != handed_out) {
        ADD_FAILURE() << "after" << path << ": " << handed_out << " moves, popcnt count "
                      << detail::count_moves_popcnt(b);
        return 0;
    }
    std::size_t nodes = 1;
    if (depth == 0) return nodes;
    while (const auto m = gen.next()) {
        const std::size_t mark = path.size();
        path += ' ';
        path += m->uci();
        const Board after = play_move_unchecked(b, *m);
        Board in_place = b;
        apply_move_unchecked(in_place, *m);
        if (!(in_place == after)) {
            ADD_FAILURE() << "after" << path << ": the move played in place gives another board";
            return 0;
        }
        const std::size_t below = check_tree(after, depth - 1, path);
        if (below == 0) return 0;
        nodes += below;
        path.resize(mark);
    }
    return nodes;
}

}  // namespace

TEST(MoveCount, BothVariantsCountWhatTheGeneratorHandsOut) {
    if (!detail::popcnt_available()) std::printf("no popcnt on this CPU: the portable count alone is checked\n");
    for (const char* fen : FENS) {
        std::string path;
        EXPECT_GT(check_tree(board_from(fen), 2, path), 0u) << fen;
    }
}

TEST(MoveCount, SideWithoutAKingCountsNothing) {
    const Board b = play_all(board_from("4k3/4r3/8/8/8/8/P7/4K3 w - - 0 1"), {"a2a3", "e7e1"});
    EXPECT_EQ(detail::count_moves_portable(b), 0u);
    EXPECT_EQ(MoveGen::count(b), 0u);
    if (detail::popcnt_available()) {
        EXPECT_EQ(detail::count_moves_popcnt(b), 0u);
    }
}

TEST(MoveCount, NoMovesCountsNothing) {
    EXPECT_EQ(MoveGen::count(board_from("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1")), 0u);
    EXPECT_EQ(MoveGen::count(board_from("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3")), 0u);
}

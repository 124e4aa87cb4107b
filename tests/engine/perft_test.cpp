// Move generation and move making together, against the published perft counts of the six
// standard test positions, and with every board of smaller trees checked against a
// recomputation from scratch.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "position_helpers.hpp"

using namespace chess;
using namespace test_helpers;

namespace {

struct PerftCase {
    const char* name;
    const char* fen;
    std::vector<std::uint64_t> counts;  // depth 1, 2, ...
};

// Published counts (chessprogramming.org "Perft Results"), cut where the tree gets slow.
const PerftCase PERFT_CASES[] = {
    {"start", START_FEN, {20, 400, 8902, 197281, 4865609}},
    {"kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", {48, 2039, 97862, 4085603}},
    {"position 3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", {14, 191, 2812, 43238, 674624, 11030083}},
    {"position 4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", {6, 264, 9467, 422333, 15833292}},
    {"position 4 mirrored", "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1", {6, 264, 9467, 422333}},
    {"position 5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", {44, 1486, 62379, 2103487}},
    {"position 6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10", {46, 2079, 89890, 3894594}},
};

std::uint64_t perft(const Board& b, unsigned depth) {
    if (depth == 0) return 1;
    auto gen = MoveGen::generate(b);
    if (depth == 1) return gen.len();
    std::uint64_t nodes = 0;
    while (const auto m = gen.next()) nodes += perft(play_move_unchecked(b, *m), depth - 1);
    return nodes;
}

// Walks the tree to `depth`, checking at every node what the fast perft takes on trust:
// incremental fields equal recomputed ones, the position is sane (so no listed move left the
// mover's king attacked), the move count agrees with the moves handed out, and no move is
// listed twice or refused by the checked play_move. Returns false at the first fault.
bool walk_checked(const Board& b, unsigned depth, std::string& path) {
    if (!consistent(b) || !is_sane(b)) {
        ADD_FAILURE() << "after" << path << ": " << consistent(b).message() << " sane=" << is_sane(b);
        return false;
    }
    if (depth == 0) return true;
    auto gen = MoveGen::generate(b);
    const std::size_t announced = gen.len();
    std::set<std::string> seen;
    while (const auto m = gen.next()) {
        if (!seen.insert(m->uci()).second) {
            ADD_FAILURE() << "after" << path << ": " << m->uci() << " listed twice";
            return false;
        }
        const auto next = play_move(b, *m);
        if (!next) {
            ADD_FAILURE() << "after" << path << ": generated " << m->uci() << " refused: " << describe(next.error());
            return false;
        }
        const std::size_t mark = path.size();
        path += ' ';
        path += m->uci();
        if (!walk_checked(*next, depth - 1, path)) return false;
        path.resize(mark);
    }
    if (seen.size() != announced) {
        ADD_FAILURE() << "after" << path << ": len() " << announced << " but " << seen.size() << " moves";
        return false;
    }
    return true;
}

// Calls visit(board) at every node of the tree to `depth`, the root included.
template <class Visit>
void each_node(const Board& b, unsigned depth, Visit&& visit) {
    visit(b);
    if (depth == 0) return;
    auto gen = MoveGen::generate(b);
    while (const auto m = gen.next()) each_node(play_move_unchecked(b, *m), depth - 1, visit);
}

// The first four fields of a FEN text: the ones a Board keeps.
std::string board_fields(const std::string& fen) {
    std::size_t end = 0;
    for (int field = 0; field < 4; ++field) end = fen.find(' ', end) + 1;
    return fen.substr(0, end - 1);
}

}  // namespace

TEST(Fen, WrittenTextReadsBackAsTheSameBoard) {
    std::uint64_t nodes = 0, with_ep = 0, partial_rights = 0;
    for (const PerftCase& c : PERFT_CASES) {
        const Board root = board_from(c.fen);
        EXPECT_EQ(board_fields(root.to_fen(7)), board_fields(c.fen)) << c.name;
        EXPECT_EQ(root.to_fen(7).substr(root.to_fen(7).size() - 4), " 0 7") << c.name;
        each_node(root, 3, [&](const Board& b) {
            ++nodes;
            with_ep += b.ep_square.has_value();
            const unsigned rights = b.castle_rights[0].king_side() + b.castle_rights[0].queen_side() +
                                    b.castle_rights[1].king_side() + b.castle_rights[1].queen_side();
            partial_rights += rights > 0 && rights < 4;
            const std::string fen = b.to_fen();
            // The reader takes only the file of the en-passant square, so its rank is checked
            // here: the square the pawn passed over, rank 6 when White is to move, else rank 3.
            std::string ep = "-";
            if (b.ep_square) {
                ep.assign(1, char('a' + b.ep_square->file()));
                ep += b.side_to_move == Color::White ? '6' : '3';
            }
            ASSERT_EQ(board_fields(fen).substr(board_fields(fen).rfind(' ') + 1), ep) << c.name << ": " << fen;
            const auto read = Board::from_str(fen);
            ASSERT_TRUE(read.ok()) << c.name << ": " << fen;
            // Board's == compares every field: placement, side, rights, en passant, hash, pins.
            ASSERT_TRUE(*read == b) << c.name << ": " << fen;
        });
    }
    // The walks must have reached the fields that are easy to get wrong.
    EXPECT_GT(with_ep, 100u);
    EXPECT_GT(partial_rights, 1000u);
    EXPECT_GT(nodes, 100000u);
}

TEST(Perft, PublishedCounts) {
    for (const PerftCase& c : PERFT_CASES) {
        const Board b = board_from(c.fen);
        for (std::size_t d = 1; d <= c.counts.size(); ++d)
            EXPECT_EQ(perft(b, static_cast<unsigned>(d)), c.counts[d - 1]) << c.name << " depth " << d;
    }
}

TEST(Perft, EveryNodeMatchesARecomputation) {
    for (const PerftCase& c : PERFT_CASES) {
        std::string path;
        EXPECT_TRUE(walk_checked(board_from(c.fen), 3, path)) << c.name;
    }
}

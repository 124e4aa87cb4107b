// The legal move list and its order, which the trainer sees as its action order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "chess/movegen/piece_type.hpp"
#include "chess/splitmix.hpp"
#include "position_helpers.hpp"

using namespace chess;
using namespace test_helpers;

namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t space = text.find(' ', start);
        const std::size_t end = space == std::string::npos ? text.size() : space;
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

struct OrderCase {
    const char* name;
    const char* fen;
    const char* from;      // only moves from this square are compared; nullptr for all
    const char* expected;  // UCI moves in generation order
};

const OrderCase ORDER_CASES[] = {
    {"start position: pawns by square, single before double step, then knights", START_FEN, nullptr,
     "a2a3 a2a4 b2b3 b2b4 c2c3 c2c4 d2d3 d2d4 e2e3 e2e4 f2f3 f2f4 g2g3 g2g4 h2h3 h2h4 b1a3 b1c3 g1f3 g1h3"},
    {"promotions by destination square, then Queen Knight Rook Bishop", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7",
     "b7a8q b7a8n b7a8r b7a8b b7b8q b7b8n b7b8r b7b8b"},
    {"short castle among the king's steps by square", "4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1",
     "e1d1 e1f1 e1g1 e1d2 e1e2 e1f2"},
    {"no short castle across an attacked f1", "4kr2/8/8/8/8/8/8/4K2R w K - 0 1", "e1", "e1d1 e1d2 e1e2"},
    {"no short castle onto an attacked g1", "4k1r1/8/8/8/8/8/8/4K2R w K - 0 1", "e1",
     "e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"long castle with only b1 attacked", "1r2k3/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1",
     "e1c1 e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"no long castle across an attacked c1", "2r1k3/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1", "e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"no long castle across an attacked d1", "3rk3/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1", "e1f1 e1e2 e1f2"},
    {"no long castle with b1 occupied", "4k3/8/8/8/8/8/8/RN2K3 w Q - 0 1", "e1", "e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"without the right, no castle", "4k3/8/8/8/8/8/8/R3K2R w - - 0 1", "e1", "e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"black castles both ways", "r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1", "e8", "e8d7 e8e7 e8f7 e8c8 e8d8 e8f8 e8g8"},
    {"knight check: capture it or step away", "4k3/8/8/5B2/8/3n4/R7/4K3 w - - 0 1", nullptr,
     "f5d3 e1d1 e1f1 e1d2 e1e2"},
    {"en passant takes the pawn that gave check", "8/8/8/4k3/3Pp3/8/8/4K3 b - d3 0 1", nullptr,
     "e4d3 e5d4 e5f4 e5d5 e5f5 e5d6 e5e6 e5f6"},
    {"en passant lands on the checking line", "8/8/8/8/3Pp3/k6R/8/3K4 b - d3 0 1", nullptr,
     "e4e3 e4d3 a3a2 a3b2 a3a4 a3b4"},
    {"double check: only the king moves", "k7/8/4r3/8/8/3n3R/8/4K3 w - - 0 1", nullptr, "e1d1 e1f1 e1d2"},
    {"no step backwards along the checking file", "4k3/4r3/8/8/8/8/4K3/8 w - - 0 1", nullptr,
     "e2d1 e2f1 e2d2 e2f2 e2d3 e2f3"},
    {"unpinned pawns before pinned ones; a pinned pawn takes its pinner", "4k3/8/8/8/8/2b5/1P4P1/K7 w - - 0 1",
     nullptr, "g2g3 g2g4 b2c3 a1b1 a1a2"},
    {"a pinned rook stays on its file", "4k3/4r3/8/8/8/4R3/8/R3K3 w - - 0 1", "e3", "e3e2 e3e4 e3e5 e3e6 e3e7"},
    {"a pinned knight has no moves", "4k3/4r3/8/8/8/4N3/8/4K3 w - - 0 1", "e3", ""},
    {"a pawn's en-passant group follows its ordinary group", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", nullptr,
     "e5e6 e5d6 e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"en-passant groups after all pawns, lower capturer first", "4k3/8/8/2PpP3/8/8/8/4K3 w - d6 0 1", nullptr,
     "c5c6 e5e6 c5d6 e5d6 e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"stalemate lists nothing", "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", nullptr, ""},
    {"checkmate lists nothing", "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", nullptr, ""},
};

}  // namespace

TEST(MoveGen, OrderExamples) {
    for (const OrderCase& c : ORDER_CASES) {
        std::vector<std::string> moves = legal_uci(board_from(c.fen));
        if (c.from) {
            const std::string prefix = c.from;
            std::erase_if(moves, [&](const std::string& m) { return m.compare(0, 2, prefix) != 0; });
        }
        EXPECT_EQ(moves, split(c.expected)) << c.name;
    }
}

TEST(MoveGen, PresenceAndAbsence) {
    struct Case {
        const char* name;
        const char* fen;
        const char* listed;
        const char* not_listed;
    };
    const Case cases[] = {
        {"en passant would open the king's rank to a rook", "8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1", "b5b6", "b5c6"},
        {"the same en passant without the rook", "8/8/8/KPp5/8/8/8/4k3 w - c6 0 1", "b5b6 b5c6", ""},
        {"a diagonally pinned pawn may take its pinner but not push", "4k3/8/8/8/8/2b5/1P6/K7 w - - 0 1", "b2c3",
         "b2b3 b2b4"},
        {"a knight's check is not blocked", "4k3/8/8/8/8/3n4/2R5/4K3 w - - 0 1", "", "c2d2 c2e2 c2c1"},
        {"in check, a pinned piece may not capture the checker", "4k3/8/8/8/1b6/3n4/3R4/4K3 w - - 0 1", "e1e2",
         "d2d3"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> moves = legal_uci(board_from(c.fen));
        for (const std::string& m : split(c.listed))
            EXPECT_NE(std::find(moves.begin(), moves.end(), m), moves.end()) << c.name << ": " << m << " missing";
        for (const std::string& m : split(c.not_listed))
            EXPECT_EQ(std::find(moves.begin(), moves.end(), m), moves.end()) << c.name << ": " << m << " listed";
    }
}

TEST(MoveGen, LegalEpMoveTestsOnlySlidersThroughTheThreeChangedSquares) {
    const Board with_rook = board_from("8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1");
    const Board without_rook = board_from("8/8/8/KPp5/8/8/8/4k3 w - c6 0 1");
    EXPECT_FALSE(PawnType::legal_ep_move(with_rook, square("b5"), square("c6")));
    EXPECT_TRUE(PawnType::legal_ep_move(without_rook, square("b5"), square("c6")));
    // The taken pawn was all that shielded the king's diagonal.
    EXPECT_FALSE(PawnType::legal_ep_move(board_from("b3k3/8/8/3pP3/8/8/8/7K w - d6 0 1"), square("e5"), square("d6")));
    // A diagonally pinned capturer stays on its pin line, or leaves it.
    EXPECT_TRUE(PawnType::legal_ep_move(board_from("4k3/2b5/8/3pP3/8/6K1/8/8 w - d6 0 1"), square("e5"), square("d6")));
    EXPECT_FALSE(PawnType::legal_ep_move(board_from("4k3/6b1/8/3pP3/8/2K5/8/8 w - d6 0 1"), square("e5"), square("d6")));
}

TEST(MoveGen, LenCountsWhatNextHandsOut) {
    // Promotion groups count four per destination, also part-way through a destination.
    auto gen = MoveGen::generate(board_from("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1"));
    const std::size_t total = gen.len();
    EXPECT_EQ(total, 8u + 5u);  // b7 has a8 and b8 to promote on; e1 has five steps
    for (std::size_t taken = 1; taken <= total; ++taken) {
        ASSERT_TRUE(gen.next().has_value());
        EXPECT_EQ(gen.len(), total - taken);
    }
    EXPECT_FALSE(gen.next().has_value());
    EXPECT_FALSE(gen.next().has_value());
    EXPECT_EQ(gen.len(), 0u);
}

TEST(MoveGen, CollectFillsACallerBuffer) {
    const Board b = board_from("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    const std::vector<std::string> expected = legal_uci(b);
    auto gen = MoveGen::generate(b);
    std::array<ChessMove, 64> buffer{};
    const std::size_t first = gen.collect(buffer.data(), 10);
    ASSERT_EQ(first, 10u);
    const std::size_t rest = gen.collect(buffer.data() + first, buffer.size() - first);
    ASSERT_EQ(first + rest, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(buffer[i].uci(), expected[i]);
    EXPECT_EQ(gen.collect(buffer.data(), buffer.size()), 0u);
}

// 31 knights and a king: far more groups than a normal army could need. The counts are those
// Stockfish 15.1 gives for the same position.
TEST(MoveGen, ManyPiecesDoNotOverflowTheGroups) {
    const Board b = board_from("7k/8/8/NNNNNNNN/NNNNNNNN/8/NNNNNNNN/NNNNKNNN w - - 0 1");
    auto gen = MoveGen::generate(b);
    EXPECT_EQ(gen.group_count(), 31u);
    EXPECT_EQ(gen.len(), 90u);
    std::uint64_t leaves = 0;
    while (const auto m = gen.next()) {
        const Board after = play_move_unchecked(b, *m);
        auto replies = MoveGen::generate(after);
        while (const auto r = replies.next()) leaves += MoveGen::generate(play_move_unchecked(after, *r)).len();
    }
    EXPECT_EQ(leaves, 7552u);
}

TEST(MoveGen, SideWithoutAKingHasNoMoves) {
    // White leaves its king en prise and Black takes it.
    const Board b = play_all(board_from("4k3/4r3/8/8/8/8/P7/4K3 w - - 0 1"), {"a2a3", "e7e1"});
    ASSERT_EQ(b.pieces(Color::White, Piece::King), 0u);
    auto gen = MoveGen::generate(b);
    EXPECT_EQ(gen.len(), 0u);
    EXPECT_FALSE(gen.next().has_value());
}

TEST(MoveGen, KingDestinationSafeLooksThroughTheKing) {
    const Board b = board_from("4k3/4r3/8/8/8/8/4K3/8 w - - 0 1");
    const unsigned ksq = square("e2");
    EXPECT_FALSE(king_destination_safe(b, ksq, square("e1")));  // behind the king on the file
    EXPECT_FALSE(king_destination_safe(b, ksq, square("e3")));
    EXPECT_TRUE(king_destination_safe(b, ksq, square("d1")));
}

// The fog-of-war rules' moves: every move of every piece that keeps to its own rules, whatever
// happens to the mover's king.
struct PseudoCase {
    const char* name;
    const char* fen;
    const char* from;
    const char* expected;  // UCI moves in generation order
};

const PseudoCase PSEUDO_CASES[] = {
    {"the king may step onto attacked squares", "4k3/4r3/8/8/8/8/8/4K3 w - - 0 1", "e1", "e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"castling through and into attacked squares", "4kr2/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1",
     "e1c1 e1d1 e1f1 e1g1 e1d2 e1e2 e1f2"},
    {"castling still needs an empty path", "4k3/8/8/8/8/8/8/RN2K1NR w KQ - 0 1", "e1", "e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"a pinned knight moves", "4k3/8/8/b7/8/8/3N4/4K3 w - - 0 1", "d2", "d2b1 d2f1 d2b3 d2f3 d2c4 d2e4"},
    {"castling out of check", "4k3/8/8/8/8/8/8/R3K1r1 w Q - 0 1", "e1", "e1c1 e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"en passant along a pin to the king", "8/8/8/K1pP3r/8/8/8/7k w - c6 0 1", "d5", "d5d6 d5c6"},
    {"in double check every piece moves", "k7/8/4r3/8/8/3n3R/8/4K3 w - - 0 1", "h3",
     "h3h1 h3h2 h3d3 h3e3 h3f3 h3g3 h3h4 h3h5 h3h6 h3h7 h3h8"},
};

TEST(MoveGen, PseudoLegalExamples) {
    for (const auto& c : PSEUDO_CASES) {
        SCOPED_TRACE(c.name);
        const Board b = board_from(c.fen);
        auto gen = MoveGen::generate_pseudo_legal(b);
        std::vector<std::string> got;
        while (const auto m = gen.next())
            if (m->from_square == *Square::from_str(c.from)) got.push_back(m->uci());
        EXPECT_EQ(got, split(c.expected));
    }
}

// Legal moves are pseudo-legal moves in the same order, and the count agrees with the list.
TEST(MoveGen, LegalMovesArePseudoLegalMovesInOrder) {
    for (const char* fen : {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", "4k3/8/8/b7/8/8/3N4/4K3 w - - 0 1",
                            "k7/8/4r3/8/8/3n3R/8/4K3 w - - 0 1"}) {
        SCOPED_TRACE(fen);
        const Board b = board_from(fen);
        std::vector<std::string> pseudo, legal;
        for (auto gen = MoveGen::generate_pseudo_legal(b); const auto m = gen.next();) pseudo.push_back(m->uci());
        for (auto gen = MoveGen::generate(b); const auto m = gen.next();) legal.push_back(m->uci());
        EXPECT_EQ(MoveGen::count_pseudo_legal(b), pseudo.size());
        for (const auto& m : legal) EXPECT_NE(std::find(pseudo.begin(), pseudo.end(), m), pseudo.end()) << m;
    }
}

namespace {

// Along seeded random games under the fog-of-war rules (kings captured, castling into check,
// promotions), every build of the summarising generator (the one the loader chose, the magic
// one, and the PEXT one where this CPU runs it) must hand out the very groups of the plain
// generator, and its summary must be what those groups add up to (each group's first policy
// slot included). Moves are played in place and by copy, which must agree.
TEST(MoveGen, PseudoLegalSummaryAddsUpTheGroups) {
    std::uint64_t rng = 20261208;
    std::size_t promotions_seen = 0;
    if (!chess::detail::pseudo_legal_pext_chosen()) std::printf("PEXT build not chosen on this CPU: not checked\n");
    for (const char* start : {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                              "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1", "8/8/8/K1pP3r/8/8/8/7k w - c6 0 1"}) {
        for (int game = 0; game < 40; ++game) {
            Board b = board_from(start);
            for (int ply = 0; ply < 120; ++ply) {
                const MoveGen plain = MoveGen::generate_pseudo_legal(b);
                MoveGen::Summary sum;
                const Bitboard king = b.pieces(b.side_to_move, Piece::King);
                for (std::size_t i = 0; i < plain.group_count(); ++i) {
                    const MoveGroup& g = plain.group(i);
                    sum.first_slot[i] = static_cast<std::uint16_t>(sum.plain_moves + 4 * sum.promoting_pawns);
                    if (g.promotes) ++sum.promoting_pawns;
                    else sum.plain_moves += static_cast<std::size_t>(popcount(g.targets));
                    if (!contains(king, g.source)) sum.non_king_targets |= g.targets;
                }
                const auto same = [&](const MoveGen& with, const MoveGen::Summary& summary) {
                    ASSERT_EQ(with.group_count(), plain.group_count());
                    for (std::size_t i = 0; i < plain.group_count(); ++i) {
                        ASSERT_EQ(with.group(i).source, plain.group(i).source);
                        ASSERT_EQ(with.group(i).targets, plain.group(i).targets);
                        ASSERT_EQ(with.group(i).promotes, plain.group(i).promotes);
                        ASSERT_EQ(summary.first_slot[i], sum.first_slot[i]) << "group " << i;
                    }
                    ASSERT_EQ(summary.plain_moves, sum.plain_moves);
                    ASSERT_EQ(summary.promoting_pawns, sum.promoting_pawns);
                    ASSERT_EQ(summary.non_king_targets, sum.non_king_targets);
                };
                MoveGen::Summary summary, magic_summary, pext_summary;
                MoveGen with = MoveGen::generate_pseudo_legal(b, summary);
                ASSERT_NO_FATAL_FAILURE(same(with, summary));
                ASSERT_NO_FATAL_FAILURE(same(chess::detail::pseudo_legal_magic(b, magic_summary), magic_summary));
                if (chess::detail::pseudo_legal_pext_chosen()) {
                    const MoveGen pext = chess::detail::pseudo_legal_pext(b, pext_summary);
                    ASSERT_NO_FATAL_FAILURE(same(pext, pext_summary));
                }
                promotions_seen += summary.promoting_pawns;
                const std::size_t moves = with.len();
                if (moves == 0 || !b.pieces(~b.side_to_move, Piece::King)) break;
                std::vector<ChessMove> all(moves);
                with.collect(all.data(), moves);
                const ChessMove move = all[splitmix64_next(rng) % moves];
                const Board copied = play_pseudo_legal_move(b, move);
                apply_pseudo_legal_move(b, move);
                ASSERT_EQ(b, copied) << move.uci();
            }
        }
    }
    EXPECT_GT(promotions_seen, 0u);
}

}  // namespace

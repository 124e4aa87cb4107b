// The perft enumerator (chess/movegen/perft.hpp), every build of it this CPU runs: against the
// published perft counts, and against the plain MoveGen recursion it must agree with on
// positions from seeded random play that are rich in checks, pins, en passant, castling and
// promotions.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "chess/attack_tables.hpp"
#include "chess/movegen/perft.hpp"
#include "chess/movegen/pext_tables.hpp"
#include "chess/splitmix.hpp"
#include "position_helpers.hpp"

using namespace chess;
using namespace test_helpers;

namespace {

// The builds this CPU runs; a missing one is said once, so that a run on an older CPU shows
// what it did not check.
std::vector<PerftVariant> runnable_variants() {
    std::vector<PerftVariant> out;
    for (const PerftVariant v : PERFT_VARIANTS) {
        if (perft_variant_available(v)) {
            out.push_back(v);
        } else {
            static bool told[3] = {};
            if (!told[static_cast<int>(v)]) {
                std::printf("this CPU cannot run the %s build: not checked\n", std::string(perft_variant_name(v)).c_str());
                told[static_cast<int>(v)] = true;
            }
        }
    }
    return out;
}

struct PublishedCase {
    const char* name;
    const char* fen;
    std::vector<std::uint64_t> counts;  // depth 0, 1, 2, ...
};

// chessprogramming.org "Perft Results", cut where a sanitized build would take more than a
// second or so per build.
const PublishedCase PUBLISHED[] = {
    {"start", START_FEN, {1, 20, 400, 8902, 197281, 4865609}},
    {"kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", {1, 48, 2039, 97862, 4085603}},
    {"position 3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", {1, 14, 191, 2812, 43238, 674624, 11030083}},
    {"position 4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", {1, 6, 264, 9467, 422333, 15833292}},
    {"position 4 mirrored", "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
     {1, 6, 264, 9467, 422333, 15833292}},
    {"position 5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", {1, 44, 1486, 62379, 2103487}},
    {"position 6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
     {1, 46, 2079, 89890, 3894594}},
};

// Starting points of the random walks: the standard positions and ones where promotions, en
// passant (pinned, discovering, answering check), castling rights and checks come thick and
// fast (the same as tests/positions.py).
const char* const WALK_STARTS[] = {
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/PPP4k/8/8/8/8/4Kppp/8 w - - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "2r1r3/1P1P1k2/8/8/8/8/1p1p1K2/2R1R3 w - - 0 1",
    "4k3/1P4P1/8/8/8/8/1p4p1/4K3 b - - 0 1",
    "2K2r2/4P3/8/8/8/8/8/3k4 w - - 0 1",
    "r3k2r/8/8/2pPp3/8/8/8/R3K2R w KQkq c6 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1",
    "8/5bk1/8/2Pp4/8/1K6/8/8 w - d6 0 1",
    "3k4/3p4/8/K1P4r/8/8/8/8 b - - 0 1",
    "8/8/8/8/k1p4R/8/3P4/3K4 w - - 0 1",
    "8/8/4k3/8/2p5/8/B2P2K1/8 w - - 0 1",
    "4k3/8/8/1pPpP3/8/8/8/4K3 w - d6 0 1",
    "8/2p5/8/KP1P3r/8/8/8/7k b - - 0 1",
    "r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq - 0 1",
    "r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "5k2/8/8/8/8/8/8/4K2R w K - 0 1",
    "3k4/8/8/8/8/8/8/R3K3 w Q - 0 1",
    "r3k2r/p6p/8/B7/1pp1p3/3b4/P6P/R3K2R w KQkq - 0 1",
    "1r2k2r/8/8/8/8/8/8/R3K2R b KQk - 0 1",
    "8/8/2k5/5q2/5n2/8/5K2/8 b - - 0 1",
    "4k3/8/8/8/1b6/8/3N4/R3K2R w KQ - 0 1",
    "4k3/4r3/8/8/8/8/2n5/4K3 w - - 0 1",
    "K1k5/8/P7/8/8/8/8/8 w - - 0 1",
    "8/k1P5/8/1K6/8/8/8/8 w - - 0 1",
    "6kq/8/8/8/8/8/8/7K w - - 0 1",
    "4k3/8/8/3N4/8/8/8/R3K2R b KQ - 0 1",
    "8/8/8/2k5/3Pp3/8/8/4K3 b - d3 0 1",
    "7k/8/8/NNNNNNNN/NNNNNNNN/8/NNNNNNNN/NNNNKNNN w - - 0 1",
};

// What a position offers, so that the walks can show they met every case the enumerator
// treats apart.
struct Seen {
    std::size_t positions = 0, check = 0, double_check = 0, pinned = 0, en_passant = 0, en_passant_refused = 0,
                castling = 0, promotion = 0, no_moves = 0;
};

void note(const Board& b, Seen& seen) {
    ++seen.positions;
    seen.check += b.checkers != 0;
    seen.double_check += more_than_one(b.checkers);
    seen.pinned += (b.pinned & b.pieces(b.side_to_move)) != 0;
    seen.no_moves += MoveGen::count(b) == 0;
    bool castles = false, promotes = false, takes_en_passant = false;
    for (auto gen = MoveGen::generate(b); const auto m = gen.next();) {
        castles |= b.piece_at(m->from_square) == Piece::King && is_castling_king_move(m->from_square, m->to_square) &&
                   m->from_square.file() == 4;
        promotes |= m->promotion.has_value();
        takes_en_passant |= b.ep_square && b.piece_at(m->from_square) == Piece::Pawn &&
                            m->from_square.file() != m->to_square.file() &&
                            m->to_square.file() == b.ep_square->file() && !contains(b.occupied, m->to_square);
    }
    seen.castling += castles;
    seen.promotion += promotes;
    seen.en_passant += takes_en_passant;
    seen.en_passant_refused += b.ep_square.has_value() && !takes_en_passant;
}

// Compares every build with the MoveGen recursion below `b` at depths 1 to `depth`; on a
// difference, the counts per root move say which move's subtree went wrong.
::testing::AssertionResult agrees(const Board& b, unsigned depth, const std::vector<PerftVariant>& variants) {
    for (unsigned d = 1; d <= depth; ++d) {
        const std::uint64_t expected = movegen_perft(b, d);
        for (const PerftVariant v : variants) {
            const std::uint64_t got = perft_function(v)(b, d);
            if (got == expected) continue;
            auto failure = ::testing::AssertionFailure() << perft_variant_name(v) << " at depth " << d << ": " << got
                                                         << ", MoveGen " << expected << " for " << b.to_fen() << "\n";
            for (auto gen = MoveGen::generate(b); const auto m = gen.next();) {
                const Board child = play_move_unchecked(b, *m);
                const std::uint64_t ours = perft_function(v)(child, d - 1), theirs = movegen_perft(child, d - 1);
                if (ours != theirs) failure << "  " << m->uci() << ": " << ours << ", MoveGen " << theirs << "\n";
            }
            return failure;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(PerftVariants, NamesAndAvailability) {
    for (const PerftVariant v : PERFT_VARIANTS) {
        EXPECT_EQ(perft_variant_from_name(perft_variant_name(v)), v);
        EXPECT_EQ(perft_function(v) != nullptr, perft_variant_available(v)) << perft_variant_name(v);
    }
    EXPECT_FALSE(perft_variant_from_name("movegen").has_value());
    EXPECT_FALSE(perft_variant_from_name("").has_value());
    EXPECT_TRUE(perft_variant_available(PerftVariant::Baseline));
    EXPECT_TRUE(perft_variant_available(best_perft_variant()));
    EXPECT_EQ(perft_variant_available(PerftVariant::Pext), detail::bmi2_available());
    EXPECT_EQ(perft_variant_available(PerftVariant::Magic), detail::popcnt_available());
}

TEST(PerftVariants, PublishedCounts) {
    const auto variants = runnable_variants();
    for (const PublishedCase& c : PUBLISHED) {
        const Board b = board_from(c.fen);
        for (unsigned d = 0; d < c.counts.size(); ++d) {
            for (const PerftVariant v : variants)
                EXPECT_EQ(perft_function(v)(b, d), c.counts[d]) << c.name << " depth " << d << " " << perft_variant_name(v);
            if (d + 1 == c.counts.size()) {
                EXPECT_EQ(perft(b, d), c.counts[d]) << c.name << " depth " << d;
            }
        }
    }
}

// The walks go on from one of the legal moves chosen by a seeded generator; each position met
// is counted to depth 3 by every build and by MoveGen.
TEST(PerftVariants, AgreeWithMoveGenOnRandomPlay) {
    const auto variants = runnable_variants();
    std::uint64_t rng = 0x5EED0F9E7F7ULL;
    Seen seen;
    std::size_t failures = 0;
    for (int round = 0; round < 10; ++round) {
        for (const char* fen : WALK_STARTS) {
            Board b = board_from(fen);
            const unsigned plies = 4 + static_cast<unsigned>(splitmix64_next(rng) % 24);
            for (unsigned ply = 0; ply <= plies; ++ply) {
                note(b, seen);
                const auto result = agrees(b, 3, variants);
                if (!result) {
                    ADD_FAILURE() << result.message();
                    if (++failures >= 5) return;
                }
                auto gen = MoveGen::generate(b);
                const std::size_t n = gen.len();
                if (n == 0) break;
                for (std::uint64_t skip = splitmix64_next(rng) % n; skip > 0; --skip) gen.next();
                b = play_move_unchecked(b, *gen.next());
            }
        }
    }
    std::printf("%zu positions: %zu in check (%zu double), %zu with a pinned piece, %zu taking en passant, %zu with "
                "an en-passant pawn but no capture of it, %zu castling, %zu promoting, %zu without moves\n",
                seen.positions, seen.check, seen.double_check, seen.pinned, seen.en_passant, seen.en_passant_refused,
                seen.castling, seen.promotion, seen.no_moves);
    // The walks must have reached every case the enumerator handles apart.
    EXPECT_GT(seen.positions, 1000u);
    EXPECT_GT(seen.check, 50u);
    EXPECT_GT(seen.double_check, 2u);
    EXPECT_GT(seen.pinned, 50u);
    EXPECT_GT(seen.en_passant, 20u);
    EXPECT_GT(seen.en_passant_refused, 2u);
    EXPECT_GT(seen.castling, 50u);
    EXPECT_GT(seen.promotion, 50u);
}

// Hand-picked corners, each against MoveGen to depth 4: en passant that would bare the king
// along its rank or a diagonal, en passant out of a pawn's check or blocking a rook's, en
// passant beside a check it does not answer, castling rights lost by a capture on a rook's
// corner or by a promotion capturing there, and many pieces at once.
TEST(PerftVariants, AgreeWithMoveGenOnCorners) {
    const auto variants = runnable_variants();
    const char* const corners[] = {
        "8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1",
        "b3k3/8/8/3pP3/8/8/8/7K w - d6 0 1",
        "4k3/6b1/8/3pP3/8/2K5/8/8 w - d6 0 1",
        "8/8/8/8/3Pp3/k6R/8/3K4 b - d3 0 1",
        "8/8/8/4k3/3Pp3/8/8/4K3 b - d3 0 1",
        // Positions only FEN text reaches: a check by a knight, or by a pawn other than the
        // one that just stepped, which taking en passant does not answer.
        "4k3/8/8/3pP3/8/5n2/8/4K3 w - d6 0 1",
        "4k3/8/8/3pP3/8/8/3p4/4K3 w - d6 0 1",
        "r3k2r/1P6/8/8/8/8/6p1/R3K2R w KQkq - 0 1",
        "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
        "rn2k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
        "1r2k2r/8/8/8/8/8/8/R3K2R w KQk - 0 1",
        "4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
        "7k/8/8/NNNNNNNN/NNNNNNNN/8/NNNNNNNN/NNNNKNNN w - - 0 1",
        "q3k3/8/8/8/8/8/8/Q3K2Q w - - 0 1",
        "k7/8/8/8/3B4/8/5R2/K7 b - - 0 1",
    };
    for (const char* fen : corners) EXPECT_TRUE(agrees(board_from(fen), 4, variants)) << fen;
}

// Boards that no legal play reaches take MoveGen's answer through the recursion instead:
// a side without a king, a side to move that could take the enemy king.
TEST(PerftVariants, BoardsOutsideLegalPlayGetMoveGensCounts) {
    const auto variants = runnable_variants();
    // White leaves its king en prise; Black may take it, and then White has no king.
    const Board exposed = play_all(board_from("4k3/4r3/8/8/8/8/P7/4K3 w - - 0 1"), {"a2a3"});
    const Board kingless = play_all(exposed, {"e7e1"});
    ASSERT_EQ(kingless.pieces(Color::White, Piece::King), 0u);
    for (const Board& b : {exposed, kingless}) {
        for (unsigned d = 0; d <= 3; ++d) {
            const std::uint64_t expected = movegen_perft(b, d);
            for (const PerftVariant v : variants)
                EXPECT_EQ(perft_function(v)(b, d), expected) << b.to_fen() << " depth " << d << " " << perft_variant_name(v);
        }
    }
    EXPECT_EQ(movegen_perft(kingless, 1), 0u);
    EXPECT_GT(movegen_perft(exposed, 1), 0u);
}

// Every square and every occupancy of its relevant mask finds the walked attack set, with the
// slot found by a bit-by-bit PEXT written out here rather than by the table's own fill order.
TEST(PerftVariants, PextTableMatchesTheWalk) {
    if (!detail::bmi2_available()) GTEST_SKIP() << "no BMI2 here: the PEXT table is never built";
    const auto slow_pext = [](Bitboard value, Bitboard mask) {
        std::uint64_t out = 0;
        unsigned bit = 0;
        for (unsigned sq = 0; sq < 64; ++sq) {
            if (!contains(mask, sq)) continue;
            if (contains(value, sq)) out |= std::uint64_t{1} << bit;
            ++bit;
        }
        return out;
    };
    std::size_t checked = 0;
    for (unsigned sq = 0; sq < 64; ++sq) {
        for (const bool rook : {true, false}) {
            const detail::PextSquare& e = rook ? detail::PEXT_ROOK[sq] : detail::PEXT_BISHOP[sq];
            Bitboard subset = 0;
            do {
                const Bitboard expected = rook ? walk_rook_attacks(sq, subset) : walk_bishop_attacks(sq, subset);
                ASSERT_EQ(detail::pext_slots[e.base + slow_pext(subset, e.relevant)], expected)
                    << (rook ? "rook" : "bishop") << " on " << sq << " with " << subset;
                ++checked;
                subset = (subset - e.relevant) & e.relevant;
            } while (subset);
        }
    }
    EXPECT_EQ(checked, std::size_t{detail::PEXT_SLOT_COUNT});
}

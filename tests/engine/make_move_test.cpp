// Making moves: the position after a move, the moves that are refused, and the incremental
// fields after arbitrary (not necessarily legal) play.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "position_helpers.hpp"

using namespace chess;
using namespace test_helpers;

namespace {

bool lists(const Board& b, const char* uci) {
    const auto moves = legal_uci(b);
    return std::find(moves.begin(), moves.end(), uci) != moves.end();
}

}  // namespace

TEST(MakeMove, QuietDoubleStepWithoutCapturerSetsNoEpSquare) {
    const Board start = board_from(START_FEN);
    const Board b = play_all(start, {"e2e4"});
    EXPECT_EQ(b.pieces(Color::White, Piece::Pawn), (start.pieces(Color::White, Piece::Pawn) & ~square("e2").bb()) | square("e4").bb());
    EXPECT_EQ(b.side_to_move, Color::Black);
    EXPECT_FALSE(b.ep_square.has_value());
    EXPECT_EQ(b.castle_rights, start.castle_rights);
    EXPECT_EQ(b.checkers, 0u);
    EXPECT_EQ(b.pinned, 0u);
    EXPECT_TRUE(consistent(b));
}

TEST(MakeMove, EnPassantRemovesTheDoubleSteppedPawn) {
    const Board b = play_all(board_from("rnbqkbnr/ppp1pppp/8/8/3p4/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"), {"e2e4"});
    ASSERT_EQ(b.ep_square, square("e4"));
    EXPECT_TRUE(lists(b, "d4e3"));
    const Board after = play_all(b, {"d4e3"});
    EXPECT_EQ(after.occupied, (b.occupied & ~squares({"e4", "d4"})) | square("e3").bb());
    EXPECT_EQ(after.pieces(Color::Black, Piece::Pawn) & square("e3").bb(), square("e3").bb());
    EXPECT_FALSE(after.ep_square.has_value());
    EXPECT_TRUE(consistent(after));
}

TEST(MakeMove, CastlingMovesTheRookAndSpendsTheRights) {
    struct Case {
        const char* fen;
        const char* move;
        Color mover;
        const char* king;
        const char* rook_from;
        const char* rook_to;
    };
    const Case cases[] = {
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1g1", Color::White, "g1", "h1", "f1"},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1c1", Color::White, "c1", "a1", "d1"},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8g8", Color::Black, "g8", "h8", "f8"},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8c8", Color::Black, "c8", "a8", "d8"},
    };
    for (const Case& c : cases) {
        const Board b = play_all(board_from(c.fen), {c.move});
        EXPECT_EQ(b.pieces(c.mover, Piece::King), square(c.king).bb()) << c.move;
        EXPECT_TRUE(contains(b.pieces(c.mover, Piece::Rook), square(c.rook_to))) << c.move;
        EXPECT_FALSE(contains(b.occupied, square(c.rook_from))) << c.move;
        EXPECT_EQ(b.castle_rights[index(c.mover)].bits, 0) << c.move;
        EXPECT_EQ(b.castle_rights[index(~c.mover)].bits, CastleRights::BOTH_SIDES) << c.move;
        EXPECT_TRUE(consistent(b)) << c.move;
    }
}

TEST(MakeMove, RightsFollowTheHomeSquares) {
    struct Case {
        const char* move;
        std::uint8_t white;
        std::uint8_t black;
    };
    // From r3k2r/8/8/8/8/8/8/R3K2R with both sides holding both rights, White to move.
    const Case cases[] = {
        {"h1h2", CastleRights::QUEEN_SIDE, CastleRights::BOTH_SIDES},
        {"a1a2", CastleRights::KING_SIDE, CastleRights::BOTH_SIDES},
        {"e1e2", 0, CastleRights::BOTH_SIDES},
        {"a1a8", CastleRights::KING_SIDE, CastleRights::KING_SIDE},  // takes Black's a8 rook
        {"h1h8", CastleRights::QUEEN_SIDE, CastleRights::QUEEN_SIDE},
    };
    const Board start = board_from("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    for (const Case& c : cases) {
        const Board b = play_all(start, {c.move});
        EXPECT_EQ(b.castle_rights[0].bits, c.white) << c.move;
        EXPECT_EQ(b.castle_rights[1].bits, c.black) << c.move;
    }
}

TEST(MakeMove, ChecksAndPinsAfterTheMove) {
    struct Case {
        const char* name;
        const char* fen;
        const char* move;
        Bitboard checkers;
        Bitboard pinned;
    };
    const Case cases[] = {
        {"promoted queen checks along the rank", "k7/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8q", squares({"e8"}), 0},
        {"promoted knight checks", "8/4P3/5k2/8/8/8/8/4K3 w - - 0 1", "e7e8n", squares({"e8"}), 0},
        {"pawn check", "8/8/3k4/8/4P3/8/8/4K3 w - - 0 1", "e4e5", squares({"e5"}), 0},
        {"discovered rook check", "4k3/8/8/8/4N3/8/8/K3R3 w - - 0 1", "e4c5", squares({"e1"}), 0},
        {"double check, knight and rook", "4k3/8/8/8/4N3/8/8/K3R3 w - - 0 1", "e4d6", squares({"e1", "d6"}), 0},
        {"enemy piece pinned", "4k3/4n3/8/8/8/8/8/K6R w - - 0 1", "h1e1", 0, squares({"e7"})},
        {"own piece on the line counts as pinned", "4k3/8/8/8/8/8/4B3/K6R w - - 0 1", "h1e1", 0, squares({"e2"})},
        {"castling rook gives check", "5k2/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1", squares({"f1"}), 0},
        {"en passant clears a bishop's diagonal", "8/1k6/8/3pP3/8/5B2/8/7K w - d6 0 1", "e5d6", squares({"f3"}), 0},
    };
    for (const Case& c : cases) {
        const Board b = play_all(board_from(c.fen), {c.move});
        EXPECT_EQ(b.checkers, c.checkers) << c.name;
        EXPECT_EQ(b.pinned, c.pinned) << c.name;
        EXPECT_TRUE(consistent(b)) << c.name;
    }
}

TEST(MakeMove, KingCaptureAndSelfCheckArePlayed) {
    // Black walks into the rook's file, which play_move allows; White then takes the king.
    const Board into_check = play_all(board_from("3k4/8/8/8/8/8/8/K3R3 b - - 0 1"), {"d8e8"});
    EXPECT_TRUE(consistent(into_check));
    EXPECT_TRUE(lists(into_check, "e1e8"));
    const Board taken = play_all(into_check, {"e1e8"});
    EXPECT_EQ(taken.pieces(Color::Black, Piece::King), 0u);
    EXPECT_EQ(taken.pieces(Piece::King), square("a1").bb());
    EXPECT_EQ(taken.checkers, 0u);
    EXPECT_EQ(taken.pinned, 0u);
    EXPECT_EQ(taken.side_to_move, Color::Black);
    EXPECT_TRUE(consistent(taken));
}

// A knight or pawn check that the checked side ignores must survive the reply that follows.
TEST(MakeMove, UnansweredLeaperCheckIsStillRecorded) {
    const Board b = play_all(board_from("4k3/8/8/8/8/3n4/P7/4K3 w - - 0 1"), {"a2a3", "e8d8"});
    EXPECT_EQ(b.checkers, square("d3").bb());
    EXPECT_TRUE(consistent(b));
    EXPECT_FALSE(lists(b, "a3a4"));
    for (const std::string& m : legal_uci(b)) EXPECT_EQ(m.substr(0, 2), "e1") << m;

    const Board pawn = play_all(board_from("4k3/8/8/8/8/8/3p4/R3K3 w - - 0 1"), {"a1a2", "e8d8"});
    EXPECT_EQ(pawn.checkers, square("d2").bb());
    EXPECT_FALSE(lists(pawn, "a2a3"));
}

// A "double step" that jumped over a piece offers no en-passant capture: it would land on
// that piece.
TEST(MakeMove, DoubleStepOverAPieceSetsNoEpSquare) {
    const Board jumped = play_all(board_from("4k3/8/8/8/3p4/4n3/4P3/4K3 w - - 0 1"), {"e2e4"});
    EXPECT_FALSE(jumped.ep_square.has_value());
    EXPECT_FALSE(lists(jumped, "d4e3"));
    EXPECT_TRUE(consistent(jumped));

    const Board clear = play_all(board_from("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1"), {"e2e4"});
    EXPECT_EQ(clear.ep_square, square("e4"));
    EXPECT_TRUE(lists(clear, "d4e3"));
}

TEST(MakeMove, RefusedMoves) {
    struct Case {
        const char* name;
        const char* fen;
        const char* move;
        MoveFault fault;
    };
    const Case cases[] = {
        {"empty from-square", START_FEN, "e3e4", MoveFault::EmptyFromSquare},
        {"opponent's piece", START_FEN, "e7e5", MoveFault::NotSideToMove},
        {"onto an own piece", START_FEN, "d1d2", MoveFault::OwnPieceOnTarget},
        {"king onto an own piece", START_FEN, "e1f1", MoveFault::OwnPieceOnTarget},
        {"from equals to", START_FEN, "e2e2", MoveFault::OwnPieceOnTarget},
        {"castling without the h1 rook", "4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e1g1", MoveFault::CastlingRookMissing},
        {"castling with an enemy rook in the corner", "4k3/8/8/8/8/8/8/r3K3 w - - 0 1", "e1c1",
         MoveFault::CastlingRookMissing},
        {"castling-square king move without the rook", "4k3/8/8/8/8/8/8/2K5 w - - 0 1", "c1e1",
         MoveFault::CastlingRookMissing},
        {"black castling without the a8 rook", "4k3/8/8/8/8/8/8/4K3 b - - 0 1", "e8c8", MoveFault::CastlingRookMissing},
        {"rook would land on an own bishop", "4k3/8/8/8/8/8/8/4KB1R w - - 0 1", "e1g1", MoveFault::CastlingRookBlocked},
        {"rook would land on an enemy knight", "4k3/8/8/8/8/8/8/R2nK3 w - - 0 1", "e1c1", MoveFault::CastlingRookBlocked},
    };
    for (const Case& c : cases) {
        const auto result = play_move(board_from(c.fen), move_from(c.move));
        ASSERT_FALSE(result.ok()) << c.name;
        EXPECT_EQ(result.error(), c.fault) << c.name;
        EXPECT_NE(std::string(describe(c.fault)), "") << c.name;
    }
}

// Moves that ignore how pieces move are still played, as long as the board stays whole.
TEST(MakeMove, OddButPlayableMoves) {
    struct Case {
        const char* name;
        const char* fen;
        const char* move;
        const char* occupied_after;  // a square that must now hold the mover's `kind`
        Piece kind;
    };
    const Case cases[] = {
        {"knight across the board", "4k3/8/8/8/8/8/8/N3K3 w - - 0 1", "a1h8", "h8", Piece::Knight},
        {"promotion letter on a quiet pawn step", "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", "e2e3q", "e3", Piece::Queen},
        {"king from c1 to e1 takes the h1 rook to f1", "4k3/8/8/8/8/8/8/2K4R w - - 0 1", "c1e1", "f1", Piece::Rook},
        {"a2a5 counts as a double step", "4k3/8/8/1p6/8/8/P7/4K3 w - - 0 1", "a2a5", "a5", Piece::Pawn},
    };
    for (const Case& c : cases) {
        const auto result = play_move(board_from(c.fen), move_from(c.move));
        ASSERT_TRUE(result.ok()) << c.name;
        EXPECT_TRUE(contains(result->pieces(Color::White, c.kind), square(c.occupied_after))) << c.name;
        EXPECT_TRUE(consistent(*result)) << c.name;
    }
    const Board stepped = play_all(board_from("4k3/8/8/1p6/8/8/P7/4K3 w - - 0 1"), {"a2a5"});
    EXPECT_EQ(stepped.ep_square, square("a5"));
    const Board taken = play_all(stepped, {"b5a4"});
    EXPECT_EQ(taken.pieces(Piece::Pawn), square("a4").bb());
    EXPECT_TRUE(consistent(taken));
}

// Random pseudo-legal play (any own piece to any square not holding an own piece, promotions
// at random): every board that play_move returns keeps its masks whole and its hash, checkers,
// pins and en-passant pawn exactly as a recomputation gives them, and the generator's count
// matches what it hands out.
TEST(MakeMove, RandomPseudoLegalPlayKeepsEveryInvariant) {
    const char* starts[] = {
        START_FEN,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    };
    std::mt19937_64 rng(20240611);
    std::size_t played = 0, refused = 0;
    for (int game = 0; game < 200; ++game) {
        Board b = board_from(starts[game % std::size(starts)]);
        for (int ply = 0; ply < 60; ++ply) {
            const Bitboard own = b.pieces(b.side_to_move);
            const Bitboard free_squares = ~own;
            if (!own) break;
            // Mostly legal moves, so that castling and en passant come up; sometimes anything.
            ChessMove move;
            auto gen = MoveGen::generate(b);
            const std::size_t count = gen.len();
            if (count > 0 && rng() % 3 != 0) {
                std::size_t pick = rng() % count;
                while (pick-- > 0) gen.next();
                move = *gen.next();
            } else {
                std::vector<unsigned> from, to;
                for (Bitboard m = own; m;) from.push_back(pop_lsb(m));
                for (Bitboard m = free_squares; m;) to.push_back(pop_lsb(m));
                move.from_square = Square(from[rng() % from.size()]);
                move.to_square = Square(to[rng() % to.size()]);
                if (contains(b.pieces(Piece::Pawn), move.from_square) && rng() % 4 == 0)
                    move.promotion = PROMOTION_ORDER[rng() % PROMOTION_ORDER.size()];
            }
            const auto next = play_move(b, move);
            if (!next) {
                ++refused;
                EXPECT_TRUE(next.error() == MoveFault::CastlingRookMissing || next.error() == MoveFault::CastlingRookBlocked)
                    << move.uci();
                continue;
            }
            ++played;
            ASSERT_TRUE(consistent(*next)) << "after " << move.uci() << " in game " << game;
            auto check = MoveGen::generate(*next);
            const std::size_t announced = check.len();
            std::size_t handed = 0;
            while (check.next()) ++handed;
            ASSERT_EQ(handed, announced);
            b = *next;
        }
    }
    EXPECT_GT(played, 10000u);
    RecordProperty("refused", static_cast<int>(refused));
}

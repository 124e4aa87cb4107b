#include <gtest/gtest.h>

#include <string>

#include "chess/attack_tables.hpp"
#include "chess/board.hpp"
#include "chess/chess_move.hpp"

using namespace chess;

namespace {

constexpr const char* START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

unsigned sq(const char* name) { return static_cast<unsigned>((name[1] - '1') * 8 + (name[0] - 'a')); }

Bitboard bbs(std::initializer_list<const char*> names) {
    Bitboard b = 0;
    for (const char* n : names) b |= square_bb(sq(n));
    return b;
}

enum class Outcome { Ok, Fen, BoardErr };

struct FenCase {
    const char* fen;
    Outcome expected;
    const char* why;
};

const FenCase FEN_CASES[] = {
    {START, Outcome::Ok, "start position"},
    {"4k3/8/8/8/8/8/8/4K3 w - -", Outcome::Ok, "four fields are enough"},
    {"4k3/8/8/8/8/8/8/4K3 W - - 0 1", Outcome::Ok, "upper-case side letter"},
    {"4k3/8/8/8/8/8/8/4K3 B - - 0 1", Outcome::Ok, "upper-case black"},
    {"4k3/8/8/8/8/8/8/4K3 w - - extra fields 7 8", Outcome::Ok, "fields after the fourth are not read"},
    {"4k3/8/8/8/8/8/8/4K3 w Zx - 0 1", Outcome::Ok, "unknown castling letters are ignored"},
    {"4k3/8/8/8/8/8/8/4K3 w - zz 0 1", Outcome::Ok, "unreadable en-passant field is ignored"},
    {"4k3/8/8/8/8/8/8/4K3 w -", Outcome::Fen, "three fields"},
    {"4k3/8/8/8/8/8/8/4K3  w - - 0 1", Outcome::Fen, "two spaces shift the side field to empty"},
    {" 4k3/8/8/8/8/8/8/4K3 w - - 0 1", Outcome::Fen, "leading space: empty placement, side field is the placement"},
    {"4k3/8/8/8/8/8/8/4K3 x - - 0 1", Outcome::Fen, "unknown side"},
    {"4k3/8/8/8/8/8/8/4K3 wb - - 0 1", Outcome::Fen, "side field longer than one character"},
    {"4k3/8/8/8/9/8/8/4K3 w - - 0 1", Outcome::Fen, "digit 9"},
    {"4k3/8/8/8/0/8/8/4K3 w - - 0 1", Outcome::Fen, "digit 0"},
    {"4k3/8/8/8/8/8/8/4K3\tw - - 0 1", Outcome::Fen, "tab does not separate"},
    {"4k3/8/8/8/8/8/8/4X3 w - - 0 1", Outcome::Fen, "unknown piece letter"},
    {"4k3/8/8/8/8/8/8/4K\xc3\xa9 w - - 0 1", Outcome::Fen, "non-ASCII in placement"},
    {"", Outcome::Fen, "empty text"},
    {"8/8/8/8/8/8/8/8 w - - 0 1", Outcome::BoardErr, "no kings"},
    {"4k3/8/8/8/8/8/8/8 w - - 0 1", Outcome::BoardErr, "no white king"},
    {"4kk2/8/8/8/8/8/8/4K3 w - - 0 1", Outcome::BoardErr, "two black kings"},
    {"8/8/8/8/8/8/3k4/4K3 w - - 0 1", Outcome::BoardErr, "adjacent kings"},
    {"4k3/8/8/8/8/8/8/4K2R b K - 0 1", Outcome::Ok, "king-side right with the rook at home"},
    {"4k3/8/8/8/8/8/8/4K3 w K - 0 1", Outcome::BoardErr, "king-side right without the h1 rook"},
    {"4k3/8/8/8/8/8/8/R3K3 w K - 0 1", Outcome::BoardErr, "king-side right with only the a1 rook"},
    {"4k3/8/8/8/8/8/8/R2K3R w KQ - 0 1", Outcome::BoardErr, "white rights with the king off e1"},
    {"r3k3/8/8/8/8/8/8/4K3 w q - 0 1", Outcome::Ok, "black queen-side right with the a8 rook"},
    {"r3k3/8/8/8/8/8/8/4K3 w k - 0 1", Outcome::BoardErr, "black king-side right without the h8 rook"},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN1 w KQkq - 0 1", Outcome::BoardErr, "KQkq with h1 empty"},
    {"4k3/8/8/8/8/8/8/4K2r w - - 0 1", Outcome::Ok, "side to move in check"},
    {"4k2R/8/8/8/8/8/8/4K3 w - - 0 1", Outcome::BoardErr, "side not to move in check"},
    {"4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", Outcome::Ok, "en passant with a capturer"},
    {"4k3/8/8/8/3p4/8/8/4K3 b - e3 0 1", Outcome::BoardErr, "en passant onto no pawn while a capturer stands beside"},
    {"4k3/8/8/8/8/8/8/4K3 b - e3 0 1", Outcome::Ok, "en passant without any pawn is dropped"},
    {"4k3/8/8/8/pp1pp3/8/8/4K3 b - c3 0 1", Outcome::BoardErr, "en passant onto an empty square with capturers beside"},
};

}  // namespace

TEST(Fen, AcceptedAndRejected) {
    for (const auto& c : FEN_CASES) {
        const auto board = Board::from_str(c.fen);
        switch (c.expected) {
            case Outcome::Ok:
                EXPECT_TRUE(board.ok()) << c.why << ": " << c.fen;
                if (board.ok()) {
                    EXPECT_TRUE(is_sane(*board)) << c.why;
                }
                break;
            case Outcome::Fen:
                ASSERT_FALSE(board.ok()) << c.why;
                EXPECT_EQ(board.error().kind, ErrorKind::InvalidFen) << c.why;
                EXPECT_EQ(board.error().fen, c.fen) << "the error carries the whole text";
                break;
            case Outcome::BoardErr:
                ASSERT_FALSE(board.ok()) << c.why;
                EXPECT_EQ(board.error().kind, ErrorKind::InvalidBoard) << c.why;
                break;
        }
    }
}

TEST(Fen, StartPosition) {
    const auto board = Board::from_str(START);
    ASSERT_TRUE(board.ok());
    EXPECT_EQ(popcount(board->occupied), 32);
    EXPECT_EQ(board->pieces(Color::White), 0xFFFFULL);
    EXPECT_EQ(board->pieces(Color::Black), 0xFFFF000000000000ULL);
    EXPECT_EQ(board->pieces(Piece::Pawn), 0x00FF00000000FF00ULL);
    EXPECT_EQ(board->pieces(Piece::King), bbs({"e1", "e8"}));
    EXPECT_EQ(board->pieces(Piece::Queen), bbs({"d1", "d8"}));
    EXPECT_EQ(board->side_to_move, Color::White);
    EXPECT_EQ(board->castle_rights[0].bits, 3);
    EXPECT_EQ(board->castle_rights[1].bits, 3);
    EXPECT_FALSE(board->ep_square);
    EXPECT_EQ(board->pinned, 0u);
    EXPECT_EQ(board->checkers, 0u);
    EXPECT_EQ(board->hash, compute_hash(*board));
}

// Ranks and files wrap instead of being counted, and a later piece replaces an earlier one.
TEST(Fen, PlacementWraps) {
    struct Case {
        const char* fen;
        std::initializer_list<const char*> white_pawns;
    };
    const Case cases[] = {
        {"4k3/8/8/8/8/8/44P/4K3 w - - 0 1", {"a2"}},        // 4 + 4 wraps back to file a
        {"4k3/8/8/8/8/8/2P8P/4K3 w - - 0 1", {"c2", "d2"}},  // a second 8 leaves the file where it was
        {"4k3/8/8/8/8/8/PPPPPPPPP/4K3 w - - 0 1", {"b2", "c2", "d2", "e2", "f2", "g2", "h2", "a2"}},
        {"4k3/8/8/8/8/8/8/4K3/P7 w - - 0 1", {"a8"}},       // a ninth rank wraps to rank 8...
        {"P3k3/8/8/8/8/8/8/4K3/n7 w - - 0 1", {}},           // ...where a later piece replaces the pawn
    };
    for (const auto& c : cases) {
        const auto board = Board::from_str(c.fen);
        ASSERT_TRUE(board.ok()) << c.fen;
        EXPECT_EQ(board->pieces(Color::White, Piece::Pawn), bbs(c.white_pawns)) << c.fen;
    }
}

TEST(Fen, CastlingAndSide) {
    struct Case {
        const char* fen;
        std::uint8_t white, black;
        Color side;
    };
    const Case cases[] = {
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", 3, 3, Color::Black},
        {"r3k2r/8/8/8/8/8/8/R3K2R w Kq - 0 1", 1, 2, Color::White},
        {"r3k2r/8/8/8/8/8/8/R3K2R w Kx - 0 1", 1, 0, Color::White},
        {"r3k2r/8/8/8/8/8/8/R3K2R W qQ - 0 1", 2, 2, Color::White},
        {"r3k2r/8/8/8/8/8/8/R3K2R B - - 0 1", 0, 0, Color::Black},
    };
    for (const auto& c : cases) {
        const auto board = Board::from_str(c.fen);
        ASSERT_TRUE(board.ok()) << c.fen;
        EXPECT_EQ(board->castle_rights[0].bits, c.white) << c.fen;
        EXPECT_EQ(board->castle_rights[1].bits, c.black) << c.fen;
        EXPECT_EQ(board->side_to_move, c.side) << c.fen;
    }
}

// The en-passant square is the pawn's own square, kept only while a pawn of the side to move
// stands beside it and the double step can have happened (the squares it crossed are empty).
TEST(Fen, EnPassantSquare) {
    struct Case {
        const char* fen;
        const char* ep;  // nullptr for none
    };
    const Case cases[] = {
        {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", nullptr},
        {"rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", "e4"},
        {"rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e6 0 1", "e4"},  // the rank is ignored
        {"rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", nullptr},
        {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "d5"},
        {"4k3/8/8/3pP3/8/8/8/4K3 w - c6 0 1", nullptr},   // no white pawn beside c5
        {"4k3/8/8/P2p4/8/8/8/4K3 w - d6 0 1", nullptr},   // a5 is not beside d5
        {"4k3/8/8/8/3pP3/4N3/8/4K3 b - e3 0 1", nullptr}, // e3 occupied: the step cannot have happened
        {"4k3/8/8/8/3pP3/8/4B3/4K3 b - e3 0 1", nullptr}, // e2 occupied: the same
        {"4k3/3q4/8/3pP3/8/8/8/4K3 w - d6 0 1", nullptr}, // d7 occupied
    };
    for (const auto& c : cases) {
        const auto board = Board::from_str(c.fen);
        ASSERT_TRUE(board.ok()) << c.fen;
        if (c.ep) {
            ASSERT_TRUE(board->ep_square) << c.fen;
            EXPECT_EQ(*board->ep_square, sq(c.ep)) << c.fen;
        } else {
            EXPECT_FALSE(board->ep_square) << c.fen;
        }
    }
}

TEST(Board, PinsAndChecks) {
    struct Case {
        const char* fen;
        Bitboard checkers;
        Bitboard pinned;
        const char* why;
    };
    const Case cases[] = {
        {"4k3/8/8/8/8/8/8/4R1K1 b - - 0 1", bbs({"e1"}), 0, "rook check along the file"},
        {"4k3/4n3/8/8/8/8/8/4R1K1 b - - 0 1", 0, bbs({"e7"}), "own knight pinned on the file"},
        {"4k3/4N3/8/8/8/8/8/4R1K1 b - - 0 1", 0, bbs({"e7"}), "a piece of the checking side counts as pinned"},
        {"4k3/4n3/4n3/8/8/8/8/4R1K1 b - - 0 1", 0, 0, "two blockers: no pin"},
        {"4k3/8/8/1B6/8/8/8/6K1 b - - 0 1", bbs({"b5"}), 0, "bishop check on the diagonal"},
        {"4k3/3p4/8/1B6/8/8/8/6K1 b - - 0 1", 0, bbs({"d7"}), "pawn pinned on the diagonal"},
        {"4k3/8/8/7Q/8/8/8/6K1 b - - 0 1", bbs({"h5"}), 0, "queen check on the diagonal"},
        {"4k3/8/8/8/8/8/8/Q5K1 b - - 0 1", 0, 0, "queen not aligned with the king"},
        {"4k3/8/3N4/8/8/8/8/6K1 b - - 0 1", bbs({"d6"}), 0, "knight check"},
        {"4k3/3P4/8/8/8/8/8/6K1 b - - 0 1", bbs({"d7"}), 0, "pawn check from below for Black"},
        {"4k3/8/4P3/8/8/8/8/6K1 b - - 0 1", 0, 0, "a pawn straight ahead gives no check"},
        {"4k3/8/8/8/8/8/5p2/4K3 w - - 0 1", bbs({"f2"}), 0, "pawn check from above for White"},
        {"4k3/8/3N4/8/8/8/8/4R1K1 b - - 0 1", bbs({"d6", "e1"}), 0, "double check"},
        {"8/8/8/8/k2Pp2Q/8/8/4K3 b - d3 0 1", 0, 0, "two pawns on the rank are no pin"},
        {"4k3/8/8/8/8/8/8/r3K3 w - - 0 1", bbs({"a1"}), 0, "rook check along the rank"},
        {"4k3/8/8/8/8/8/8/rN2K3 w - - 0 1", 0, bbs({"b1"}), "own knight pinned on the rank"},
        {"4k3/8/8/8/8/8/8/4K1r1 w - - 0 1", bbs({"g1"}), 0, "rook check across an empty square"},
    };
    for (const auto& c : cases) {
        const auto board = Board::from_str(c.fen);
        ASSERT_TRUE(board.ok()) << c.why;
        EXPECT_EQ(board->checkers, c.checkers) << c.why;
        EXPECT_EQ(board->pinned, c.pinned) << c.why;
    }
}

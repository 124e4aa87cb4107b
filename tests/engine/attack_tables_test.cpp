#include <gtest/gtest.h>

#include "chess/attack_tables.hpp"

using namespace chess;

namespace {

struct Row {
    const char* name;
    Bitboard actual;
    Bitboard expected;
};

constexpr unsigned sq(const char* name) { return (name[1] - '1') * 8 + (name[0] - 'a'); }
constexpr Bitboard bbs(std::initializer_list<const char*> names) {
    Bitboard b = 0;
    for (const char* n : names) b |= square_bb(sq(n));
    return b;
}

}  // namespace

TEST(AttackTables, TellingRows) {
    const Row rows[] = {
        {"knight a1", KNIGHT_TARGETS[sq("a1")], 0x0000000000020400ULL},
        {"knight e4", KNIGHT_TARGETS[sq("e4")], 0x0000284400442800ULL},
        {"king a1", KING_TARGETS[sq("a1")], 0x0000000000000302ULL},
        {"king e1", KING_TARGETS[sq("e1")], 0x0000000000003828ULL},
        {"pawn capture W e2", PAWN_CAPTURE_TARGETS[0][sq("e2")], 0x0000000000280000ULL},
        {"pawn capture W a2", PAWN_CAPTURE_TARGETS[0][sq("a2")], 0x0000000000020000ULL},
        {"pawn capture W e1", PAWN_CAPTURE_TARGETS[0][sq("e1")], 0x0000000000002800ULL},
        {"pawn capture W e8", PAWN_CAPTURE_TARGETS[0][sq("e8")], 0},
        {"pawn capture B e7", PAWN_CAPTURE_TARGETS[1][sq("e7")], 0x0000280000000000ULL},
        {"pawn capture B e1", PAWN_CAPTURE_TARGETS[1][sq("e1")], 0},
        {"pawn push W e2", PAWN_PUSH_TARGETS[0][sq("e2")], 0x0000000010100000ULL},
        {"pawn push W e3", PAWN_PUSH_TARGETS[0][sq("e3")], 0x0000000010000000ULL},
        {"pawn push W e1", PAWN_PUSH_TARGETS[0][sq("e1")], 0x0000000000001000ULL},
        {"pawn push W e8", PAWN_PUSH_TARGETS[0][sq("e8")], 0},
        {"pawn push B e7", PAWN_PUSH_TARGETS[1][sq("e7")], 0x0000101000000000ULL},
        {"pawn push B e8", PAWN_PUSH_TARGETS[1][sq("e8")], 0x0010000000000000ULL},
        {"pawn push B e1", PAWN_PUSH_TARGETS[1][sq("e1")], 0},
        {"orthogonal a1", ORTHOGONAL_RAYS[sq("a1")], 0x01010101010101FEULL},
        {"orthogonal d4", ORTHOGONAL_RAYS[sq("d4")], 0x08080808F7080808ULL},
        {"diagonal a1", DIAGONAL_RAYS[sq("a1")], 0x8040201008040200ULL},
        {"diagonal d4", DIAGONAL_RAYS[sq("d4")], 0x8041221400142241ULL},
        {"between a1 h8", SQUARES_BETWEEN[sq("a1")][sq("h8")], 0x0040201008040200ULL},
        {"between e1 e8", SQUARES_BETWEEN[sq("e1")][sq("e8")], 0x0010101010101000ULL},
        {"between a1 b3", SQUARES_BETWEEN[sq("a1")][sq("b3")], 0},
        {"between e1 f2", SQUARES_BETWEEN[sq("e1")][sq("f2")], 0},
        {"between e1 e1", SQUARES_BETWEEN[sq("e1")][sq("e1")], 0},
        {"line b2 c3", LINE_THROUGH[sq("b2")][sq("c3")], 0x8040201008040201ULL},
        {"line e1 e4", LINE_THROUGH[sq("e1")][sq("e4")], 0x1010101010101010ULL},
        {"line e1 f2", LINE_THROUGH[sq("e1")][sq("f2")], 0x0000000080402010ULL},
        {"line a1 b3", LINE_THROUGH[sq("a1")][sq("b3")], 0},
        {"line e4 e4", LINE_THROUGH[sq("e4")][sq("e4")], 0},
        {"neighbour files a", NEIGHBOUR_FILES[0], 0x0202020202020202ULL},
        {"neighbour files b", NEIGHBOUR_FILES[1], 0x0505050505050505ULL},
        {"neighbour files h", NEIGHBOUR_FILES[7], 0x4040404040404040ULL},
        {"rank 1", RANK_MASKS[0], 0xFFULL},
        {"rank 8", RANK_MASKS[7], 0xFF00000000000000ULL},
        {"castle path K white", CASTLE_PATH_KINGSIDE[0], 0x60ULL},
        {"castle path K black", CASTLE_PATH_KINGSIDE[1], 0x6000000000000000ULL},
        {"castle path Q white", CASTLE_PATH_QUEENSIDE[0], 0x0EULL},
        {"castle path Q black", CASTLE_PATH_QUEENSIDE[1], 0x0E00000000000000ULL},
        {"rook a1 {a4}", rook_attacks(sq("a1"), bbs({"a4"})), 0x00000000010101FEULL},
        {"rook a1 empty", rook_attacks(sq("a1"), 0), ORTHOGONAL_RAYS[sq("a1")]},
        {"rook d4 {d4}", rook_attacks(sq("d4"), bbs({"d4"})), ORTHOGONAL_RAYS[sq("d4")]},
        {"rook a1 edges", rook_attacks(sq("a1"), bbs({"h1", "a8"})), ORTHOGONAL_RAYS[sq("a1")]},
        {"bishop a1 {c3 f6}", bishop_attacks(sq("a1"), bbs({"c3", "f6"})), 0x0000000000040200ULL},
        {"bishop c1 {e3 f4}", bishop_attacks(sq("c1"), bbs({"e3", "f4"})), bbs({"b2", "a3", "d2", "e3"})},
        {"queen d4 empty", queen_attacks(sq("d4"), 0), ORTHOGONAL_RAYS[sq("d4")] | DIAGONAL_RAYS[sq("d4")]},
    };
    for (const Row& row : rows) EXPECT_EQ(row.actual, row.expected) << row.name;
}

TEST(AttackTables, PairTablesAreSymmetricAndEmptyOnTheDiagonal) {
    for (unsigned a = 0; a < 64; ++a) {
        EXPECT_EQ(SQUARES_BETWEEN[a][a], 0u);
        EXPECT_EQ(LINE_THROUGH[a][a], 0u);
        for (unsigned b = 0; b < 64; ++b) {
            EXPECT_EQ(SQUARES_BETWEEN[a][b], SQUARES_BETWEEN[b][a]);
            EXPECT_EQ(LINE_THROUGH[a][b], LINE_THROUGH[b][a]);
            // The segment lies on the line, and a line holds both of its squares.
            EXPECT_EQ(SQUARES_BETWEEN[a][b] & ~LINE_THROUGH[a][b], 0u);
            if (LINE_THROUGH[a][b]) {
                EXPECT_TRUE(contains(LINE_THROUGH[a][b], a) && contains(LINE_THROUGH[a][b], b));
            }
        }
    }
}

TEST(AttackTables, SlotLayout) {
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("a1")].slot_base, 2560u);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("b1")].slot_base, 6656u);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("a2")].slot_base, 23040u);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("d4")].slot_base, 47616u);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("h8")].slot_base, 100864u);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("a1")].relevant_mask, 0x000101010101017EULL);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("d4")].relevant_mask, 0x0008080876080800ULL);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("h8")].relevant_mask, 0x7E80808080808000ULL);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("a1")].shift, 52);
    EXPECT_EQ(ROOK_MAGIC_ENTRIES[sq("d4")].shift, 54);
    EXPECT_EQ(BISHOP_MAGIC_ENTRIES[sq("a1")].relevant_mask, 0x0040201008040200ULL);
    EXPECT_EQ(BISHOP_MAGIC_ENTRIES[sq("d4")].relevant_mask, 0x0040221400142200ULL);
    EXPECT_EQ(BISHOP_MAGIC_ENTRIES[sq("e4")].relevant_mask, 0x0002442800284400ULL);
    EXPECT_EQ(BISHOP_MAGIC_ENTRIES[sq("d4")].shift, 55);
    EXPECT_EQ(BISHOP_MAGIC_ENTRIES[sq("b1")].shift, 59);
    for (const auto& e : BISHOP_MAGIC_ENTRIES) EXPECT_LE(e.slot_base + (1u << (64 - e.shift)), BISHOP_SLOTS);
    EXPECT_EQ(SLIDER_ATTACK_SLOTS.size(), 104960u);
}

// Every (square, subset of the relevant mask) pair of both sliders reproduces the walked set:
// 102,400 rook pairs and 5,248 bishop pairs.
TEST(AttackTables, EverySliderSubsetMatchesTheWalk) {
    std::size_t rook_pairs = 0, bishop_pairs = 0;
    for (unsigned s = 0; s < 64; ++s) {
        for (const bool rook : {true, false}) {
            const Bitboard mask = rook ? ROOK_MAGIC_ENTRIES[s].relevant_mask : BISHOP_MAGIC_ENTRIES[s].relevant_mask;
            Bitboard subset = 0;
            do {
                // Squares outside the relevant mask, and the square itself, must not matter.
                const Bitboard noise = (~mask & ~square_bb(s)) & 0x8100000000000081ULL;
                if (rook) {
                    ++rook_pairs;
                    ASSERT_EQ(rook_attacks(s, subset), walk_rook_attacks(s, subset)) << s << " " << subset;
                    ASSERT_EQ(rook_attacks(s, subset | noise | square_bb(s)), walk_rook_attacks(s, subset | noise));
                } else {
                    ++bishop_pairs;
                    ASSERT_EQ(bishop_attacks(s, subset), walk_bishop_attacks(s, subset)) << s << " " << subset;
                    ASSERT_EQ(bishop_attacks(s, subset | noise | square_bb(s)), walk_bishop_attacks(s, subset | noise));
                }
                subset = (subset - mask) & mask;
            } while (subset != 0);
        }
    }
    EXPECT_EQ(rook_pairs, 102400u);
    EXPECT_EQ(bishop_pairs, 5248u);
}

TEST(AttackTables, LeaperTablesAreSymmetric) {
    // A knight or king on a attacks b exactly when one on b attacks a; pawn captures mirror by colour.
    for (unsigned a = 0; a < 64; ++a)
        for (unsigned b = 0; b < 64; ++b) {
            EXPECT_EQ(contains(KNIGHT_TARGETS[a], b), contains(KNIGHT_TARGETS[b], a));
            EXPECT_EQ(contains(KING_TARGETS[a], b), contains(KING_TARGETS[b], a));
            EXPECT_EQ(contains(PAWN_CAPTURE_TARGETS[0][a], b), contains(PAWN_CAPTURE_TARGETS[1][b], a));
        }
}

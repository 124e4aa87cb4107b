// The rules written once in game/ and batch/ that everything else reads: the policy slots of
// moves and move codes.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "batch.hpp"
#include "game/action_slots.hpp"

namespace {

using namespace quellor;
using namespace quellor::batch;
using chess::Color;

// Every code, for either side: the plain codes fill 0..4095 once each, and a promotion's slot
// depends on its from-square and piece alone, the 64 x 4 of them filling the rest once each.
TEST(ActionSlots, MoveCodesFillEverySlot) {
    for (const Color side : {Color::White, Color::Black}) {
        std::vector<int> plain(PROMOTION_BASE, 0);
        std::map<std::pair<std::int64_t, std::int64_t>, int> promotion;  // (from, k) -> slot
        std::vector<int> promotion_hits(ACTION_COUNT - PROMOTION_BASE, 0);
        for (std::int64_t code = 0; code < MOVE_CODE_COUNT; ++code) {
            const int slot = code_slot(code, side);
            ASSERT_GE(slot, 0);
            ASSERT_LT(slot, ACTION_COUNT);
            const std::int64_t k = code / 4096, from = code % 4096 / 64;
            if (k == 0) {
                ASSERT_LT(slot, PROMOTION_BASE) << code;
                ++plain[static_cast<std::size_t>(slot)];
                continue;
            }
            ASSERT_GE(slot, PROMOTION_BASE) << code;
            const auto [at, fresh] = promotion.emplace(std::pair{from, k}, slot);
            ASSERT_EQ(at->second, slot) << "code " << code << " left its promotion's slot";
            if (fresh) ++promotion_hits[static_cast<std::size_t>(slot - PROMOTION_BASE)];
        }
        for (const int hits : plain) EXPECT_EQ(hits, 1);
        for (const int hits : promotion_hits) EXPECT_EQ(hits, 1);
    }
}

// Slots read back to the squares and the piece they were made from, as the mover sees them.
TEST(ActionSlots, SlotsReadBack) {
    for (int slot = 0; slot < ACTION_COUNT; ++slot) {
        if (is_promotion_slot(slot)) {
            EXPECT_EQ(promotion_slot(slot_from(slot), slot_kind(slot)), slot);
            EXPECT_LT(slot_kind(slot), 4u);
        } else {
            EXPECT_EQ(plain_slot(slot_from(slot), slot_to(slot)), slot);
        }
        EXPECT_LT(slot_from(slot), 64u);
    }
}

struct KnownSlot {
    const char* uci;
    Color side;
    int slot;
};

class KnownSlots : public ::testing::TestWithParam<KnownSlot> {};

// A few moves worked out by hand: Black's moves read as White's mirror image, a promotion's slot
// is its pawn's square and piece (queen, rook, bishop, knight).
TEST_P(KnownSlots, AsWorkedOut) {
    const KnownSlot& c = GetParam();
    const auto move = chess::ChessMove::from_str(c.uci);
    ASSERT_TRUE(move);
    EXPECT_EQ(action_index(c.side, *move), c.slot);
    EXPECT_EQ(code_slot(move_code(*move), c.side), c.slot);
}

INSTANTIATE_TEST_SUITE_P(Table, KnownSlots,
                         ::testing::Values(KnownSlot{"e2e4", Color::White, 12 * 64 + 28},
                                           KnownSlot{"e7e5", Color::Black, 12 * 64 + 28},
                                           KnownSlot{"g1f3", Color::White, 6 * 64 + 21},
                                           KnownSlot{"g8f6", Color::Black, 6 * 64 + 21},
                                           KnownSlot{"a7a8q", Color::White, 4096 + 48 * 4 + 0},
                                           KnownSlot{"a7b8r", Color::White, 4096 + 48 * 4 + 1},
                                           KnownSlot{"h2h1b", Color::Black, 4096 + 55 * 4 + 2},
                                           KnownSlot{"a2b1n", Color::Black, 4096 + 48 * 4 + 3}));

TEST(ActionSlots, NoSlotForAPromotionToPawnOrKing) {
    for (const chess::Piece p : {chess::Piece::Pawn, chess::Piece::King}) {
        const chess::ChessMove move{chess::Square(48u), chess::Square(56u), p};
        EXPECT_FALSE(action_index(Color::White, move).has_value());
    }
}

}  // namespace

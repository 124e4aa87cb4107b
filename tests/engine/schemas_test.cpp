// The rules written once in game/ and batch/ that everything else reads: the policy slots of
// moves and move codes, and which earlier frames make an observation (as the batch reads its
// own frames and as stored rows are rebuilt).

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "batch.hpp"
#include "held_batch.hpp"
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

// The frames' plies walked back one of the mover's turns (two plies, "own") or one ply
// ("history") at a time, never before the first.
TEST(FramePly, WalksBackAndStopsAtTheFirst) {
    for (std::uint64_t p = 0; p < 40; ++p) {
        std::uint64_t own = p, history = p;
        for (std::uint64_t back = 0; back < HISTORY_LEN; ++back) {
            EXPECT_EQ(frame_ply(ObservationMode::Own, p, back), own) << p << " " << back;
            EXPECT_EQ(frame_ply(ObservationMode::History, p, back), history) << p << " " << back;
            if (own >= 2) own -= 2;
            if (history >= 1) history -= 1;
        }
    }
}

using OneBatch = test_helpers::HeldBatch;

class RebuildPacked : public ::testing::TestWithParam<ObservationMode> {};

// Games played at random and stored as the shards keep them (each row the mover's newest frame,
// its castling flags and its ply, games one after another): every row rebuilds to the packed
// observation the batch gave at that ply.
TEST_P(RebuildPacked, GivesTheBatchsObservations) {
    Config config;
    config.n = 3;
    config.observation = GetParam();
    config.max_plies = 45;
    config.seed = 7;
    OneBatch played(config);
    std::vector<std::vector<std::int64_t>> newest(config.n), packed(config.n);
    std::vector<std::vector<std::int32_t>> plies(config.n);
    std::vector<std::int64_t> all(config.n * Batch::PACKED_WORDS), actions(config.n);
    while (!played.batch.all_finished()) {
        played.batch.packed_observation(all.data());
        for (std::size_t i = 0; i < config.n; ++i) {
            if (played.terminated[i] || played.truncated[i]) continue;
            const std::int64_t* words = all.data() + i * Batch::PACKED_WORDS;
            packed[i].insert(packed[i].end(), words, words + Batch::PACKED_WORDS);
            const std::int64_t* frame = words + (HISTORY_LEN - 1) * PLANE_CHANNELS;
            newest[i].insert(newest[i].end(), frame, frame + PLANE_CHANNELS);
            newest[i].push_back(words[Batch::PACKED_WORDS - 1]);
            plies[i].push_back(static_cast<std::int32_t>(played.plies[i]));
        }
        played.batch.random_actions(actions.data());
        std::copy(actions.begin(), actions.end(), played.batch.actions());
        ASSERT_FALSE(played.batch.step(false).has_value());
    }

    std::vector<std::int64_t> frames, expected;
    std::vector<std::uint8_t> castling;
    std::vector<std::int32_t> ply;
    for (std::size_t i = 0; i < config.n; ++i) {
        for (std::size_t r = 0; r < plies[i].size(); ++r) {
            const std::int64_t* row = newest[i].data() + r * (PLANE_CHANNELS + 1);
            frames.insert(frames.end(), row, row + PLANE_CHANNELS);
            castling.push_back(static_cast<std::uint8_t>(row[PLANE_CHANNELS]));
        }
        ply.insert(ply.end(), plies[i].begin(), plies[i].end());
        expected.insert(expected.end(), packed[i].begin(), packed[i].end());
    }
    ASSERT_GT(ply.size(), 60u);
    // Every row in reverse order, the second half named from the end as Python would.
    const std::size_t total = ply.size();
    std::vector<std::int64_t> rows(total);
    for (std::size_t j = 0; j < total; ++j) {
        const auto r = static_cast<std::int64_t>(total - 1 - j);
        rows[j] = j % 2 ? r - static_cast<std::int64_t>(total) : r;
    }
    std::vector<std::int64_t> out(total * Batch::PACKED_WORDS, -1);
    ASSERT_FALSE(rebuild_packed(config.observation, frames.data(), castling.data(), ply.data(), total, rows.data(),
                                total, out.data())
                     .has_value());
    for (std::size_t j = 0; j < total; ++j) {
        const std::size_t r = total - 1 - j;
        for (std::size_t w = 0; w < Batch::PACKED_WORDS; ++w)
            ASSERT_EQ(out[j * Batch::PACKED_WORDS + w], expected[r * Batch::PACKED_WORDS + w]) << "row " << r << " word " << w;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RebuildPacked, ::testing::Values(ObservationMode::Own, ObservationMode::History),
                         [](const auto& info) { return std::string(OBSERVATION_NAMES[static_cast<std::size_t>(info.param)]); });

// Rows that are not stored, or whose ply reaches back past the first row, are refused before
// anything is written.
TEST(RebuildPackedRefusal, NamesTheFirstBadRow) {
    const std::vector<std::int64_t> frames(3 * PLANE_CHANNELS, 5);
    const std::vector<std::uint8_t> castling(3, 1);
    const std::vector<std::int32_t> ply = {0, 1, 3};
    struct Case {
        std::vector<std::int64_t> rows;
        std::size_t j;
        bool out_of_range;
    } cases[] = {{{0, 3}, 1, true}, {{1, -4}, 1, true}, {{1, 2}, 1, false}, {{-1, 0}, 0, false}};
    for (const Case& c : cases) {
        std::vector<std::int64_t> out(c.rows.size() * Batch::PACKED_WORDS, -1);
        const auto refusal =
            rebuild_packed(ObservationMode::Own, frames.data(), castling.data(), ply.data(), 3, c.rows.data(),
                           c.rows.size(), out.data());
        ASSERT_TRUE(refusal.has_value());
        EXPECT_EQ(refusal->j, c.j);
        EXPECT_EQ(refusal->out_of_range, c.out_of_range);
        EXPECT_EQ(out, std::vector<std::int64_t>(out.size(), -1));
    }
}

}  // namespace

// Batch::play_random split into several calls: the binding plays long runs in rounds, with
// Python's signals looked at in between, and a run must end the same however it was split.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "batch.hpp"
#include "held_batch.hpp"

namespace {

using namespace quellor::batch;

using Played = test_helpers::HeldBatch;

struct SplitCase {
    Rules rules;
    ObservationMode observation;
    bool auto_reset;
    std::uint64_t max_plies;
    std::vector<std::uint64_t> rounds;  // one run split into calls of these many steps
};

class PlayRandomSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(PlayRandomSplit, EndsAsOneCall) {
    const SplitCase& c = GetParam();
    Config config;
    config.n = 13;
    config.rules = c.rules;
    config.observation = c.observation;
    config.auto_reset = c.auto_reset;
    config.max_plies = c.max_plies;
    config.seed = 99;
    config.threads = 3;
    Played whole(config), split(config);

    std::uint64_t total = 0;
    for (std::uint64_t k : c.rounds) total += k;
    const Tally one = whole.batch.play_random(total);
    Tally sum;
    for (std::uint64_t k : c.rounds) {
        const Tally t = split.batch.play_random(k);
        sum.plies += t.plies;
        sum.white_wins += t.white_wins;
        sum.black_wins += t.black_wins;
        sum.draws += t.draws;
        sum.truncations += t.truncations;
    }
    EXPECT_TRUE(split.same_outputs(whole));
    EXPECT_EQ(sum.plies, one.plies);
    EXPECT_EQ(sum.white_wins, one.white_wins);
    EXPECT_EQ(sum.black_wins, one.black_wins);
    EXPECT_EQ(sum.draws, one.draws);
    EXPECT_EQ(sum.truncations, one.truncations);
    EXPECT_EQ(split.batch.all_finished(), whole.batch.all_finished());
}

// Splits inside a game's first frames, across the frame ring's length, across auto-resets and
// across games that ended (a round that stops early must leave what the later steps would).
INSTANTIATE_TEST_SUITE_P(
    Rounds, PlayRandomSplit,
    ::testing::Values(SplitCase{Rules::Dark, ObservationMode::Own, false, 0, {1, 2, 3}},
                      SplitCase{Rules::Dark, ObservationMode::Own, true, 40, {7, 16, 1, 33, 50}},
                      SplitCase{Rules::Legal, ObservationMode::History, true, 25, {17, 17, 17, 17}},
                      SplitCase{Rules::Legal, ObservationMode::Own, false, 30, {29, 1, 5, 100}},
                      SplitCase{Rules::Dark, ObservationMode::History, false, 12, {12, 1000000}},
                      SplitCase{Rules::Dark, ObservationMode::Own, false, 0, {300, 300, 300}}),
    // Named by their settings: the default name prints the case's bytes, pointers included.
    [](const ::testing::TestParamInfo<SplitCase>& info) {
        const SplitCase& c = info.param;
        std::ostringstream name;
        name << RULES_NAMES[static_cast<std::size_t>(c.rules)] << '_'
             << OBSERVATION_NAMES[static_cast<std::size_t>(c.observation)] << (c.auto_reset ? "_reset" : "")
             << "_cap" << c.max_plies;
        for (std::uint64_t k : c.rounds) name << '_' << k;
        return name.str();
    });

// Games that stay over take no time, however many steps are asked for: without the early stop
// this run would take ages, not fail.
TEST(PlayRandom, FinishedGamesReturnAtOnce) {
    Config config;
    config.n = 5;
    config.max_plies = 3;
    Played run(config);
    EXPECT_EQ(run.batch.play_random(3).plies, 15u);
    ASSERT_TRUE(run.batch.all_finished());
    EXPECT_EQ(run.batch.play_random(UINT64_MAX).plies, 0u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(run.last_move[i], -1);
        EXPECT_EQ(run.rewards[2 * i], 0.0f);
    }
}

}  // namespace

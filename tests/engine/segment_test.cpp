// The segment's round loop without Python: games played in lanes turn by turn, the rows that come
// out in game then ply order, and games handed on to the next segment, more of them than it has
// lanes, played again move for move.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "held_batch.hpp"
#include "segment.hpp"

namespace {

using namespace quellor::batch;

// A shard's arrays, sized by finish() and written by assemble().
struct Shard {
    std::vector<std::int64_t> frame, game, carry_game, carry_white, carry_black;
    std::vector<std::uint8_t> castling, mask, white, player, game_ending, game_white, game_black, carry_player;
    std::vector<std::int16_t> action, move, carry_move, carry_action;
    std::vector<float> logp, carry_logp;
    std::vector<std::int8_t> value, game_result;
    std::vector<std::int32_t> ply, game_plies, carry_plies;
    std::vector<std::int64_t> game_index;

    void write(Segment& s, bool carries) {
        const Segment::Sizes sizes = s.finish();
        const std::size_t rows = sizes.rows, games = s.required(), handed = sizes.started - s.required();
        frame.resize(rows * FRAME_WORDS);
        castling.resize(rows);
        mask.resize(rows * MASK_BYTES);
        for (auto* v : {&action, &move}) v->resize(rows);
        logp.resize(rows);
        white.resize(rows);
        player.resize(rows);
        value.resize(rows);
        game.resize(rows);
        ply.resize(rows);
        game_index.resize(games);
        game_plies.resize(games);
        game_result.resize(games);
        for (auto* v : {&game_ending, &game_white, &game_black}) v->resize(games);
        ShardOut out{{frame.data(), castling.data(), mask.data(), action.data(), move.data(), logp.data(), white.data(),
                      value.data(), game.data(), ply.data(), player.data()},
                     {game_index.data(), game_plies.data(), game_result.data(), game_ending.data(), game_white.data(),
                      game_black.data()},
                     {}};
        if (carries) {
            for (auto* v : {&carry_game, &carry_white, &carry_black}) v->resize(handed);
            carry_plies.resize(handed);
            for (auto* v : {&carry_move, &carry_action}) v->resize(sizes.carried_rows);
            carry_logp.resize(sizes.carried_rows);
            carry_player.resize(sizes.carried_rows);
            out.carried[0] = carry_game.data();
            out.carried[1] = carry_white.data();
            out.carried[2] = carry_black.data();
            out.carried[3] = carry_plies.data();
            out.carried[4] = carry_move.data();
            out.carried[5] = carry_action.data();
            out.carried[6] = carry_logp.data();
            out.carried[7] = carry_player.data();
        }
        s.assemble(out);
    }
};

// Plays the segment to its end, each turn's games taking the batch's random draw, each with a
// log-probability that names its game and ply; returns the (game, ply) -> move each row played.
std::map<std::pair<std::int64_t, std::int32_t>, std::int16_t> play_out(test_helpers::HeldBatch& held, Segment& s) {
    std::map<std::pair<std::int64_t, std::int32_t>, std::int16_t> played;
    std::vector<std::int64_t> all(held.batch.size()), live, rows, slots, ended, started, idle;
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::int64_t>(i);
    s.settle(all.data(), all.size(), ended, started, idle);
    std::vector<std::size_t> counts;
    std::vector<std::int64_t> drawn(held.batch.size());
    while (const auto unit = s.next_turn(live, counts)) {
        const std::size_t k = live.size();
        std::vector<std::int64_t> newest(k * Batch::NEWEST_WORDS), actions(k);
        std::vector<std::uint8_t> bits(k * MASK_BYTES), players;
        std::vector<float> log_probs(k);
        held.batch.gather(live.data(), k, nullptr, nullptr, bits.data(), newest.data(), rows, slots);
        held.batch.random_actions(drawn.data());
        for (std::size_t i = 0; i < counts.size(); ++i) players.insert(players.end(), counts[i], s.unit(*unit)[i]);
        for (std::size_t j = 0; j < k; ++j) {
            const auto lane = static_cast<std::size_t>(live[j]);
            actions[j] = drawn[lane];
            log_probs[j] = static_cast<float>(s.entry(static_cast<std::size_t>(s.job(lane))).game * 1000 +
                                              held.batch.game(lane).plies);
        }
        s.record(live.data(), k, actions.data(), log_probs.data(), players.data(), newest.data(), bits.data());
        EXPECT_FALSE(s.play(live.data(), k, actions.data(), false));
        for (std::size_t j = 0; j < k; ++j) {
            const Game& g = held.batch.game(static_cast<std::size_t>(live[j]));
            played[{s.entry(static_cast<std::size_t>(s.job(static_cast<std::size_t>(live[j])))).game,
                    static_cast<std::int32_t>(g.plies) - 1}] = static_cast<std::int16_t>(g.last_move);
        }
        s.settle(live.data(), k, ended, started, idle);
    }
    return played;
}

class SegmentRounds : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

// Every game's rows come out whole, in game then ply order, each as its turn recorded it, the
// players alternating as the entries say; the games started early come out as handed on.
TEST_P(SegmentRounds, RowsComeOutByGameAndPly) {
    const auto [lanes, games] = GetParam();
    Config config;
    config.n = lanes;
    config.max_plies = 24;
    config.seed = lanes * 31 + games;
    test_helpers::HeldBatch held(config);
    std::vector<Entry> entries;
    for (std::size_t e = 0; e < games + 4; ++e)
        entries.push_back({static_cast<std::int64_t>(100 - e), static_cast<std::uint8_t>(e % 2),
                           static_cast<std::uint8_t>(1 - e % 2)});
    Segment s(held.batch, entries, games, {{0}, {1}});
    const auto played = play_out(held, s);
    Shard shard;
    shard.write(s, true);
    ASSERT_EQ(shard.game_index.size(), games);
    std::size_t r = 0;
    for (std::size_t i = 0; i < games; ++i) {
        // Game indices descend with the entries: the shard lists them ascending.
        const std::int64_t game = shard.game_index[i];
        EXPECT_EQ(game, static_cast<std::int64_t>(100 - (games - 1) + i));
        for (std::int32_t p = 0; p < shard.game_plies[i]; ++p, ++r) {
            ASSERT_LT(r, shard.ply.size());
            EXPECT_EQ(shard.game[r], game);
            EXPECT_EQ(shard.ply[r], p);
            EXPECT_EQ(shard.logp[r], static_cast<float>(game * 1000 + p));
            EXPECT_EQ(shard.move[r], played.at({game, p}));
            const std::size_t e = static_cast<std::size_t>(100 - game);
            EXPECT_EQ(shard.player[r], p % 2 == 0 ? entries[e].white : entries[e].black);
            EXPECT_EQ(shard.value[r], p % 2 == 0 ? shard.game_result[i] : -shard.game_result[i]);
        }
    }
    EXPECT_EQ(r, shard.ply.size());
    std::size_t at = 0;
    for (std::size_t c = 0; c < shard.carry_game.size(); ++c)
        for (std::int32_t p = 0; p < shard.carry_plies[c]; ++p, ++at)
            EXPECT_EQ(shard.carry_move[at], played.at({shard.carry_game[c], p}));
    EXPECT_EQ(at, shard.carry_move.size());
}

INSTANTIATE_TEST_SUITE_P(Lanes, SegmentRounds,
                         ::testing::Values(std::make_tuple(1, 3), std::make_tuple(4, 4), std::make_tuple(3, 11),
                                           std::make_tuple(8, 5)));

// Games handed on are played again move for move as lanes take them, however few the lanes.
TEST(SegmentCarried, MoreCarriedGamesThanLanesAreEachReplayedWhole) {
    Config config;
    config.n = 6;
    config.max_plies = 20;
    config.seed = 5;
    test_helpers::HeldBatch first(config);
    std::vector<Entry> entries;
    for (std::int64_t g = 0; g < 12; ++g) entries.push_back({g, 0, 0});
    Segment one(first.batch, entries, 6, {{0}});
    play_out(first, one);
    Shard handed;
    handed.write(one, true);
    ASSERT_GT(handed.carry_game.size(), 2u);

    for (const std::size_t lanes : {1u, 2u}) {
        config.n = lanes;
        test_helpers::HeldBatch second(config);
        std::vector<Entry> carried;
        for (const std::int64_t g : handed.carry_game) carried.push_back({g, 0, 0});
        const std::size_t count = carried.size();
        Segment two(second.batch, carried, count, {{0}});
        two.hand_in({handed.carry_plies, handed.carry_move, handed.carry_action, handed.carry_logp,
                     handed.carry_player});
        // Replays what a lane takes before anything is decided in it.
        std::vector<std::int64_t> lane_list(lanes), live, moves, actions, rows, slots;
        for (std::size_t i = 0; i < lanes; ++i) lane_list[i] = static_cast<std::int64_t>(i);
        std::vector<float> log_probs;
        std::vector<std::uint8_t> players;
        for (std::size_t p = 0; two.carried_ply(lane_list, p, live, moves, actions, log_probs, players); ++p) {
            std::vector<std::int64_t> newest(live.size() * Batch::NEWEST_WORDS);
            std::vector<std::uint8_t> bits(live.size() * MASK_BYTES);
            second.batch.gather(live.data(), live.size(), nullptr, nullptr, bits.data(), newest.data(), rows, slots);
            two.record(live.data(), live.size(), actions.data(), log_probs.data(), players.data(), newest.data(),
                       bits.data());
            ASSERT_FALSE(two.play(live.data(), live.size(), moves.data(), true));
        }
        // The lanes' first games stand where they were handed on.
        for (std::size_t i = 0; i < lanes; ++i)
            EXPECT_EQ(second.batch.game(i).plies, static_cast<std::uint64_t>(handed.carry_plies[i]));
    }
}

}  // namespace

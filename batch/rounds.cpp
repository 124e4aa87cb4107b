#include "rounds.hpp"

#include <cstring>

namespace quellor::batch {

namespace {

// The player to move in the game of slot `slot`, which plays entry `job`.
std::uint8_t mover(const Batch& batch, const Schedule& schedule, std::size_t slot, std::int64_t job) {
    const bool white = batch.game(slot).board.side_to_move == chess::Color::White;
    return white ? schedule.white_of[job] : schedule.black_of[job];
}

}  // namespace

bool players_turn(const Batch& batch, const Schedule& schedule, std::uint8_t player, std::vector<std::int64_t>& live) {
    live.clear();
    bool own = false;
    for (std::size_t slot = 0; slot < batch.size(); ++slot) {
        const std::int64_t job = schedule.job[slot];
        if (job < 0 || batch.game(slot).finished()) continue;
        own |= static_cast<std::size_t>(job) < schedule.required;
        if (mover(batch, schedule, slot, job) == player) live.push_back(static_cast<std::int64_t>(slot));
    }
    if (!own) live.clear();
    return own;
}

void record_rows(const Batch& batch, const Schedule& schedule, const std::int64_t* live, std::size_t k,
                 const std::int64_t* actions, const float* log_probs, const std::uint8_t* players,
                 const std::int64_t* newest, const std::uint8_t* bits, const RowsOut& out) {
    for (std::size_t j = 0; j < k; ++j) {
        const auto slot = static_cast<std::size_t>(live[j]);
        const Game& g = batch.game(slot);
        out.job[j] = schedule.job[slot];
        out.ply[j] = static_cast<std::int32_t>(g.plies);
        out.white[j] = g.board.side_to_move == chess::Color::White;
        out.action[j] = static_cast<std::int16_t>(actions[j]);
        out.logp[j] = log_probs[j];
        out.player[j] = players[j];
        const std::int64_t* words = newest + j * Batch::NEWEST_WORDS;
        std::memcpy(out.frame + j * FRAME_WORDS, words, FRAME_WORDS * sizeof(std::int64_t));
        out.castling[j] = static_cast<std::uint8_t>(words[FRAME_WORDS]);
        std::memcpy(out.mask + j * MASK_BYTES, bits + j * MASK_BYTES, MASK_BYTES);
    }
}

std::optional<Refusal> play_turn(Batch& batch, const std::int64_t* live, std::size_t k, const std::int64_t* actions,
                                 bool exact_moves, std::int16_t* moves) {
    std::vector<std::uint8_t> stepped(batch.size(), 0);
    std::int64_t* entries = batch.actions();
    std::fill(entries, entries + batch.size(), 0);
    for (std::size_t j = 0; j < k; ++j) {
        entries[live[j]] = actions[j];
        stepped[static_cast<std::size_t>(live[j])] = 1;
    }
    if (auto refusal = batch.step(exact_moves, stepped.data())) return refusal;
    for (std::size_t j = 0; j < k; ++j)
        moves[j] = static_cast<std::int16_t>(batch.game(static_cast<std::size_t>(live[j])).last_move);
    return std::nullopt;
}

void settle(Batch& batch, const Schedule& schedule, const std::int64_t* candidates, std::size_t k, Settled& out) {
    out.ended.clear();
    out.started.clear();
    out.idle.clear();
    std::vector<std::int64_t> check(candidates, candidates + k);
    std::vector<std::uint8_t> restart(batch.size(), 0);
    while (!check.empty()) {
        std::vector<std::int64_t> fresh;
        for (const std::int64_t s : check) {
            const auto slot = static_cast<std::size_t>(s);
            const Game& g = batch.game(slot);
            if (!g.finished()) continue;
            const std::int64_t job = schedule.job[slot];
            schedule.results[job] = g.winner;
            schedule.endings[job] = static_cast<std::uint8_t>(g.ending);
            schedule.lengths[job] = static_cast<std::int32_t>(g.plies);
            out.ended.push_back(job);
            if (static_cast<std::size_t>(*schedule.waiting) < schedule.total) {
                schedule.job[slot] = (*schedule.waiting)++;
                fresh.push_back(s);
            } else {
                schedule.job[slot] = -1;
                out.idle.push_back(s);
            }
        }
        if (fresh.empty()) break;
        std::fill(restart.begin(), restart.end(), 0);
        for (const std::int64_t s : fresh) restart[static_cast<std::size_t>(s)] = 1;
        batch.reset(std::nullopt, restart.data());
        out.started.insert(out.started.end(), fresh.begin(), fresh.end());
        check = std::move(fresh);
    }
}

}  // namespace quellor::batch

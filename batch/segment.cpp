#include "segment.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>

namespace quellor::batch {

void Segment::Rows::resize(std::size_t n) {
    job.resize(n);
    ply.resize(n);
    white.resize(n);
    action.resize(n);
    move.resize(n);
    logp.resize(n);
    player.resize(n);
    frame.resize(n * FRAME_WORDS);
    castling.resize(n);
    mask.resize(n * MASK_BYTES);
}

Segment::Segment(Batch& batch, std::vector<Entry> entries, std::size_t required,
                 std::vector<std::vector<std::uint8_t>> units)
    : batch_(batch),
      entries_(std::move(entries)),
      required_(required),
      units_(std::move(units)),
      job_(batch.size()),
      waiting_(batch.size()),
      results_(entries_.size(), 0),
      endings_(entries_.size(), 0),
      lengths_(entries_.size(), 0),
      stepped_(batch.size(), 0) {
    if (batch.size() > entries_.size() || required_ > entries_.size())
        throw std::invalid_argument("a segment needs an entry for every lane");
    std::iota(job_.begin(), job_.end(), std::int64_t{0});
}

std::uint8_t Segment::mover(std::size_t lane) const {
    const Entry& e = entries_[static_cast<std::size_t>(job_[lane])];
    return batch_.game(lane).board.side_to_move == chess::Color::White ? e.white : e.black;
}

std::optional<std::size_t> Segment::next_turn(std::vector<std::int64_t>& live, std::vector<std::size_t>& counts) {
    while (!done_) {
        if (next_unit_ == units_.size()) {
            // A round in which nobody moved ends the segment: every game left is idle.
            if (!moved_) break;
            next_unit_ = 0;
            moved_ = false;
        }
        const std::size_t u = next_unit_++;
        live.clear();
        counts.assign(units_[u].size(), 0);
        bool own = false;
        for (std::size_t i = 0; i < units_[u].size(); ++i) {
            for (std::size_t lane = 0; lane < batch_.size(); ++lane) {
                const std::int64_t job = job_[lane];
                if (job < 0 || batch_.game(lane).finished()) continue;
                own |= static_cast<std::size_t>(job) < required_;
                if (mover(lane) == units_[u][i]) {
                    live.push_back(static_cast<std::int64_t>(lane));
                    ++counts[i];
                }
            }
        }
        // Once the segment's own games are done, the early ones left going are handed on as they
        // stand.
        if (!own) break;
        if (live.empty()) continue;
        moved_ = true;
        return u;
    }
    done_ = true;
    live.clear();
    counts.clear();
    return std::nullopt;
}

void Segment::record(const std::int64_t* live, std::size_t k, const std::int64_t* actions, const float* log_probs,
                     const std::uint8_t* players, const std::int64_t* newest, const std::uint8_t* bits) {
    const std::size_t at = rows_.size();
    rows_.resize(at + k);
    for (std::size_t j = 0; j < k; ++j) {
        const auto lane = static_cast<std::size_t>(live[j]);
        const Game& g = batch_.game(lane);
        const std::size_t r = at + j;
        rows_.job[r] = job_[lane];
        rows_.ply[r] = static_cast<std::int32_t>(g.plies);
        rows_.white[r] = g.board.side_to_move == chess::Color::White;
        rows_.action[r] = static_cast<std::int16_t>(actions[j]);
        rows_.move[r] = -1;
        rows_.logp[r] = log_probs[j];
        rows_.player[r] = players[j];
        const std::int64_t* words = newest + j * Batch::NEWEST_WORDS;
        std::memcpy(&rows_.frame[r * FRAME_WORDS], words, FRAME_WORDS * sizeof(std::int64_t));
        rows_.castling[r] = static_cast<std::uint8_t>(words[FRAME_WORDS]);
        std::memcpy(&rows_.mask[r * MASK_BYTES], bits + j * MASK_BYTES, MASK_BYTES);
    }
}

std::optional<Refusal> Segment::play(const std::int64_t* live, std::size_t k, const std::int64_t* actions,
                                     bool exact_moves) {
    std::int64_t* entries = batch_.actions();
    std::fill(entries, entries + batch_.size(), 0);
    std::fill(stepped_.begin(), stepped_.end(), 0);
    for (std::size_t j = 0; j < k; ++j) {
        entries[live[j]] = actions[j];
        stepped_[static_cast<std::size_t>(live[j])] = 1;
    }
    if (auto refusal = batch_.step(exact_moves, stepped_.data())) {
        rows_.resize(rows_.size() - std::min(k, rows_.size()));
        return refusal;
    }
    const std::size_t at = rows_.size() - k;
    for (std::size_t j = 0; j < k; ++j)
        rows_.move[at + j] = static_cast<std::int16_t>(batch_.game(static_cast<std::size_t>(live[j])).last_move);
    return std::nullopt;
}

void Segment::settle(const std::int64_t* candidates, std::size_t k, std::vector<std::int64_t>& ended,
                     std::vector<std::int64_t>& started, std::vector<std::int64_t>& idle) {
    ended.clear();
    started.clear();
    idle.clear();
    std::vector<std::int64_t> check(candidates, candidates + k);
    std::fill(stepped_.begin(), stepped_.end(), 0);
    while (!check.empty()) {
        std::vector<std::int64_t> fresh;
        for (const std::int64_t s : check) {
            const auto lane = static_cast<std::size_t>(s);
            const Game& g = batch_.game(lane);
            if (job_[lane] < 0 || !g.finished()) continue;
            const auto job = static_cast<std::size_t>(job_[lane]);
            results_[job] = g.winner;
            endings_[job] = static_cast<std::uint8_t>(g.ending);
            lengths_[job] = static_cast<std::int32_t>(g.plies);
            ended.push_back(static_cast<std::int64_t>(job));
            if (waiting_ < entries_.size()) {
                job_[lane] = static_cast<std::int64_t>(waiting_++);
                fresh.push_back(s);
            } else {
                job_[lane] = -1;
                idle.push_back(s);
            }
        }
        if (fresh.empty()) break;
        std::vector<std::uint8_t> restart(batch_.size(), 0);
        for (const std::int64_t s : fresh) restart[static_cast<std::size_t>(s)] = 1;
        batch_.reset(std::nullopt, restart.data());
        for (const std::int64_t s : fresh) {
            // A lane whose new game ended at once starts again: it is listed once.
            if (!stepped_[static_cast<std::size_t>(s)]) started.push_back(s);
            stepped_[static_cast<std::size_t>(s)] = 1;
        }
        check = std::move(fresh);
    }
}

void Segment::hand_in(const Carried& carried) {
    std::size_t rows = 0;
    for (const std::int32_t p : carried.plies) {
        if (p < 0) throw std::invalid_argument("carried: a game of fewer than no plies");
        rows += static_cast<std::size_t>(p);
    }
    if (carried.plies.size() > required_ || rows != carried.moves.size() || rows != carried.actions.size() ||
        rows != carried.log_probs.size() || rows != carried.players.size())
        throw std::invalid_argument("carried: " + std::to_string(carried.plies.size()) + " games of " +
                                    std::to_string(carried.moves.size()) + " moves do not fit the segment's entries");
    carried_.plies.assign(carried.plies.begin(), carried.plies.end());
    carried_.at.assign(carried.plies.size(), 0);
    for (std::size_t c = 1; c < carried.plies.size(); ++c)
        carried_.at[c] = carried_.at[c - 1] + static_cast<std::size_t>(carried.plies[c - 1]);
    carried_.moves.assign(carried.moves.begin(), carried.moves.end());
    carried_.actions.assign(carried.actions.begin(), carried.actions.end());
    carried_.log_probs.assign(carried.log_probs.begin(), carried.log_probs.end());
    carried_.players.assign(carried.players.begin(), carried.players.end());
}

bool Segment::carried_ply(const std::vector<std::int64_t>& lanes, std::size_t ply, std::vector<std::int64_t>& live,
                          std::vector<std::int64_t>& moves, std::vector<std::int64_t>& actions,
                          std::vector<float>& log_probs, std::vector<std::uint8_t>& players) const {
    live.clear();
    moves.clear();
    actions.clear();
    log_probs.clear();
    players.clear();
    for (const std::int64_t s : lanes) {
        const auto lane = static_cast<std::size_t>(s);
        const std::int64_t job = job_[lane];
        if (job < 0 || static_cast<std::size_t>(job) >= carried_.plies.size()) continue;
        const auto c = static_cast<std::size_t>(job);
        if (static_cast<std::size_t>(carried_.plies[c]) <= ply) continue;
        if (batch_.game(lane).finished())
            throw std::invalid_argument("carried game " + std::to_string(entries_[c].game) + " ended before its move " +
                                        std::to_string(ply));
        const std::size_t at = carried_.at[c] + ply;
        live.push_back(s);
        moves.push_back(carried_.moves[at]);
        actions.push_back(carried_.actions[at]);
        log_probs.push_back(carried_.log_probs[at]);
        players.push_back(carried_.players[at]);
    }
    return !live.empty();
}

Segment::Sizes Segment::finish() {
    done_ = true;
    for (std::size_t lane = 0; lane < batch_.size(); ++lane)
        if (job_[lane] >= 0 && static_cast<std::size_t>(job_[lane]) >= required_)
            lengths_[static_cast<std::size_t>(job_[lane])] = static_cast<std::int32_t>(batch_.game(lane).plies);
    started_ = std::min(waiting_, entries_.size());
    Sizes sizes{0, 0, started_};
    for (std::size_t e = 0; e < required_; ++e) sizes.rows += static_cast<std::size_t>(lengths_[e]);
    for (std::size_t e = required_; e < started_; ++e) sizes.carried_rows += static_cast<std::size_t>(lengths_[e]);
    return sizes;
}

namespace {

template <class T>
T* as(void* p) {
    return static_cast<T*>(p);
}

}  // namespace

void Segment::assemble(const ShardOut& out) const {
    // The shard's games in game order (carried games come first among the entries), each game's
    // rows from where the games before it end; the early games' rows after theirs, in entry
    // order (which is game order).
    std::vector<std::size_t> order(required_);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return entries_[a].game < entries_[b].game; });
    std::vector<std::int64_t> starts(entries_.size(), 0);
    std::int64_t total = 0, early = 0;
    for (const std::size_t e : order) {
        starts[e] = total;
        total += lengths_[e];
    }
    for (std::size_t e = required_; e < started_; ++e) {
        starts[e] = early;
        early += lengths_[e];
    }
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(total + early), 0);
    std::int64_t own = 0;
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        const auto e = static_cast<std::size_t>(rows_.job[r]);
        const std::int64_t at = starts[e] + rows_.ply[r];
        const bool mine = e < required_;
        own += mine;
        const bool inside = e < started_ && rows_.ply[r] < lengths_[e];
        if (!inside || seen[static_cast<std::size_t>(at + (mine ? 0 : total))]++) {
            own = -1;
            break;
        }
    }
    if (own != total || std::count(seen.begin(), seen.end(), 1) != total + early)
        throw std::logic_error("a segment recorded " + std::to_string(own) + " rows for games of " +
                               std::to_string(total) + " plies");

    for (std::size_t r = 0; r < rows_.size(); ++r) {
        const auto e = static_cast<std::size_t>(rows_.job[r]);
        const auto at = static_cast<std::size_t>(starts[e] + rows_.ply[r]);
        if (e >= required_) {
            // The rows of games handed on go where the caller asked for them, if it did.
            if (out.carried[4] == nullptr) continue;
            as<std::int16_t>(out.carried[4])[at] = rows_.move[r];
            as<std::int16_t>(out.carried[5])[at] = rows_.action[r];
            as<float>(out.carried[6])[at] = rows_.logp[r];
            as<std::uint8_t>(out.carried[7])[at] = rows_.player[r];
            continue;
        }
        std::memcpy(as<std::int64_t>(out.rows[FRAME]) + at * FRAME_WORDS, &rows_.frame[r * FRAME_WORDS],
                    FRAME_WORDS * sizeof(std::int64_t));
        as<std::uint8_t>(out.rows[CASTLING])[at] = rows_.castling[r];
        std::memcpy(as<std::uint8_t>(out.rows[MASK]) + at * MASK_BYTES, &rows_.mask[r * MASK_BYTES], MASK_BYTES);
        as<std::int16_t>(out.rows[ACTION])[at] = rows_.action[r];
        as<std::int16_t>(out.rows[MOVE])[at] = rows_.move[r];
        as<float>(out.rows[LOGP])[at] = rows_.logp[r];
        as<std::uint8_t>(out.rows[WHITE])[at] = rows_.white[r];
        as<std::int8_t>(out.rows[VALUE])[at] =
            static_cast<std::int8_t>(rows_.white[r] ? results_[e] : -results_[e]);
        as<std::int64_t>(out.rows[GAME])[at] = entries_[e].game;
        as<std::int32_t>(out.rows[PLY])[at] = rows_.ply[r];
        as<std::uint8_t>(out.rows[PLAYER])[at] = rows_.player[r];
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Entry& e = entries_[order[i]];
        as<std::int64_t>(out.games[0])[i] = e.game;
        as<std::int32_t>(out.games[1])[i] = lengths_[order[i]];
        as<std::int8_t>(out.games[2])[i] = results_[order[i]];
        as<std::uint8_t>(out.games[3])[i] = endings_[order[i]];
        as<std::uint8_t>(out.games[4])[i] = e.white;
        as<std::uint8_t>(out.games[5])[i] = e.black;
    }
    if (out.carried[0] == nullptr) return;
    for (std::size_t e = required_; e < started_; ++e) {
        const std::size_t i = e - required_;
        as<std::int64_t>(out.carried[0])[i] = entries_[e].game;
        as<std::int64_t>(out.carried[1])[i] = entries_[e].white;
        as<std::int64_t>(out.carried[2])[i] = entries_[e].black;
        as<std::int32_t>(out.carried[3])[i] = lengths_[e];
    }
}

}  // namespace quellor::batch

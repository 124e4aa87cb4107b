#include "batch.hpp"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <new>
#include <utility>

#include "chess/make_move.hpp"
#include "chess/movegen/pext_tables.hpp"
#include "chess/splitmix.hpp"
#include "slots.hpp"

namespace quellor::batch {

using chess::Bitboard;
using chess::ChessMove;
using chess::Color;
using chess::MoveGen;
using chess::Piece;

namespace {

// ---------------------------------------------------------------------------------------------
// Random streams: splitmix64, one 64-bit state per game.

using chess::splitmix64_mix;
using chess::splitmix64_next;

// Game i's stream depends on the seed and i alone, so results do not depend on the threads.
constexpr std::uint64_t stream_start(std::uint64_t seed, std::size_t game) {
    return splitmix64_mix(seed ^ splitmix64_mix(0xD1B54A32D192ED03ULL * (static_cast<std::uint64_t>(game) + 1)));
}

// Uniform in [0, bound), bound > 0, without bias (Lemire's multiply and reject).
inline std::uint64_t uniform(std::uint64_t& state, std::uint64_t bound) {
    unsigned __int128 m = static_cast<unsigned __int128>(splitmix64_next(state)) * bound;
    auto low = static_cast<std::uint64_t>(m);
    if (low < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(splitmix64_next(state)) * bound;
            low = static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<std::uint64_t>(m >> 64);
}

// ---------------------------------------------------------------------------------------------
// Slots of generated moves (the mapping is game/action_slots.hpp's). A promoting pawn's group
// owns four slots (queen, rook, bishop, knight), each of which plays the group's first
// destination; every other destination is a slot of its own.

// Inlined into their callers, so that the popcnt build of a hot loop counts with the instruction.
[[gnu::always_inline]] inline std::size_t slot_count(const MoveGen& gen) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < gen.group_count(); ++i) {
        const chess::MoveGroup& g = gen.group(i);
        n += g.promotes ? 4 : static_cast<std::size_t>(chess::popcount(g.targets));
    }
    return n;
}

#if defined(__x86_64__)
// Read once at load, as the engine's own PEXT builds are chosen.
const bool FAST_PDEP = chess::detail::pext_fast();
#endif

// The square of t's j-th lowest set bit, j < popcount(t). PDEP deposits the one-hot word 1 << j
// onto t's bits in one instruction where the CPU runs it fast; the loop elsewhere, whose trip
// count is a random slot and so a branch the CPU mispredicts.
[[gnu::always_inline]] inline unsigned nth_square(Bitboard t, std::size_t j) {
#if defined(__x86_64__)
    if (FAST_PDEP) return chess::lsb(chess::detail::PextLookups::deposit(Bitboard{1} << j, t));
#endif
    for (; j > 0; --j) t &= t - 1;
    return chess::lsb(t);
}

// Slot j of one group (source `s`, destinations `t`) when j falls within it; otherwise lowers j
// by the group's slots and returns -1.
[[gnu::always_inline]] inline std::int64_t take(unsigned s, Bitboard t, bool promotes, unsigned flip, std::size_t& j,
                                                ChessMove& move) {
    if (promotes) {
        if (j < 4) {
            move = ChessMove{chess::Square(s), chess::Square(chess::lsb(t)), promotion_piece(unsigned(j))};
            return promotion_slot(s ^ flip, unsigned(j));
        }
        j -= 4;
        return -1;
    }
    const auto count = static_cast<std::size_t>(chess::popcount(t));
    if (j >= count) {
        j -= count;
        return -1;
    }
    const unsigned to = nth_square(t, j);
    move = ChessMove{chess::Square(s), chess::Square(to), std::nullopt};
    return plain_slot(s ^ flip, to ^ flip);
}

// The j-th slot (j < slot_count) and the move it plays.
[[gnu::always_inline]] inline std::int64_t pick(const MoveGen& gen, std::size_t j, Color us, ChessMove& move) {
    const unsigned flip = view_flip(us);
    for (std::size_t i = 0;; ++i) {
        const chess::MoveGroup& g = gen.group(i);
        if (const std::int64_t slot = take(g.source, g.targets, g.promotes, flip, j, move); slot >= 0) return slot;
    }
}

// The square an en-passant capture of the side to move lands on, as a set; empty for none.
Bitboard en_passant_target(const chess::Board& b) {
    if (!b.ep_square) return 0;
    return chess::square_bb(b.side_to_move == Color::White ? *b.ep_square + 8u : *b.ep_square - 8u);
}

// Writes the moves of `gen` into g's mask and into its twin, in one pass over the groups. En
// passant may give a pawn a second group, whose destination no other group of a pawn holds (it
// is empty, and diagonal from the pawn); a pawn that promotes never has one.
[[gnu::always_inline]] inline void record_moves(Game& g, const MoveGen& gen, std::uint8_t* mask) {
    std::memset(mask, 0, ACTION_COUNT);
    g.destinations.fill(0);
    g.promoting = 0;
    const unsigned flip = view_flip(g.board.side_to_move);
    std::size_t slots = 0;
    for (std::size_t i = 0; i < gen.group_count(); ++i) {
        const chess::MoveGroup& group = gen.group(i);
        const unsigned from = group.source ^ flip;
        g.destinations[group.source] |= group.targets;
        if (group.promotes) {
            g.promoting |= group.source.bb();
            std::memset(mask + promotion_slot(from, 0), 1, PROMOTION_KINDS);
            slots += 4;
            continue;
        }
        slots += static_cast<std::size_t>(chess::popcount(group.targets));
    }
    // A source's row of the mask, 64 bytes, one 8-byte word a rank from its destinations (all
    // of its groups': en passant may give a pawn two); the rows of promoting pawns stay empty.
    // Word by word rather than bit by bit: how many destinations a group has is a branch the CPU
    // mispredicts. Black's rows read the board from its side: ranks reversed.
    for (std::size_t i = 0; i < gen.group_count(); ++i) {
        const unsigned source = gen.group(i).source;
        if (gen.group(i).promotes) continue;
        const Bitboard all = g.destinations[source];
        const Bitboard seen_from = flip ? __builtin_bswap64(all) : all;
        std::uint8_t* row = mask + plain_slot(source ^ flip, 0);
        for (unsigned rank = 0; rank < 8; ++rank) {
            const std::uint64_t word = detail::SPREAD[(seen_from >> (8 * rank)) & 0xFF];
            std::memcpy(row + 8 * rank, &word, sizeof word);
        }
    }
    g.slots = static_cast<std::uint16_t>(slots);
}

// pick() for the fog-of-war generator, from its summary: the group is the last one whose first
// slot is at most j, counted without a branch on j (a random slot, which the CPU could not
// predict).
[[gnu::always_inline]] inline std::int64_t pick_summarised(const MoveGen& gen, const MoveGen::Summary& summary,
                                                           std::size_t j, Color us, ChessMove& move) {
    std::size_t i = 0;
    for (std::size_t k = 1; k < gen.group_count(); ++k) i += summary.first_slot[k] <= j;
    const chess::MoveGroup& g = gen.group(i);
    j -= summary.first_slot[i];
    return take(g.source, g.targets, g.promotes, view_flip(us), j, move);
}

// pick() without the generator: the j-th slot (j < g.slots) read off g's twin, which holds the
// groups' destinations by source. The generators hand out groups as pawns (unpinned, then
// pinned), en-passant captures, knights, bishops, rooks and queens (unpinned, then pinned each)
// and the king, sources ascending within each; the fog-of-war generator ignores pins.
[[gnu::always_inline]] inline std::int64_t pick_remembered(const Game& g, bool pins, std::size_t j, ChessMove& move) {
    const chess::Board& b = g.board;
    const unsigned flip = view_flip(b.side_to_move);
    const Bitboard own = b.pieces(b.side_to_move);
    const Bitboard pinned = pins ? b.pinned : 0;
    const Bitboard ep = en_passant_target(b);
    std::int64_t slot = -1;
    const auto run = [&](Bitboard sources, Bitboard keep) {
        while (sources) {
            const unsigned s = chess::pop_lsb(sources);
            const Bitboard t = g.destinations[s] & keep;
            if (t && (slot = take(s, t, chess::contains(g.promoting, s), flip, j, move)) >= 0) return true;
        }
        return false;
    };
    const Bitboard pawns = own & b.pieces(Piece::Pawn);
    if (run(pawns & ~pinned, ~ep) || run(pawns & pinned, ~ep) || run(pawns, ep)) return slot;
    for (const Piece kind : {Piece::Knight, Piece::Bishop, Piece::Rook, Piece::Queen}) {
        const Bitboard pieces = own & b.pieces(kind);
        if (run(pieces & ~pinned, ~Bitboard{0}) || run(pieces & pinned, ~Bitboard{0})) return slot;
    }
    run(own & b.pieces(Piece::King), ~Bitboard{0});
    assert(slot >= 0);
    return slot;
}

void forget_moves(Game& g) {
    g.destinations.fill(0);
    g.promoting = 0;
    g.slots = 0;
}

// Converts to the MoveGen its call returns, so that std::optional::emplace(Built{...}) builds
// the generator in place instead of copying its groups.
template <class F>
struct Built {
    F make;
    operator MoveGen() const { return make(); }
};
template <class F>
Built(F) -> Built<F>;

}  // namespace

// =============================================================================================
// Construction and reset

Batch::Batch(const Config& config, std::vector<chess::Board> starts, std::vector<std::uint32_t> start_of_game,
             const Outputs& outputs)
    : config_(config),
      starts_(std::move(starts)),
      games_(config.n),
      out_(outputs),
      actions_(config.n),
      pool_(std::max<std::size_t>(1, std::min(config.threads, config.n))) {
    for (std::size_t i = 0; i < games_.size(); ++i) games_[i].start = start_of_game.empty() ? 0 : start_of_game[i];
    reset(config.seed, nullptr);
}

Batch::Batch(const Batch& other, const Outputs& outputs)
    : config_(other.config_),
      starts_(other.starts_),
      games_(other.games_),
      out_(outputs),
      actions_(other.config_.n),
      pool_(other.pool_.size()) {
    std::memcpy(out_.rewards, other.out_.rewards, games_.size() * 2 * sizeof(float));
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) write_outputs(i, nullptr);
    });
}

std::size_t Batch::bytes_per_game() const {
    // The game record, its share of the start positions, and its entry of the action scratch.
    return sizeof(Game) + (starts_.size() * sizeof(chess::Board) + games_.size() - 1) / games_.size() +
           sizeof(std::int64_t);
}

MoveGen Batch::generate(const chess::Board& b) const {
    return config_.rules == Rules::Legal ? MoveGen::generate(b) : MoveGen::generate_pseudo_legal(b);
}

MoveGen Batch::generate(const chess::Board& b, Arrival& arrival) const {
    // One named result, built in place from either generator, so that nothing is copied.
    const bool legal = config_.rules == Rules::Legal;
    MoveGen::Summary& summary = arrival.summary;
    MoveGen gen = legal ? MoveGen::generate(b) : MoveGen::generate_pseudo_legal(b, summary);
    if (legal) {
        arrival.seen = visible_squares(b);
        arrival.slots = slot_count(gen);
    } else {
        arrival.seen = visible_squares(b, summary);
        arrival.slots = summary.plain_moves + 4 * summary.promoting_pawns;
    }
    return gen;
}

void Batch::restart(Game& g) {
    g.board = starts_[g.start];
    g.plies = 0;
    g.terminated = g.truncated = false;
    g.winner = 0;
    g.ending = Ending::None;
    g.last_move = -1;
    Arrival arrival;
    const MoveGen gen = generate(g.board, arrival);
    make_frame(g.board, arrival.seen, g.frames[0]);
    // A start position may already leave the side to move without a move.
    if (gen.group_count() == 0) {
        g.terminated = true;
        g.ending = Ending::Stalemate;
        if (config_.rules == Rules::Legal && g.board.checkers) {
            g.winner = g.board.side_to_move == Color::White ? -1 : 1;
            g.ending = Ending::Checkmate;
        }
    }
}

void Batch::reset(std::optional<std::uint64_t> seed, const std::uint8_t* games) {
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) { reset_range(begin, end, seed, games); });
}

QUELLOR_HOT void Batch::reset_range(std::size_t begin, std::size_t end, std::optional<std::uint64_t> seed,
                                    const std::uint8_t* games) {
    for (std::size_t i = begin; i < end; ++i) {
        if (games && !games[i]) continue;
        Game& g = games_[i];
        if (seed) g.rng = stream_start(*seed, i);
        restart(g);
        out_.rewards[2 * i] = out_.rewards[2 * i + 1] = 0.0f;
        write_outputs(i, nullptr);
    }
}

// =============================================================================================
// Outputs

void Batch::frames_of(const Game& g, const std::uint8_t* out[HISTORY_LEN]) const {
    for (std::size_t k = 0; k < HISTORY_LEN; ++k)
        out[k] = g.frames[frame_ply(config_.observation, g.plies, HISTORY_LEN - 1 - k) % FRAME_RING].data();
}

void Batch::write_state(std::size_t i) {
    const Game& g = games_[i];
    out_.to_move[i] = g.board.side_to_move == Color::White;
    out_.terminated[i] = g.terminated;
    out_.truncated[i] = g.truncated;
    out_.plies[i] = static_cast<std::int64_t>(g.plies);
    out_.last_move[i] = g.last_move;
    out_.ending[i] = static_cast<std::int8_t>(g.ending);
    out_.result[i] = g.winner;
}

QUELLOR_HOT void Batch::write_outputs(std::size_t i, const MoveGen* gen) {
    Game& g = games_[i];
    write_state(i);

    std::uint8_t* mask = out_.mask + i * ACTION_COUNT;
    if (g.finished()) {
        std::memset(mask, 0, ACTION_COUNT);
        forget_moves(g);
    } else if (gen) {
        record_moves(g, *gen, mask);
    } else {
        record_moves(g, generate(g.board), mask);
    }
    write_observation(i);
}

void Batch::write_observations() {
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) write_observation(i);
    });
}

void Batch::write_observation(std::size_t i) {
    const Game& g = games_[i];

    const std::uint8_t* frames[HISTORY_LEN];
    frames_of(g, frames);
    const chess::CastleRights rights = g.board.castle_rights[chess::index(g.board.side_to_move)];
    const std::size_t offset = i * OBS_ROWS * OBS_COLS;
    if (config_.dtype == Dtype::Float32)
        quellor::write_observation(frames, rights.king_side(), rights.queen_side(),
                                 static_cast<float*>(out_.observation) + offset);
    else
        quellor::write_observation_bytes(frames, rights.king_side(), rights.queen_side(),
                                         static_cast<std::uint8_t*>(out_.observation) + offset);
}

// =============================================================================================
// Playing

MoveGen Batch::advance(Game& g, const ChessMove& move, float rewards[2], Arrival& arrival) {
    const Color us = g.board.side_to_move;
    if (config_.rules == Rules::Legal) chess::apply_move_unchecked(g.board, move);
    else chess::apply_pseudo_legal_move(g.board, move);
    ++g.plies;
    g.last_move = move_code(move);
    rewards[0] = rewards[1] = 0.0f;

    MoveGen gen = generate(g.board, arrival);
    const std::int8_t mover = us == Color::White ? 1 : -1;
    if (!g.board.pieces(~us, Piece::King)) {
        g.terminated = true;
        g.winner = mover;
        g.ending = Ending::KingCaptured;
    } else if (gen.group_count() == 0) {
        g.terminated = true;
        g.ending = Ending::Stalemate;
        // Under the legal rules a side without a move is mated when in check; otherwise (and
        // always under the fog-of-war rules) the game is drawn.
        if (config_.rules == Rules::Legal && g.board.checkers) {
            g.winner = mover;
            g.ending = Ending::Checkmate;
        }
    } else if (config_.max_plies && g.plies >= config_.max_plies) {
        g.truncated = true;
        g.ending = Ending::PlyCap;
    }
    if (g.terminated && g.winner) {
        rewards[0] = g.winner;
        rewards[1] = -g.winner;
    }
    return gen;
}

bool Batch::resolve(const Game& g, std::int64_t value, bool exact_moves, ChessMove& move) const {
    if (exact_moves) {
        const ChessMove named = code_move(value);
        if (!chess::contains(g.destinations[named.from_square], named.to_square) ||
            chess::contains(g.promoting, named.from_square) != named.promotion.has_value())
            return false;
        move = named;
        return true;
    }
    const unsigned flip = view_flip(g.board.side_to_move);
    if (!is_promotion_slot(value)) {
        const unsigned from = slot_from(value) ^ flip, to = slot_to(value) ^ flip;
        if (!chess::contains(g.destinations[from], to) || chess::contains(g.promoting, from)) return false;
        move = ChessMove{chess::Square(from), chess::Square(to), std::nullopt};
        return true;
    }
    // A promoting slot plays the pawn's first destination.
    const unsigned from = slot_from(value) ^ flip;
    if (!chess::contains(g.promoting, from)) return false;
    move = ChessMove{chess::Square(from), chess::Square(chess::lsb(g.destinations[from])),
                     promotion_piece(slot_kind(value))};
    return true;
}

std::optional<Refusal> Batch::step(bool exact_moves, const std::uint8_t* games) {
    const std::int64_t limit = exact_moves ? MOVE_CODE_COUNT : ACTION_COUNT;
    std::atomic<std::size_t> first_bad{games_.size()};
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) {
        const std::size_t bad = resolve_range(begin, end, exact_moves, games);
        std::size_t cur = first_bad.load(std::memory_order_relaxed);
        while (bad < cur && !first_bad.compare_exchange_weak(cur, bad, std::memory_order_relaxed)) {
        }
    });
    if (const std::size_t bad = first_bad.load(); bad < games_.size()) {
        const std::int64_t value = actions_[bad];
        return Refusal{bad, value, value < 0 || value >= limit};
    }
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) { play_range(begin, end, games); });
    return std::nullopt;
}

QUELLOR_HOT std::size_t Batch::resolve_range(std::size_t begin, std::size_t end, bool exact_moves,
                                             const std::uint8_t* games) {
    const std::int64_t limit = exact_moves ? MOVE_CODE_COUNT : ACTION_COUNT;
    for (std::size_t i = begin; i < end; ++i) {
        Game& g = games_[i];
        if (g.finished() || (games && !games[i])) continue;
        const std::int64_t value = actions_[i];
        if (value < 0 || value >= limit || !resolve(g, value, exact_moves, g.pending)) return i;
    }
    return games_.size();
}

QUELLOR_HOT void Batch::play_range(std::size_t begin, std::size_t end, const std::uint8_t* games) {
    for (std::size_t i = begin; i < end; ++i) {
        Game& g = games_[i];
        float* rewards = &out_.rewards[2 * i];
        if (games && !games[i]) {
            rewards[0] = rewards[1] = 0.0f;
            g.last_move = -1;
            out_.last_move[i] = -1;
            continue;
        }
        if (g.finished()) {
            rewards[0] = rewards[1] = 0.0f;
            g.last_move = -1;
            if (config_.auto_reset) {
                restart(g);
                write_outputs(i, nullptr);
            } else {
                out_.last_move[i] = -1;
            }
            continue;
        }
        Arrival arrival;
        const MoveGen gen = advance(g, g.pending, rewards, arrival);
        make_frame(g.board, arrival.seen, g.frames[g.plies % FRAME_RING]);
        write_outputs(i, &gen);
    }
}

void Batch::random_actions(std::int64_t* out) {
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) { random_range(begin, end, out); });
}

QUELLOR_HOT void Batch::random_range(std::size_t begin, std::size_t end, std::int64_t* out) {
    for (std::size_t i = begin; i < end; ++i) {
        Game& g = games_[i];
        if (g.finished()) {
            out[i] = -1;
            continue;
        }
        ChessMove move;
        out[i] = pick_remembered(g, config_.rules == Rules::Legal, uniform(g.rng, g.slots), move);
    }
}

Tally Batch::play_random(std::uint64_t steps) {
    std::vector<Tally> tallies(pool_.size());
    std::atomic<std::size_t> next_tally{0};
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) {
        play_random_range(begin, end, steps, tallies[next_tally.fetch_add(1)]);
    });
    Tally sum;
    for (const Tally& t : tallies) {
        sum.plies += t.plies;
        sum.white_wins += t.white_wins;
        sum.black_wins += t.black_wins;
        sum.draws += t.draws;
        sum.truncations += t.truncations;
    }
    return sum;
}

// Game by game: each game's steps depend on nothing else, and its position stays in cache.
// Only the frames of a game's last FRAME_RING plies can ever be read, so each ply keeps what
// its frame is made from and the frames are made once, at the end.
QUELLOR_HOT void Batch::play_random_range(std::size_t begin, std::size_t end, std::uint64_t steps, Tally& tally) {
    std::array<FrameSource, FRAME_RING> sources;
    for (std::size_t i = begin; i < end; ++i) {
        Game& g = games_[i];
        float* rewards = &out_.rewards[2 * i];
        std::optional<MoveGen> gen;
        Arrival arrival;  // of the position gen holds the moves of
        std::uint64_t first_kept = g.plies + 1;  // the frames up to g.plies exist already
        for (std::uint64_t s = 0; s < steps; ++s) {
            if (g.finished()) {
                rewards[0] = rewards[1] = 0.0f;
                g.last_move = -1;
                // Every further step of a game that stays over changes nothing: a caller asking
                // for 2**63 of them must not wait for them.
                if (!config_.auto_reset) break;
                restart(g);
                first_kept = 1;
                gen.reset();
                continue;
            }
            if (!gen) gen.emplace(Built{[&] { return generate(g.board, arrival); }});
            ChessMove move;
            const std::size_t j = uniform(g.rng, arrival.slots);
            if (config_.rules == Rules::Legal) pick(*gen, j, g.board.side_to_move, move);
            else pick_summarised(*gen, arrival.summary, j, g.board.side_to_move, move);
            gen.emplace(Built{[&] { return advance(g, move, rewards, arrival); }});
            // With auto_reset the frames read at the end were all made in the call's last
            // FRAME_RING steps (a restart in between starts the window again); a game that
            // stops when it ends may end at any step.
            if (!config_.auto_reset || steps - s <= FRAME_RING)
                sources[g.plies % FRAME_RING] = FrameSource(g.board, arrival.seen);
            ++tally.plies;
            if (g.terminated) {
                if (g.winner > 0) ++tally.white_wins;
                else if (g.winner < 0) ++tally.black_wins;
                else ++tally.draws;
            } else if (g.truncated) {
                ++tally.truncations;
            }
        }
        const std::uint64_t oldest = g.plies >= FRAME_RING ? g.plies - FRAME_RING + 1 : 0;
        for (std::uint64_t q = std::max(first_kept, oldest); q <= g.plies; ++q)
            make_frame(sources[q % FRAME_RING], g.frames[q % FRAME_RING]);
        write_outputs(i, g.finished() || !gen ? nullptr : &*gen);
    }
}

// =============================================================================================
// Queries of one game

bool Batch::all_finished() const {
    for (const Game& g : games_)
        if (!g.finished()) return false;
    return true;
}

std::vector<std::int32_t> Batch::legal_move_codes(std::size_t i) const {
    const Game& g = games_[i];
    std::vector<std::int32_t> codes;
    if (g.finished()) return codes;
    MoveGen gen = generate(g.board);
    codes.reserve(gen.len());
    while (const auto move = gen.next()) codes.push_back(move_code(*move));
    return codes;
}

std::string Batch::fen(std::size_t i) const {
    const Game& g = games_[i];
    const std::uint64_t start_ply = starts_[g.start].side_to_move == Color::White ? 0 : 1;
    return g.board.to_fen(1 + (g.plies + start_ply) / 2);
}

std::size_t Batch::planes(std::size_t i, std::uint8_t* out) const {
    const Game& g = games_[i];
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(HISTORY_LEN, g.plies + 1));
    for (std::size_t j = 0; j < count; ++j, out += PLANE_LEN) {
        const Frame& f = g.frames[(g.plies + 1 - count + j) % FRAME_RING];
        std::memset(out, 0, PLANE_LEN);
        for (std::size_t r = 0; r < 64; ++r)
            if (f[r] < PLANE_CHANNELS) out[r * PLANE_CHANNELS + f[r]] = 1;
    }
    return count;
}

void Batch::packed_observation(std::int64_t* out) {
    pool_.run(games_.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Game& g = games_[i];
            const std::uint8_t* frames[HISTORY_LEN];
            frames_of(g, frames);
            std::int64_t* words = out + i * PACKED_WORDS;
            for (std::size_t k = 0; k < HISTORY_LEN; ++k) {
                std::uint64_t bits[PLANE_CHANNELS];
                Frame f;
                std::memcpy(f.data(), frames[k], f.size());
                pack_frame(f, bits);
                for (std::size_t c = 0; c < PLANE_CHANNELS; ++c)
                    words[k * PLANE_CHANNELS + c] = static_cast<std::int64_t>(bits[c]);
            }
            const chess::CastleRights rights = g.board.castle_rights[chess::index(g.board.side_to_move)];
            words[PACKED_WORDS - 1] = (rights.king_side() ? 1 : 0) | (rights.queen_side() ? 2 : 0);
        }
    });
}

std::optional<RowRefusal> rebuild_packed(ObservationMode mode, const std::int64_t* frames, const std::uint8_t* castling,
                                         const std::int32_t* ply, std::size_t total, const std::int64_t* rows,
                                         std::size_t k, std::int64_t* out) {
    const auto stored = static_cast<std::int64_t>(total);
    const auto row_of = [&](std::int64_t r) { return r < 0 ? r + stored : r; };
    for (std::size_t j = 0; j < k; ++j) {
        const std::int64_t r = row_of(rows[j]);
        if (r < 0 || r >= stored) return RowRefusal{j, true};
        if (ply[r] < 0 || ply[r] > r) return RowRefusal{j, false};
    }
    for (std::size_t j = 0; j < k; ++j) {
        const std::int64_t r = row_of(rows[j]);
        const auto p = static_cast<std::uint64_t>(ply[r]);
        const std::int64_t first = r - ply[r];
        std::int64_t* words = out + j * Batch::PACKED_WORDS;
        for (std::size_t f = 0; f < HISTORY_LEN; ++f) {
            const auto q = static_cast<std::int64_t>(frame_ply(mode, p, HISTORY_LEN - 1 - f));
            std::memcpy(words + f * PLANE_CHANNELS, frames + static_cast<std::size_t>(first + q) * PLANE_CHANNELS,
                        PLANE_CHANNELS * sizeof(std::int64_t));
        }
        words[Batch::PACKED_WORDS - 1] = castling[r];
    }
    return std::nullopt;
}

void Batch::packed_newest(const std::int64_t* index, std::size_t k, std::int64_t* out) const {
    for (std::size_t j = 0; j < k; ++j) {
        const Game& g = games_[static_cast<std::size_t>(index[j])];
        const std::uint8_t* frames[HISTORY_LEN];
        frames_of(g, frames);
        Frame f;
        std::memcpy(f.data(), frames[HISTORY_LEN - 1], f.size());
        std::uint64_t bits[PLANE_CHANNELS];
        pack_frame(f, bits);
        std::int64_t* words = out + j * NEWEST_WORDS;
        for (std::size_t c = 0; c < PLANE_CHANNELS; ++c) words[c] = static_cast<std::int64_t>(bits[c]);
        const chess::CastleRights rights = g.board.castle_rights[chess::index(g.board.side_to_move)];
        words[PLANE_CHANNELS] = (rights.king_side() ? 1 : 0) | (rights.queen_side() ? 2 : 0);
    }
}

void Batch::gather(const std::int64_t* index, std::size_t k, void* observations, std::uint8_t* codes,
                   std::uint8_t* bits, std::int64_t* newest, std::vector<std::int64_t>& rows,
                   std::vector<std::int64_t>& slots) const {
    if (observations != nullptr) {
        const std::size_t bytes = OBS_ROWS * OBS_COLS * (config_.dtype == Dtype::Float32 ? sizeof(float) : 1);
        const auto* from = static_cast<const std::uint8_t*>(out_.observation);
        auto* to = static_cast<std::uint8_t*>(observations);
        for (std::size_t j = 0; j < k; ++j)
            std::memcpy(to + j * bytes, from + static_cast<std::size_t>(index[j]) * bytes, bytes);
    }
    if (codes != nullptr) {
        for (std::size_t j = 0; j < k; ++j) {
            const Game& g = games_[static_cast<std::size_t>(index[j])];
            const std::uint8_t* frames[HISTORY_LEN];
            frames_of(g, frames);
            const chess::CastleRights rights = g.board.castle_rights[chess::index(g.board.side_to_move)];
            std::uint8_t* out = codes + j * OBS_ROWS * SQUARE_CODES;
            for (std::size_t r = 0; r < OBS_ROWS; ++r, out += SQUARE_CODES) {
                // A frame's code past its channels writes no channel (CODE_ROWS).
                for (std::size_t f = 0; f < HISTORY_LEN; ++f)
                    out[f] = std::min<std::uint8_t>(frames[f][r], static_cast<std::uint8_t>(PLANE_CHANNELS));
                out[HISTORY_LEN] = r == 0 ? rights.king_side() : r == 1 ? rights.queen_side() : 0;
            }
        }
    }
    static_assert(ACTION_COUNT % 16 == 0);
    gather_mask_rows(out_.mask, ACTION_COUNT, index, k, bits, rows, slots);
    packed_newest(index, k, newest);
}

}  // namespace quellor::batch

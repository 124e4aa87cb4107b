// The bookkeeping of a segment's rounds: which game each slot of a batch plays, which slots a
// player moves in, the rows each turn records and what happens as games end. The arena drives
// it once a player's turn; keeping it here spares a dozen array operations a turn in Python.
// No Python here; the module's binding hands these functions its buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "batch.hpp"

namespace quellor::batch {

// A segment's games ("entries") and the slots that play them, in the caller's memory. Entry e
// is played by player white_of[e] as White and black_of[e] as Black; the first `required`
// entries are the segment's own games, the rest may start once those have all started.
struct Schedule {
    std::int64_t* job;               // per slot: the entry it plays, -1 when idle
    const std::uint8_t* white_of;    // per entry
    const std::uint8_t* black_of;    // per entry
    std::size_t total;               // entries
    std::size_t required;
    std::int64_t* waiting;           // the next entry to start (one word)
    std::int8_t* results;            // per entry: White's result once it ended
    std::uint8_t* endings;           // per entry: how it ended (an index into ENDING_NAMES)
    std::int32_t* lengths;           // per entry: its plies once it ended
};

// Where record_rows() writes k rows, one per slot moved in.
struct RowsOut {
    std::int64_t* job;
    std::int32_t* ply;
    std::uint8_t* white;
    std::int16_t* action;
    float* logp;
    std::uint8_t* player;
    std::int64_t* frame;     // k x FRAME_WORDS: the mover's newest frame, a bitboard a channel
    std::uint8_t* castling;  // the mover's castling flags (bit 0 king side, bit 1 queen side)
    std::uint8_t* mask;      // k x MASK_BYTES: its legal slots, one bit each
};
inline constexpr std::size_t FRAME_WORDS = Batch::NEWEST_WORDS - 1;

// What settle() did: the entries that ended (in the order they ended), the slots that started
// a new entry (a slot once per start), and the slots left idle.
struct Settled {
    std::vector<std::int64_t> ended;
    std::vector<std::int64_t> started;
    std::vector<std::int64_t> idle;
};

// The slots, ascending, whose game is going and where `player` is to move. Returns false (and
// no slots) once none of the segment's own games is going: the entries started early are then
// handed on as they stand.
bool players_turn(const Batch& batch, const Schedule& schedule, std::uint8_t player, std::vector<std::int64_t>& live);

// The rows of the k games in slots `live` before their move: the entry, ply, side, the move's
// slot `actions[j]` and its log-probability, the mover's player, and the newest frame, castling
// flags and mask that Batch::gather() found for the turn (`newest`, NEWEST_WORDS a game, and
// `bits`, MASK_BYTES a game).
void record_rows(const Batch& batch, const Schedule& schedule, const std::int64_t* live, std::size_t k,
                 const std::int64_t* actions, const float* log_probs, const std::uint8_t* players,
                 const std::int64_t* newest, const std::uint8_t* bits, const RowsOut& out);

// Plays actions[j] (slots, or move codes when `exact_moves`) in the game of slot live[j] and no
// other, and writes the move each played (its code, as the core resolved it) to moves[j]. On a
// refusal nothing changes.
std::optional<Refusal> play_turn(Batch& batch, const std::int64_t* live, std::size_t k, const std::int64_t* actions,
                                 bool exact_moves, std::int16_t* moves);

// Ends the games of the slots among `candidates` that are over, in their order: notes how each
// ended, gives each slot the next entry (or leaves it idle once none is left) and restarts it,
// and does the same for restarted games that are over at once.
void settle(Batch& batch, const Schedule& schedule, const std::int64_t* candidates, std::size_t k, Settled& out);

}  // namespace quellor::batch

// A segment of self-play: a list of games played a fixed number at a time in one batch, in
// rounds. A round gives each unit of players in turn (a player, or networks that decide together)
// every game where one of them is to move at that moment; their decision is recorded as rows,
// played, and the games that end hand their lane to the next game of the list. At the end the
// rows come out in the shard's order: game by game, each game's rows in ply order.
//
// No Python here: the binding asks for a turn, has the players decide, and hands the decision
// back; it follows beliefs between a turn's moves and its endings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "batch.hpp"

namespace quellor::batch {

// The shard's row schema: a row per decision, in this order of fields. Stored files keep these
// names, types and widths; the Python package reads them from here.
struct RowField {
    std::string_view name;
    std::string_view dtype;  // numpy's type string
    std::size_t width;       // items a row (0: a scalar)
};
inline constexpr std::size_t FRAME_WORDS = Batch::NEWEST_WORDS - 1;
inline constexpr RowField ROW_SCHEMA[] = {
    {"frame", "<i8", FRAME_WORDS},  // the mover's newest frame, a bitboard a channel
    {"castling", "|u1", 0},         // the mover's castling flags (bit 0 king side, bit 1 queen side)
    {"mask", "|u1", MASK_BYTES},    // its legal slots, one bit each
    {"action", "<i2", 0},           // the slot chosen
    {"move", "<i2", 0},             // the move code played
    {"logp", "<f4", 0},             // the chosen slot's log-probability
    {"white", "|b1", 0},            // the mover is White
    {"value", "|i1", 0},            // the game's result from the mover's side
    {"game", "<i8", 0},             // the game's index
    {"ply", "<i4", 0},              // the decision's ply
    {"player", "|u1", 0},           // the player that chose
};
enum RowIndex : std::size_t { FRAME, CASTLING, MASK, ACTION, MOVE, LOGP, WHITE, VALUE, GAME, PLY, PLAYER, ROW_FIELDS };
static_assert(std::size(ROW_SCHEMA) == ROW_FIELDS);

// A row per game of the shard, and the games handed on to the next segment.
inline constexpr RowField GAME_SCHEMA[] = {
    {"game_index", "<i8", 0}, {"game_plies", "<i4", 0}, {"game_result", "|i1", 0},
    {"game_ending", "|u1", 0}, {"game_white", "|u1", 0}, {"game_black", "|u1", 0},
};
inline constexpr RowField CARRY_SCHEMA[] = {
    {"carry_game", "<i8", 0},   {"carry_white", "<i8", 0},  {"carry_black", "<i8", 0}, {"carry_plies", "<i4", 0},
    {"carry_move", "<i2", 0},   {"carry_action", "<i2", 0}, {"carry_logp", "<f4", 0},  {"carry_player", "|u1", 0},
};

// Where assemble() writes the shard: ROW_SCHEMA's fields for the shard's rows, GAME_SCHEMA's for
// its games and CARRY_SCHEMA's for the games handed on (game table, then their rows), all null
// when they are not wanted.
struct ShardOut {
    void* rows[ROW_FIELDS];
    void* games[std::size(GAME_SCHEMA)];
    void* carried[std::size(CARRY_SCHEMA)];
};

// A game of the list: its index in the run and its players.
struct Entry {
    std::int64_t game;
    std::uint8_t white;
    std::uint8_t black;
};

// The moves of games handed on by an earlier segment, played again as their lanes take them: per
// game its plies, then per ply of each game (game then ply order) the move code, slot,
// log-probability and player.
struct Carried {
    std::span<const std::int32_t> plies;
    std::span<const std::int16_t> moves;
    std::span<const std::int16_t> actions;
    std::span<const float> log_probs;
    std::span<const std::uint8_t> players;
};

class Segment {
public:
    // `entries` are the carried games, the segment's own, then games of the next segment it may
    // start once its own have all started; the first `required` are the shard's. The batch's
    // lanes take the first entries at once. `units` lists the players of each unit in the
    // order a round gives them their turn.
    Segment(Batch& batch, std::vector<Entry> entries, std::size_t required, std::vector<std::vector<std::uint8_t>> units);

    Batch& batch() { return batch_; }
    std::size_t unit_count() const { return units_.size(); }
    const std::vector<std::uint8_t>& unit(std::size_t u) const { return units_[u]; }
    // The entry lane s plays, -1 when idle.
    std::int64_t job(std::size_t lane) const { return job_[lane]; }
    const Entry& entry(std::size_t e) const { return entries_[e]; }
    std::size_t required() const { return required_; }

    // The next turn of the round: the unit to decide, its games' lanes (each player's in
    // ascending order, the players in the unit's order) and how many are each player's. Returns
    // nothing once none of the segment's own games goes on.
    std::optional<std::size_t> next_turn(std::vector<std::int64_t>& live, std::vector<std::size_t>& counts);

    // The rows of the k games in lanes `live` before their move: the slot chosen, its
    // log-probability, the mover's player, and the newest frames and packed masks that
    // Batch::gather() found for the turn.
    void record(const std::int64_t* live, std::size_t k, const std::int64_t* actions, const float* log_probs,
                const std::uint8_t* players, const std::int64_t* newest, const std::uint8_t* bits);
    // Plays actions[j] (slots, or move codes when `exact_moves`) in lane live[j]'s game alone and
    // notes the move each played on the rows record() just wrote. On a refusal nothing changes
    // but for those rows, which are taken back.
    std::optional<Refusal> play(const std::int64_t* live, std::size_t k, const std::int64_t* actions, bool exact_moves);

    // Ends the games over among the lanes `candidates`, in their order: notes how each ended,
    // gives its lane the next entry (or leaves it idle once none is left) and restarts it, and
    // does the same for restarted games that are over at once. `ended` receives the entries that
    // ended in the order they did, `started` the lanes that started a game (once each, in the
    // order they first did), `idle` the lanes left idle.
    void settle(const std::int64_t* candidates, std::size_t k, std::vector<std::int64_t>& ended,
                std::vector<std::int64_t>& started, std::vector<std::int64_t>& idle);

    // Takes the moves of the games handed on, which are the first entries: a lane that takes
    // one plays its moves again before anything else. Throws std::invalid_argument when they are
    // more games than the entries or their moves do not add up.
    void hand_in(const Carried& carried);
    // Of the lanes `lanes`, those whose carried game still has ply `ply` to replay, with that
    // ply's move codes, slots, log-probabilities and players; false when there are none. Throws
    // std::invalid_argument for a carried game that ended before its last move.
    bool carried_ply(const std::vector<std::int64_t>& lanes, std::size_t ply, std::vector<std::int64_t>& live,
                     std::vector<std::int64_t>& moves, std::vector<std::int64_t>& actions, std::vector<float>& log_probs,
                     std::vector<std::uint8_t>& players) const;

    // Once the rounds are done: the rows of the shard's games, of the games handed on, and how
    // many of the entries were started. Early games still going are handed on as they stand.
    struct Sizes {
        std::size_t rows, carried_rows, started;
    };
    Sizes finish();
    // Writes the shard (see ShardOut); throws std::logic_error if a game's rows were not each
    // recorded once.
    void assemble(const ShardOut& out) const;
    // Entries that ended and the plies of each, for a caller counting games as they end.
    std::int32_t length(std::size_t entry) const { return lengths_[entry]; }

private:
    std::uint8_t mover(std::size_t lane) const;

    Batch& batch_;
    std::vector<Entry> entries_;
    std::size_t required_;
    std::vector<std::vector<std::uint8_t>> units_;
    std::vector<std::int64_t> job_;
    std::size_t waiting_;
    std::vector<std::int8_t> results_;
    std::vector<std::uint8_t> endings_;
    std::vector<std::int32_t> lengths_;
    // Where the round stands: the unit whose turn comes next, and whether any unit moved in it.
    std::size_t next_unit_ = 0;
    bool moved_ = false;
    bool done_ = false;
    // The rows recorded, in the order they were: the entry, ply and fields of each.
    struct Rows {
        std::vector<std::int64_t> job;
        std::vector<std::int32_t> ply;
        std::vector<std::uint8_t> white;
        std::vector<std::int16_t> action;
        std::vector<std::int16_t> move;
        std::vector<float> logp;
        std::vector<std::uint8_t> player;
        std::vector<std::int64_t> frame;
        std::vector<std::uint8_t> castling;
        std::vector<std::uint8_t> mask;
        std::size_t size() const { return job.size(); }
        void resize(std::size_t n);
    } rows_;
    std::size_t started_ = 0;
    std::vector<std::uint8_t> stepped_;
    // The moves of the games handed on (entries 0..plies-1), each game's from carried_at_.
    struct {
        std::vector<std::int32_t> plies;
        std::vector<std::size_t> at;
        std::vector<std::int16_t> moves, actions;
        std::vector<float> log_probs;
        std::vector<std::uint8_t> players;
    } carried_;
};

}  // namespace quellor::batch

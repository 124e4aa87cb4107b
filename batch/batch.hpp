// Many games of fog-of-war chess in one object, driven by integer arrays.
//
// Plain C++ with no Python: the binding hands it integer arrays and shows its output buffers to
// Python without copying. Every operation on the games is split over a fixed pool of threads;
// games never share state, and each draws its random numbers from its own stream, so results
// do not depend on the number of threads.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chess/board.hpp"
#include "chess/chess_move.hpp"
#include "chess/movegen/movegen.hpp"
#include "game/frames.hpp"
#include "workers.hpp"

// The per-range loops are compiled twice, for CPUs with the popcnt instruction and for
// baseline x86-64, and the loader picks one: counting move targets is on every step's path.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QUELLOR_HOT [[gnu::target_clones("popcnt", "default")]]
#else
#define QUELLOR_HOT
#endif

namespace quellor::batch {

// "legal": fully legal moves, as SelfPlayGame lists them; a side with none loses when in check
// (checkmate) and draws otherwise. "dark": every pseudo-legal move, kings may be left en prise
// and castle through check; a side with no move at all draws. Both end when a king is captured.
enum class Rules : std::uint8_t { Dark, Legal };
inline constexpr std::array<std::string_view, 2> RULES_NAMES = {"dark", "legal"};

// "own": the eight frames are the mover's own views from its last eight turns. "history": the
// last eight positions' frames, whoever moved (what SelfPlayGame.encode() shows).
enum class ObservationMode : std::uint8_t { Own, History };
inline constexpr std::array<std::string_view, 2> OBSERVATION_NAMES = {"own", "history"};

// The ply whose frame an observation at ply p shows `back` frames before its newest (back <
// HISTORY_LEN). "own": the mover's frames at p, p - 2, ...; "history": p, p - 1, .... Plies
// before the game's first (of the mover's, for "own") show its oldest frame instead. The batch
// reads its frames by this rule and the learner rebuilds stored observations by it.
constexpr std::uint64_t frame_ply(ObservationMode mode, std::uint64_t p, std::uint64_t back) {
    if (mode == ObservationMode::Own) return p >= 2 * back ? p - 2 * back : (p & 1);
    return p >= back ? p - back : 0;
}

// How a game ended. Stored data (the shards' game_ending) holds these indices into
// ENDING_NAMES, so the order is fixed: new endings may only be appended.
enum class Ending : std::int8_t { None = -1, KingCaptured, Checkmate, Stalemate, PlyCap };
inline constexpr std::array<std::string_view, 4> ENDING_NAMES = {"king captured", "checkmate", "stalemate",
                                                                  "ply cap"};

enum class Dtype : std::uint8_t { UInt8, Float32 };

// Move codes name a move exactly: from * 64 + to + 4096 * k, unmirrored squares, k = 0 for no
// promotion and 1..4 for queen, rook, bishop, knight.
inline constexpr std::int64_t MOVE_CODE_COUNT = 5 * 4096;

inline std::int32_t move_code(const chess::ChessMove& move) {
    const int k = move.promotion ? 5 - static_cast<int>(chess::index(*move.promotion)) : 0;
    return move.from_square * 64 + move.to_square + 4096 * k;
}

// The move a code in 0..MOVE_CODE_COUNT - 1 names (whether it can be played is another matter).
inline chess::ChessMove code_move(std::int64_t code) {
    const auto k = static_cast<unsigned>(code / 4096);
    return chess::ChessMove{chess::Square(static_cast<unsigned>(code % 4096 / 64)),
                            chess::Square(static_cast<unsigned>(code % 64)),
                            k ? std::optional<chess::Piece>(chess::piece_from_index(5 - k)) : std::nullopt};
}

// The policy slot move code `code` (0..MOVE_CODE_COUNT - 1) takes for `side` to move.
inline int code_slot(std::int64_t code, chess::Color side) { return *action_index(side, code_move(code)); }

// The legal-action mask stored one bit per slot, as the data shards keep it.
inline constexpr std::size_t MASK_BYTES = ACTION_COUNT / 8;
static_assert(ACTION_COUNT % 8 == 0);

// Frames kept per game, one per position: own-view observations reach 14 plies back.
inline constexpr std::size_t FRAME_RING = 16;

// The most games one batch holds: a game names its start position with a 32-bit index.
inline constexpr std::uint64_t MAX_GAMES = UINT32_MAX;

struct Config {
    std::size_t n = 1;
    Rules rules = Rules::Dark;
    ObservationMode observation = ObservationMode::Own;
    Dtype dtype = Dtype::UInt8;
    std::uint64_t max_plies = 0;  // 0: no cap
    std::uint64_t seed = 0;
    std::size_t threads = 1;
    bool auto_reset = false;
};

// One game: its position, the frames of its last positions, its random stream and its state.
struct Game {
    chess::Board board;
    std::uint64_t rng;
    std::uint64_t plies;
    std::uint32_t start;  // which of the batch's start positions it began from
    bool terminated;
    bool truncated;
    std::int8_t winner;  // +1 White won, -1 Black won, 0 drawn or going on
    Ending ending;
    // The move code of the move played in the last step, -1 when the game played none then.
    std::int32_t last_move;
    chess::ChessMove pending;
    // The private twin of the output mask: each source square's destinations in the current
    // position and the sources whose moves promote. step() checks its entries and
    // random_actions() draws against these without generating the moves again (the output mask
    // is the caller's to overwrite).
    std::array<chess::Bitboard, 64> destinations;
    chess::Bitboard promoting;
    std::uint16_t slots;  // how many policy slots the moves fill
    // The frame of the position after ply q is frames[q % FRAME_RING].
    std::array<Frame, FRAME_RING> frames;

    bool finished() const { return terminated || truncated; }
};

// Counts of what play_random saw.
struct Tally {
    std::uint64_t plies = 0;
    std::uint64_t white_wins = 0;
    std::uint64_t black_wins = 0;
    std::uint64_t draws = 0;
    std::uint64_t truncations = 0;
};

// Why step() refused a batch: the first game (by index) whose entry is out of range or not
// legal, and the entry itself.
struct Refusal {
    std::size_t game;
    std::int64_t value;
    bool out_of_range;
};

// Where the batch writes what callers read, n games each; the caller owns the memory and keeps
// it alive as long as the batch. Rewritten in place by every operation that changes games.
struct Outputs {
    void* observation;          // n x 64 x 106 of the configured dtype
    std::uint8_t* mask;         // n x ACTION_COUNT, 0 or 1
    std::uint8_t* to_move;      // n, 1 where White is to move
    float* rewards;             // n x 2: White's, Black's reward from the last step
    std::uint8_t* terminated;   // n
    std::uint8_t* truncated;    // n
    std::int64_t* plies;        // n
    std::int64_t* last_move;    // n: Game::last_move
    std::int8_t* ending;        // n: the index into ENDING_NAMES, -1 while the game goes on
    std::int8_t* result;        // n: Game::winner
};

class Batch {
public:
    // `starts` holds the distinct start positions and `start_of_game` (size n, or empty for
    // game i -> starts[0]) which one each game uses. Throws std::bad_alloc.
    Batch(const Config& config, std::vector<chess::Board> starts, std::vector<std::uint32_t> start_of_game,
          const Outputs& outputs);
    // An independent copy of `other` (its games, random streams and last rewards) writing to
    // `outputs`, which it fills at once.
    Batch(const Batch& other, const Outputs& outputs);

    const Config& config() const { return config_; }
    std::size_t size() const { return games_.size(); }
    std::size_t threads() const { return pool_.size(); }

    // Where the binding puts the entries of step(), copied from the caller's array so that
    // nothing the caller does meanwhile can change them.
    std::int64_t* actions() { return actions_.data(); }

    // Restarts every game (games == nullptr) or those whose byte in `games` is nonzero, from
    // its start position. With a seed, the restarted games' random streams start again from it,
    // so that reset(s) of every game equals a new batch built with seed s. A restarted game has
    // played no move (last_move -1).
    void reset(std::optional<std::uint64_t> seed, const std::uint8_t* games);

    // Plays actions()[i] in every unfinished game i: policy slots, or move codes when
    // `exact_moves`. Every entry is checked first; on a refusal nothing changes. Finished
    // games ignore their entry: with auto_reset they restart, otherwise their rewards are 0.
    // With `games`, only the games whose byte is nonzero take part: the others keep their
    // position and outputs (a finished one does not restart), but for rewards 0 and last move
    // -1, as a step in which they played nothing.
    std::optional<Refusal> step(bool exact_moves, const std::uint8_t* games = nullptr);

    // Writes to out[i] a slot drawn uniformly from each unfinished game's legal slots, -1 for
    // finished games.
    void random_actions(std::int64_t* out);

    // `steps` rounds of random_actions() then step(), without the intermediate outputs. A run
    // may be split into calls of fewer steps with the same result: each call ends with every
    // output written.
    Tally play_random(std::uint64_t steps);
    // Whether every game is over (and, without auto_reset, stays so whatever is played).
    bool all_finished() const;

    // Moves of game i as move codes, in generation order (the order its mask was filled).
    std::vector<std::int32_t> legal_move_codes(std::size_t i) const;
    // Game i's position as FEN (the halfmove clock is not kept and written as 0).
    std::string fen(std::size_t i) const;
    // The planes of game i's last min(8, plies + 1) positions, oldest first, each 832 bytes of
    // 0 and 1 laid out as a SelfPlayGame plane. Returns how many were written.
    std::size_t planes(std::size_t i, std::uint8_t* out) const;
    // For each game, the observation's eight frames as 13 channel bitboards each (bit r = row
    // r), then the castling flags (bit 0 king side, bit 1 queen side): PACKED_WORDS words.
    static constexpr std::size_t PACKED_WORDS = HISTORY_LEN * PLANE_CHANNELS + 1;
    void packed_observation(std::int64_t* out);
    // For each of the k games index[j] (each below size()): the newest of those frames and the
    // castling flags, as packed_observation() writes them: NEWEST_WORDS words a game.
    static constexpr std::size_t NEWEST_WORDS = PLANE_CHANNELS + 1;
    void packed_newest(const std::int64_t* index, std::size_t k, std::int64_t* out) const;

    // The observation in SQUARE_CODES bytes a square rather than OBS_COLS: the code of each of
    // its frames (a channel, or one past them where the frame sets none), then its castling flag.
    static constexpr std::size_t SQUARE_CODES = HISTORY_LEN + 1;
    // What a player needs of the k games index[j] (each below size()) where it is to move, in
    // one pass: each game's observation copied to `observations` and written as square codes to
    // `codes` (each unless null), its mask packed into MASK_BYTES bytes of `bits`, its newest
    // frame to `newest` as packed_newest() writes it, and the legal entries of the k masks
    // appended to `rows` (as j) and `slots`, row by row.
    void gather(const std::int64_t* index, std::size_t k, void* observations, std::uint8_t* codes, std::uint8_t* bits,
                std::int64_t* newest, std::vector<std::int64_t>& rows, std::vector<std::int64_t>& slots) const;

    std::size_t bytes_per_game() const;

    // Game i as it stands, and the position it started from, for a belief that follows it.
    const Game& game(std::size_t i) const { return games_[i]; }
    const chess::Board& start_of(std::size_t i) const { return starts_[games_[i].start]; }

    // Writes every game's observation again from its frames, as each step does; the
    // benchmarks time the observation writer with it.
    void write_observations();

private:
    chess::MoveGen generate(const chess::Board& b) const;
    void restart(Game& g);
    // What advance() hands back of the new position besides its moves.
    struct Arrival {
        chess::Bitboard seen;  // the squares its side to move sees
        std::size_t slots;     // the policy slots its moves fill
        // The fog-of-war generator's summary, whose first slot of each group lets a slot be
        // found without walking the groups (unwritten under the legal rules).
        chess::MoveGen::Summary summary;
    };
    // The moves of `b` and what it looks like to its side to move.
    chess::MoveGen generate(const chess::Board& b, Arrival& arrival) const;
    // Plays `move` in g and settles the ending; returns the generation of the new position.
    // Makes no frame: the caller does, from arrival.seen.
    chess::MoveGen advance(Game& g, const chess::ChessMove& move, float rewards[2], Arrival& arrival);
    void frames_of(const Game& g, const std::uint8_t* out[HISTORY_LEN]) const;
    // Writes game i's outputs and the private twin of its mask, from `gen` when the caller has
    // the moves of its position at hand.
    void write_outputs(std::size_t i, const chess::MoveGen* gen);
    void write_state(std::size_t i);
    void write_observation(std::size_t i);
    bool resolve(const Game& g, std::int64_t value, bool exact_moves, chess::ChessMove& move) const;

    // The work of one thread on games [begin, end).
    void reset_range(std::size_t begin, std::size_t end, std::optional<std::uint64_t> seed, const std::uint8_t* games);
    // Returns the first game in the range whose entry is refused, or size().
    std::size_t resolve_range(std::size_t begin, std::size_t end, bool exact_moves, const std::uint8_t* games);
    void play_range(std::size_t begin, std::size_t end, const std::uint8_t* games);
    void random_range(std::size_t begin, std::size_t end, std::int64_t* out);
    void play_random_range(std::size_t begin, std::size_t end, std::uint64_t steps, Tally& tally);

    Config config_;
    std::vector<chess::Board> starts_;
    std::vector<Game> games_;
    Outputs out_;
    std::vector<std::int64_t> actions_;
    WorkerPool pool_;
};

// Why rebuild_packed() refused: rows[j] is not one of the stored rows, or (`out_of_range`
// false) its ply reaches back past the first stored row, so that its game's frames are not all
// there.
struct RowRefusal {
    std::size_t j;
    bool out_of_range;
};

// The packed observations (Batch::PACKED_WORDS words each, as packed_observation() writes them)
// of k stored rows, from `total` rows of whole games in ply order that keep only each mover's
// newest frame (frames: 13 channel bitboards a row), its castling flags and its ply, so that
// the row of ply q of row r's game is r - ply[r] + q. rows[j] below 0 counts from the end, as a
// Python index does. Every row is checked before anything is written.
std::optional<RowRefusal> rebuild_packed(ObservationMode mode, const std::int64_t* frames, const std::uint8_t* castling,
                                         const std::int32_t* ply, std::size_t total, const std::int64_t* rows,
                                         std::size_t k, std::int64_t* out);

}  // namespace quellor::batch

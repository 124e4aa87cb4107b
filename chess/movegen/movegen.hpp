// Legal move generation. Moves are built as groups (one moving piece, a set of destinations)
// and handed out lazily one at a time in a fixed order, which the trainer sees as the action
// order:
//   groups in creation order: pawns, en-passant captures, knights, bishops, rooks, queens,
//   king (unpinned pieces of a kind before pinned ones); within a group destinations by
//   ascending square; a promoting destination four times, as Queen, Knight, Rook, Bishop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "chess/bitboard.hpp"
#include "chess/board.hpp"
#include "chess/chess_move.hpp"
#include "chess/piece.hpp"
#include "chess/square.hpp"

namespace chess {

inline constexpr std::array<Piece, 4> PROMOTION_ORDER = {Piece::Queen, Piece::Knight, Piece::Rook, Piece::Bishop};

// Every own piece yields at most one group and each of the (at most two) pawns beside the
// en-passant pawn one more. Positions from hand-written FEN may hold far more than 16 pieces
// a side, so the bound is taken over the whole board rather than over a normal army.
inline constexpr std::size_t MAX_MOVE_GROUPS = 64 + 2;

// One moving piece and the destinations it still has to hand out.
struct MoveGroup {
    Bitboard targets;  // never empty when the group is created
    Square source;
    bool promotes;  // every destination is a promotion (pawn on its seventh rank)
};

class MoveGen {
public:
    // Builds every group of the board's legal moves at once; the board is not kept.
    // Reads `checkers` and `pinned` as they stand. A side to move without a king has no moves.
    static MoveGen generate(const Board& board);

    // The number of moves generate(board) would hand out, counted group by group without
    // keeping them: perft's bulk count of its last ply. Uses the CPU's popcnt instruction
    // where the CPU has one (checked once at load), a portable count otherwise.
    static std::size_t count(const Board& board);

    // Every pseudo-legal move of the side to move, in the same group order as generate(): the
    // rules of fog-of-war play, where a king may move into or stay in check, castle through or
    // into attacked squares, and be captured. The king's group holds its steps and castlings.
    // A side to move without a king has no moves.
    static MoveGen generate_pseudo_legal(const Board& board);
    // The number of moves generate_pseudo_legal(board) would hand out.
    static std::size_t count_pseudo_legal(const Board& board);

    // What generate_pseudo_legal(board, summary) counts as it builds the groups, for callers
    // that would otherwise walk them again on every move of a game.
    struct Summary {
        std::size_t plain_moves = 0;      // destinations of groups that do not promote
        std::size_t promoting_pawns = 0;  // groups that promote (each destination four moves)
        Bitboard non_king_targets = 0;    // every destination of a group other than the king's
        // For each group, the destinations of the groups before it, a promoting group counting
        // four: where its first policy slot falls when every plain destination is one slot and
        // every promoting pawn four. Written for the groups there are, the rest left as it is.
        std::array<std::uint16_t, MAX_MOVE_GROUPS> first_slot;
    };
    static MoveGen generate_pseudo_legal(const Board& board, Summary& summary);

    // The next move in generation order, or none once all are handed out (and ever after).
    std::optional<ChessMove> next();

    // Copies hold only the groups in use, not the whole worst-case array.
    MoveGen(const MoveGen& other) : count_(other.count_), current_(other.current_), cursor_(other.cursor_) {
        for (std::size_t i = 0; i < count_; ++i) groups_[i] = other.groups_[i];
    }
    MoveGen& operator=(const MoveGen& other) {
        count_ = other.count_;
        current_ = other.current_;
        cursor_ = other.cursor_;
        for (std::size_t i = 0; i < count_; ++i) groups_[i] = other.groups_[i];
        return *this;
    }

    // Moves not yet handed out; right after generate(), the total number of legal moves.
    std::size_t len() const;

    // Hands out up to `capacity` further moves into `out` and returns how many were written.
    // Sizing `out` by len() takes them all.
    std::size_t collect(ChessMove* out, std::size_t capacity);

    std::size_t group_count() const { return count_; }
    const MoveGroup& group(std::size_t i) const {
        assert(i < count_);
        return groups_[i];
    }

private:
    friend struct MoveGenBuilder;

    MoveGen() {}  // leaves the group storage unwritten: only groups below count_ are ever read

    // A union keeps the array out of default construction, so an empty generator costs
    // nothing however large the worst-case bound.
    union {
        std::array<MoveGroup, MAX_MOVE_GROUPS> groups_;
    };
    std::uint8_t count_ = 0;
    std::uint8_t current_ = 0;
    std::uint8_t cursor_ = 0;  // index into PROMOTION_ORDER for the current destination

    void push(unsigned source, Bitboard targets, bool promotes) {
        assert(targets != 0 && count_ < MAX_MOVE_GROUPS);
        groups_[count_++] = MoveGroup{targets, Square(source), promotes};
    }
    // The king's group of the fog-of-war generator, which a summary keeps apart.
    void push_king(unsigned source, Bitboard targets) { push(source, targets, false); }
};

namespace detail {
// The two variants behind MoveGen::count, public so that tests can hold them against each
// other. count_moves_popcnt may only run where popcnt_available() is true.
std::size_t count_moves_portable(const Board& board);
std::size_t count_moves_popcnt(const Board& board);
bool popcnt_available();

// The builds behind MoveGen::generate_pseudo_legal(board, summary), for tests that hold them
// against each other: slider lookups by magic multiplication (built with and without popcnt,
// chosen by the loader) and by PEXT. The PEXT one may only run where pseudo_legal_pext_chosen(),
// which is also when generate_pseudo_legal takes it: BMI2 with a fast PEXT.
MoveGen pseudo_legal_magic(const Board& board, MoveGen::Summary& summary);
MoveGen pseudo_legal_pext(const Board& board, MoveGen::Summary& summary);
bool pseudo_legal_pext_chosen();
}  // namespace detail

// Whether the side to move's king could stand on `dest`: no enemy piece attacks it once the
// king has left its own square, so that squares behind the king on a checking line count as
// attacked. `ksq` is the king's current square.
bool king_destination_safe(const Board& board, unsigned ksq, unsigned dest);

}  // namespace chess

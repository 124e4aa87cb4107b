// The positions one side of a fog-of-war game cannot rule out.
//
// A side observes, after every ply (its own and the other side's), which squares it sees and
// what stands on each of them; on its own turn it also holds its list of moves, which adds to
// the view only whether an en-passant capture is open (every other move of it is decided by
// its own pieces and the squares it sees). It knows its own moves, and whether the game goes
// on. A belief keeps every full position (placement, castling rights, en-passant pawn; the side
// to move and the ply are the same for all) that agrees with all of that since the start,
// which is common knowledge. Plain C++ with no Python, like the rest of the game logic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "chess/board.hpp"
#include "chess/chess_move.hpp"

namespace quellor {

// What a side sees of a position: the squares, the pieces on them, and on its own turn the
// en-passant pawn its move list reveals (64 for none, or when it is not its turn).
struct View {
    chess::Bitboard seen = 0;
    std::array<chess::Bitboard, 2> colors{};
    std::array<chess::Bitboard, chess::PIECE_KINDS> kinds{};
    std::uint8_t ep = 64;

    friend bool operator==(const View&, const View&) = default;
};

View view_of(const chess::Board& board, chess::Color side);

// What the game's going on, or its ending, tells of the side to move after a ply.
enum class Moves : std::uint8_t {
    Some,     // the game goes on, or stopped at its ply cap: the side to move had a move
    None,     // the game ended without a move for the side to move
    Unknown,  // a king was captured: nothing was asked of the side to move
};

// One position of the set, without what all members share (side to move, ply): 8 bitboards
// and two bytes, 72 bytes in all.
struct Member {
    std::array<chess::Bitboard, chess::PIECE_KINDS> kinds;
    std::array<chess::Bitboard, 2> colors;
    std::uint8_t castling;  // White's rights in bits 0-1, Black's in bits 2-3
    std::uint8_t ep;        // the en-passant pawn's square, 64 for none

    friend bool operator==(const Member&, const Member&) = default;
};

class Belief {
public:
    // Positions a belief keeps unless its owner says otherwise: enough for most middlegames to
    // stay exact, at 72 bytes a position.
    static constexpr std::size_t DEFAULT_CAP = 100'000;

    // The belief of `side` at the start of a game from `start`: that position alone. Above
    // `cap` positions an update keeps a uniform random subset of `cap`, drawn from a stream
    // seeded with `seed`, and the set is no longer exact.
    Belief(const chess::Board& start, chess::Color side, std::size_t cap, std::uint64_t seed);

    chess::Color side() const { return side_; }
    chess::Color side_to_move() const { return to_move_; }
    std::size_t size() const { return members_.size(); }
    bool exact() const { return exact_; }
    // Candidate positions looked at by the updates so far (the children of every member
    // expanded, and every member a move of the side was applied to).
    std::uint64_t candidates() const { return candidates_; }

    // The side played `move`, then saw `view`; `after` is what the game's going on says of the
    // other side's moves. Members where the move cannot be played are dropped.
    void own_move(const chess::ChessMove& move, const View& view, Moves after);
    // The other side played a move the side did not see, then the side saw `view`.
    void other_move(const View& view);

    // Member i as a board (pins and checks worked out), the side to move set.
    chess::Board board(std::size_t i) const;
    bool contains(const chess::Board& board) const;
    // Whether the position FEN text names is a member; empty when the text names no position.
    // Positions that only fog-of-war play reaches (a king left where it can be taken, kings side
    // by side) are read too, which the engine's checked reader refuses.
    std::optional<bool> contains(std::string_view fen) const;
    // How many members hold a piece of the other side of each kind (pawn .. king) on each
    // square (a1 = 0): counts[kind * 64 + square]. Divided by size(), where the side should
    // expect the pieces it cannot see.
    std::array<std::uint32_t, chess::PIECE_KINDS * 64> occupancy() const;
    // k distinct member indices, uniform without replacement, from a stream seeded with
    // `seed` (k <= size()).
    std::vector<std::size_t> sample(std::size_t k, std::uint64_t seed) const;

    static constexpr std::size_t BYTES_PER_MEMBER = sizeof(Member);

private:
    // Where the next set is gathered and deduplicated.
    struct Gather;
    void settle(Gather& next);

    std::vector<Member> members_;
    chess::Color side_;
    chess::Color to_move_;
    std::size_t cap_;
    std::uint64_t rng_;
    bool exact_ = true;
    std::uint64_t candidates_ = 0;
};

}  // namespace quellor

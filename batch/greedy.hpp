// The greedy bot's reckoning of a move, one ply deep from the mover's own view: what it wins,
// what it leaves hanging, and a small positional bonus (quellor_selfplay.bots describes the
// rules). Squares are rows of the view: a1 = 0 for White, ranks mirrored for Black, so the
// mover's pawns always go towards higher rows. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quellor::batch {

// A view's pieces: ours and the enemy's, by kind (pawn, knight, bishop, rook, queen, king),
// and the squares hidden from the mover.
struct GreedyView {
    std::uint64_t own[6];
    std::uint64_t enemy[6];
    std::uint64_t hidden;
};

// What leaving the king where a seen enemy piece attacks it costs, and the bound of the
// positional bonus (under half a pawn).
inline constexpr double GREEDY_KING_LOSS = 1e4;
inline constexpr double GREEDY_BONUS_LIMIT = 0.45;

struct GreedyScore {
    double gain;
    double loss;
    double bonus;
    bool king_capture;
};

// The reckoning of policy slot `slot` (a legal one) in `view`; `bold` charges only what the
// move itself puts at risk (the moved piece where it lands, and the king).
GreedyScore greedy_score(const GreedyView& view, int slot, bool bold);

}  // namespace quellor::batch

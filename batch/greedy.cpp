#include "greedy.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "game/game.hpp"

namespace quellor::batch {
namespace {

enum Kind { Pawn, Knight, Bishop, Rook, Queen, King, Kinds };

constexpr double VALUES[Kinds] = {1.0, 3.0, 3.0, 5.0, 9.0, 0.0};
constexpr double ATTACKER[Kinds] = {1.0, 3.0, 3.0, 5.0, 9.0, std::numeric_limits<double>::infinity()};
// Index k of a promotion slot names the piece.
constexpr int PROMOTED[4] = {Queen, Rook, Bishop, Knight};

constexpr double DEVELOP = 0.3;
constexpr double CENTRE = 0.05;
constexpr double PAWN_PUSH = 0.1;
constexpr double PAWN_RANK = 0.02;
constexpr double CASTLE = 0.4;
constexpr double KING_WALK = -0.4;
constexpr int OPENING_PIECES = 4;
constexpr double CHECK = 0.5;
constexpr double REVEAL = 0.02;

constexpr std::uint64_t FILE_A = 0x0101010101010101ull;
constexpr std::uint64_t FILE_H = 0x8080808080808080ull;
constexpr std::uint64_t NOT_A = ~FILE_A;
constexpr std::uint64_t NOT_H = ~FILE_H;
constexpr std::uint64_t NOT_AB = ~(FILE_A | (FILE_A << 1));
constexpr std::uint64_t NOT_GH = ~(FILE_H | (FILE_H >> 1));
constexpr int E1 = 4, G1 = 6, C1 = 2, H1 = 7, F1 = 5, A1 = 0, D1 = 3;

constexpr std::uint64_t shift(std::uint64_t bits, int by) { return by > 0 ? bits << by : bits >> -by; }

constexpr bool bit(std::uint64_t bits, int square) { return (bits >> square) & 1; }

// 0 on the rim, 3 on the four middle squares.
constexpr double centrality(int square) {
    const int file = square % 8, rank = square / 8;
    return static_cast<double>(std::min(std::min(file, 7 - file), std::min(rank, 7 - rank)));
}

std::uint64_t all_of(const std::uint64_t (&boards)[Kinds]) {
    std::uint64_t union_ = 0;
    for (std::uint64_t b : boards) union_ |= b;
    return union_;
}

// The squares `sliders` reach in direction `by`, up to and including the first square not in
// `empty`; `lands` holds the squares a step may land on (a step across the a- or h-file edge
// would wrap).
std::uint64_t slide(std::uint64_t sliders, std::uint64_t empty, int by, std::uint64_t lands) {
    std::uint64_t reached = 0;
    for (std::uint64_t ray = shift(sliders, by) & lands; ray != 0; ray = shift(ray & empty, by) & lands)
        reached |= ray;
    return reached;
}

// What each kind of `pieces` attacks, a ray passing through the squares of `empty`; `forward`:
// pawns capture towards higher rows.
void attacks(const std::uint64_t (&pieces)[Kinds], std::uint64_t empty, bool forward, std::uint64_t (&out)[Kinds]) {
    const std::uint64_t pawns = pieces[Pawn], knights = pieces[Knight], kings = pieces[King];
    out[Pawn] = forward ? (shift(pawns, 7) & NOT_H) | (shift(pawns, 9) & NOT_A)
                        : (shift(pawns, -9) & NOT_H) | (shift(pawns, -7) & NOT_A);
    const std::uint64_t one = (shift(knights, 1) & NOT_A) | (shift(knights, -1) & NOT_H);
    const std::uint64_t two = (shift(knights, 2) & NOT_AB) | (shift(knights, -2) & NOT_GH);
    out[Knight] = shift(one, 16) | shift(one, -16) | shift(two, 8) | shift(two, -8);
    const std::uint64_t side = (shift(kings, 1) & NOT_A) | (shift(kings, -1) & NOT_H);
    const std::uint64_t row = kings | side;
    out[King] = side | shift(row, 8) | shift(row, -8);
    std::uint64_t diagonal[2] = {0, 0}, straight[2] = {0, 0};
    const std::uint64_t diagonal_riders[2] = {pieces[Bishop], pieces[Queen]};
    const std::uint64_t straight_riders[2] = {pieces[Rook], pieces[Queen]};
    constexpr struct { int by; std::uint64_t lands; } DIAGONALS[] = {{9, NOT_A}, {7, NOT_H}, {-7, NOT_A}, {-9, NOT_H}};
    constexpr struct { int by; std::uint64_t lands; } LINES[] = {{8, ~0ull}, {-8, ~0ull}, {1, NOT_A}, {-1, NOT_H}};
    for (int j = 0; j < 2; ++j) {
        for (const auto& d : DIAGONALS) diagonal[j] |= slide(diagonal_riders[j], empty, d.by, d.lands);
        for (const auto& d : LINES) straight[j] |= slide(straight_riders[j], empty, d.by, d.lands);
    }
    out[Bishop] = diagonal[0];
    out[Rook] = straight[0];
    out[Queen] = diagonal[1] | straight[1];
}

// The first kind whose board holds `square`, or Pawn when none does.
int kind_at(const std::uint64_t (&boards)[Kinds], int square) {
    for (int k = 0; k < Kinds; ++k)
        if (bit(boards[k], square)) return k;
    return Pawn;
}

}  // namespace

GreedyScore greedy_score(const GreedyView& view, int slot, bool bold) {
    std::uint64_t own[Kinds], enemy[Kinds];
    std::copy(std::begin(view.own), std::end(view.own), own);
    std::copy(std::begin(view.enemy), std::end(view.enemy), enemy);
    const std::uint64_t ours = all_of(own), theirs = all_of(enemy);

    // The move the slot plays. A promotion slot names no target square: the game plays the
    // first legal one by square, capturing left before stepping straight before capturing right.
    const bool promoting = is_promotion_slot(slot);
    const int from = static_cast<int>(slot_from(slot));
    int to = static_cast<int>(slot_to(slot));
    const int promoted = promoting ? PROMOTED[slot_kind(slot)] : -1;
    if (promoting) {
        const bool left = from % 8 > 0 && bit(theirs, std::min(from + 7, 63));
        const bool straight = !left && !bit(ours | theirs, std::min(from + 8, 63));
        to = left ? from + 7 : straight ? from + 8 : from + 9;
        // Beyond the board only for a slot that is not legal: kept on it, so that no shift
        // runs past 63.
        to = std::min(to, 63);
    }
    const int mover = kind_at(own, from);
    bool took = false;
    int victim = Pawn;
    for (int k = 0; k < Kinds && !took; ++k)
        if (bit(enemy[k], to)) took = true, victim = k;
    // A pawn stepping diagonally onto an empty square takes en passant the pawn behind it.
    const bool diagonal = to - from == 7 || to - from == 9;
    const bool passant = mover == Pawn && diagonal && !took;
    const int lands = promoting ? promoted : mover;

    const std::uint64_t to_bit = std::uint64_t{1} << to, from_bit = std::uint64_t{1} << from;
    own[mover] &= ~from_bit;
    own[lands] |= to_bit;
    const bool castles = mover == King && from == E1;
    const bool king_side = castles && to == G1, queen_side = castles && to == C1;
    if (king_side) own[Rook] ^= (std::uint64_t{1} << H1) | (std::uint64_t{1} << F1);
    if (queen_side) own[Rook] ^= (std::uint64_t{1} << A1) | (std::uint64_t{1} << D1);
    const std::uint64_t taken = to_bit | (passant ? to_bit >> 8 : 0);
    for (std::uint64_t& b : enemy) b &= ~taken;

    const std::uint64_t occupied = all_of(own) | all_of(enemy);
    std::uint64_t threats[Kinds], covers[Kinds];
    attacks(enemy, ~occupied, false, threats);
    attacks(own, ~(occupied | view.hidden), true, covers);
    const std::uint64_t cover = all_of(covers), threat = all_of(threats);

    GreedyScore score{};
    score.gain = (took ? VALUES[victim] : 0.0) + (passant ? VALUES[Pawn] : 0.0);
    if (promoting) score.gain += VALUES[promoted] - VALUES[Pawn];

    double bare = 0.0, exchanged = 0.0;
    for (int k = 0; k < King; ++k) {
        const std::uint64_t victims = own[k] & (bold ? to_bit : ~0ull);
        if (victims & threat & ~cover) bare = std::max(bare, VALUES[k]);
        if (!(victims & cover)) continue;
        for (int a = 0; a < Kinds; ++a)
            if (victims & cover & threats[a]) exchanged = std::max(exchanged, std::max(VALUES[k] - ATTACKER[a], 0.0));
    }
    score.loss = (own[King] & threat) ? GREEDY_KING_LOSS : std::max(bare, exchanged);

    const int pieces_before = std::popcount(view.own[Knight] | view.own[Bishop] | view.own[Rook] | view.own[Queen]);
    const bool minor = mover == Knight || mover == Bishop;
    double bonus = minor && from < 8 ? DEVELOP : 0.0;
    if (minor || mover == Queen) bonus += CENTRE * (centrality(to) - centrality(from));
    if (mover == Pawn && !promoting) bonus += PAWN_PUSH + PAWN_RANK * static_cast<double>(to / 8);
    const bool castling = king_side || queen_side;
    if (castling) bonus += CASTLE;
    if (mover == King && !castling && pieces_before >= OPENING_PIECES) bonus += KING_WALK;
    if (enemy[King] & cover) bonus += CHECK;
    const std::uint64_t sight = cover | (own[Pawn] << 8);
    bonus += REVEAL * static_cast<double>(std::popcount(sight & view.hidden));
    score.bonus = std::clamp(bonus, -GREEDY_BONUS_LIMIT, GREEDY_BONUS_LIMIT);
    score.king_capture = took && victim == King;
    return score;
}

}  // namespace quellor::batch

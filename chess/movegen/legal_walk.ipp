// The legal move enumerator behind chess/movegen/perft.hpp, compiled once per instruction set.
//
// Only the variant units (legal_walk_*.cpp) include this file, each after its own headers and
// inside its own target region, with a `Tools` policy defined there: slider attack lookups
// (rook, bishop) and a popcount (count). Everything here has internal linkage, so each unit
// keeps a copy built for its own instructions that the linker can never merge with another's.
//
// Where the speed comes from:
//  - the side to move, the castling rights still held and a possible en-passant capture are
//    template arguments (Flags), so that a node runs only the code its position needs;
//  - a move is made as soon as it is found and handed, as the child position, to a callback:
//    no move list, no optional, no error values;
//  - the board is seven masks (Slim): no hash, no stored checks or pins, no piece lookups;
//  - one pass per node works out the checks (as the mask of squares a move other than the
//    king's must land on), the pins (one mask of orthogonal and one of diagonal pin lines)
//    and the king's safe steps;
//  - the last ply is counted, not made: popcounts over whole sets of destinations;
//  - and the replies to one position's moves share their knights' and sliders' counts: those
//    pieces stand still while the mover moves, so each reply corrects only what the move
//    changed (count_replies).
//
// It must agree with MoveGen move for move: the tests and a fuzz target hold it to that.
#ifndef QUELLOR_LEGAL_WALK_VARIANT
#error "legal_walk.ipp is compiled through a variant unit (legal_walk_*.cpp) only"
#endif

#include <array>
#include <cstdint>
#include <utility>

#include "chess/board.hpp"
#include "chess/geometry.hpp"

namespace chess {
namespace {

// ---------------------------------------------------------------------------------------------
// Position and state

// Kind masks hold both colours; a queen stands in both slider masks, so that diagonal and
// orthogonal moves are each one loop over one mask.
struct Slim {
    Bitboard pawns, knights, diagonal, orthogonal, kings;
    Bitboard white, black;
    unsigned ep;  // the pawn that has just made a double step, when Flags::ep is set
};

// What a node's code depends on, passed as template arguments.
struct Flags {
    bool white;           // White to move
    bool ep;              // a pawn of the side to move stands beside a pawn that just made a double step
    std::uint8_t rights;  // castling rights still held: 1, 2 White's king and queen side; 4, 8 Black's
};

constexpr std::uint8_t own_rights(Flags f) { return f.white ? f.rights & 3 : f.rights & 12; }

// The state of the side to move's reply after a move that touched no right: colour flips, no
// en passant (a double step says otherwise itself).
constexpr Flags after(Flags f) { return Flags{!f.white, false, f.rights}; }

// The bulk count of a node reads only its own side's rights: the other side's are dropped so
// that positions differing in them share one instantiation.
constexpr Flags counted(Flags f) { return Flags{f.white, f.ep, own_rights(f)}; }

constexpr Bitboard FILE_A = 0x0101010101010101ULL;
constexpr Bitboard FILE_H = FILE_A << 7;
constexpr Bitboard ALL = ~Bitboard{0};

// By right bit: the home squares whose leaving or taking ends that right (king, then rook).
constexpr Bitboard RIGHT_SQUARES[4] = {
    square_bb(4) | square_bb(7), square_bb(4) | square_bb(0),
    square_bb(60) | square_bb(63), square_bb(60) | square_bb(56),
};

constexpr Bitboard right_squares(unsigned rights) {
    Bitboard squares = 0;
    for (unsigned i = 0; i < 4; ++i)
        if (rights & (1u << i)) squares |= RIGHT_SQUARES[i];
    return squares;
}

inline unsigned surviving_rights(unsigned rights, Bitboard touched) {
    for (unsigned i = 0; i < 4; ++i)
        if (touched & RIGHT_SQUARES[i]) rights &= ~(1u << i);
    return rights;
}

[[gnu::always_inline]] inline unsigned lowest(Bitboard b) { return static_cast<unsigned>(__builtin_ctzll(b)); }

[[gnu::always_inline]] inline Bitboard bit(unsigned sq) { return Bitboard{1} << sq; }

// Removes the lowest square of `b` and returns it as a one-square mask.
[[gnu::always_inline]] inline Bitboard take_bit(Bitboard& b) {
    const Bitboard low = b & (0 - b);
    b ^= low;
    return low;
}

[[gnu::always_inline]] inline unsigned take_square(Bitboard& b) {
    const unsigned sq = lowest(b);
    b &= b - 1;
    return sq;
}

// ---------------------------------------------------------------------------------------------
// Pawn geometry, seen from the side to move

template <bool W> constexpr int FORWARD = W ? 8 : -8;
template <bool W> constexpr int WEST = W ? 7 : -9;  // capture towards the a-file
template <bool W> constexpr int EAST = W ? 9 : -7;  // capture towards the h-file
template <bool W> constexpr Bitboard DOUBLE_STEP_RANK = W ? 0xFFULL << 16 : 0xFFULL << 40;  // after one step
template <bool W> constexpr Bitboard LAST_RANK = W ? 0xFFULL << 56 : 0xFFULL;
template <bool W> constexpr Bitboard PROMOTING_RANK = W ? 0xFFULL << 48 : 0xFFULL << 8;

constexpr Bitboard shift(Bitboard b, int by) { return by > 0 ? b << by : b >> -by; }

template <bool W> [[gnu::always_inline]] inline Bitboard step_forward(Bitboard b) { return shift(b, FORWARD<W>); }
template <bool W> [[gnu::always_inline]] inline Bitboard step_west(Bitboard b) { return shift(b & ~FILE_A, WEST<W>); }
template <bool W> [[gnu::always_inline]] inline Bitboard step_east(Bitboard b) { return shift(b & ~FILE_H, EAST<W>); }

// Squares the pawns of the side W attack.
template <bool W> [[gnu::always_inline]] inline Bitboard pawn_attacks(Bitboard pawns) {
    return step_west<W>(pawns) | step_east<W>(pawns);
}

// Castling needs its path empty and the squares the king crosses and lands on safe.
template <bool W> constexpr Bitboard KING_SIDE_PATH = W ? 0x60ULL : 0x60ULL << 56;   // f, g
template <bool W> constexpr Bitboard QUEEN_SIDE_PATH = W ? 0x0EULL : 0x0EULL << 56;  // b, c, d
template <bool W> constexpr Bitboard KING_SIDE_NEAR = W ? 0x20ULL : 0x20ULL << 56;   // f
template <bool W> constexpr Bitboard QUEEN_SIDE_NEAR = W ? 0x08ULL : 0x08ULL << 56;  // d
template <bool W> constexpr unsigned KING_SIDE_FAR = W ? 6 : 62;                     // g
template <bool W> constexpr unsigned QUEEN_SIDE_FAR = W ? 2 : 58;                    // c

// ---------------------------------------------------------------------------------------------
// What one node knows about itself

struct Node {
    Bitboard us, them, occ;
    unsigned king;
    Bitboard checkers;
    Bitboard movable;       // where a move other than the king's may land: not own, on the check mask
    Bitboard pin_hv, pin_d;  // pin lines, each from the king (excluded) to its pinner (included)
    Bitboard occ_without_king;
    Bitboard leaper_danger;  // squares the enemy pawns and king attack
    Bitboard king_targets;  // the king's safe steps
};

// Whether an enemy knight or slider attacks `sq` (pawns and the king are the caller's).
template <class T>
[[gnu::always_inline]] inline bool attacked(const Slim& b, const Node& n, unsigned sq) {
    return (KNIGHT_TARGETS[sq] & b.knights & n.them) ||
           (T::bishop(sq, n.occ_without_king) & b.diagonal & n.them) ||
           (T::rook(sq, n.occ_without_king) & b.orthogonal & n.them);
}

// The castling king's far square (g or c), which is no king step; its near square (f or d) is
// one, so the caller reads that one's safety off king_targets.
template <class T>
[[gnu::always_inline]] inline bool castle_square_safe(const Slim& b, const Node& n, unsigned sq) {
    return !(n.leaper_danger & bit(sq)) && !attacked<T>(b, n, sq);
}

template <bool W, class T>
[[gnu::always_inline]] inline Node analyse(const Slim& b) {
    Node n;
    n.us = W ? b.white : b.black;
    n.them = W ? b.black : b.white;
    n.occ = b.white | b.black;
    const Bitboard own_king = b.kings & n.us;
    const unsigned k = n.king = lowest(own_king);
    const Bitboard enemy_diagonal = b.diagonal & n.them;
    const Bitboard enemy_orthogonal = b.orthogonal & n.them;

    Bitboard checkers = (KNIGHT_TARGETS[k] & b.knights & n.them) |
                        (PAWN_CAPTURE_TARGETS[W ? 0 : 1][k] & b.pawns & n.them);
    Bitboard check_mask = checkers;
    Bitboard pin_hv = 0, pin_d = 0;
    // An enemy slider on one of the king's lines either checks (nothing between), pins (one own
    // piece between) or does neither.
    for (Bitboard c = ORTHOGONAL_RAYS[k] & enemy_orthogonal; c;) {
        const unsigned s = take_square(c);
        const Bitboard between = SQUARES_BETWEEN[k][s];
        const Bitboard blockers = between & n.occ;
        if (!blockers) {
            checkers |= bit(s);
            check_mask |= between | bit(s);
        } else if (!(blockers & (blockers - 1)) && (blockers & n.us)) {
            pin_hv |= between | bit(s);
        }
    }
    for (Bitboard c = DIAGONAL_RAYS[k] & enemy_diagonal; c;) {
        const unsigned s = take_square(c);
        const Bitboard between = SQUARES_BETWEEN[k][s];
        const Bitboard blockers = between & n.occ;
        if (!blockers) {
            checkers |= bit(s);
            check_mask |= between | bit(s);
        } else if (!(blockers & (blockers - 1)) && (blockers & n.us)) {
            pin_d |= between | bit(s);
        }
    }
    n.checkers = checkers;
    n.movable = ~n.us & (checkers ? check_mask : ALL);
    n.pin_hv = pin_hv;
    n.pin_d = pin_d;

    // The king's steps, each square asked whether the enemy attacks it: the king usually has
    // few free squares, far fewer than the enemy has pieces. The king does not shield the
    // squares behind it from a slider that checks it, so it is taken off the board.
    n.occ_without_king = n.occ ^ own_king;
    n.leaper_danger = pawn_attacks<!W>(b.pawns & n.them) | KING_TARGETS[lowest(b.kings & n.them)];
    Bitboard steps = KING_TARGETS[k] & ~n.us & ~n.leaper_danger;
    for (Bitboard t = steps; t;) {
        const unsigned s = take_square(t);
        if (attacked<T>(b, n, s)) steps ^= bit(s);
    }
    n.king_targets = steps;
    return n;
}

// Where the pawns of the side to move may go: one step, two steps, captures towards the a-file
// and towards the h-file, each as the set of destinations.
struct PawnTargets {
    Bitboard once, twice, west, east;
};

template <bool W>
[[gnu::always_inline]] inline PawnTargets pawn_targets(const Slim& b, const Node& n) {
    const Bitboard pawns = b.pawns & n.us;
    const Bitboard empty = ~n.occ;
    Bitboard single, west, east;
    if (!(pawns & (n.pin_hv | n.pin_d))) [[likely]] {
        single = step_forward<W>(pawns) & empty;
        west = step_west<W>(pawns);
        east = step_east<W>(pawns);
    } else {
        // A pawn pinned along a file may still step along it; one pinned diagonally takes only
        // along its pin line.
        const Bitboard pushers = pawns & ~n.pin_d;
        single = (step_forward<W>(pushers & ~n.pin_hv) | (step_forward<W>(pushers & n.pin_hv) & n.pin_hv)) & empty;
        const Bitboard free = pawns & ~(n.pin_hv | n.pin_d), diagonal = pawns & n.pin_d;
        west = step_west<W>(free) | (step_west<W>(diagonal) & n.pin_d);
        east = step_east<W>(free) | (step_east<W>(diagonal) & n.pin_d);
    }
    const Bitboard targets = n.them & n.movable;
    return {single & n.movable, step_forward<W>(single & DOUBLE_STEP_RANK<W>) & empty & n.movable, west & targets,
            east & targets};
}

// Whether taking the pawn on `ep` en passant from `from` leaves the own king free of sliders:
// three squares change at once, which the pin masks do not see (two pawns leaving the king's
// rank together, say).
template <bool W, class T>
[[gnu::always_inline]] inline bool en_passant_safe(const Slim& b, const Node& n, unsigned from, unsigned ep) {
    const Bitboard occ = n.occ ^ bit(from) ^ bit(ep) ^ bit(static_cast<unsigned>(static_cast<int>(ep) + FORWARD<W>));
    return !(T::rook(n.king, occ) & b.orthogonal & n.them) && !(T::bishop(n.king, occ) & b.diagonal & n.them);
}

// The pawns that may take en passant at all: none while a knight or a pawn other than the one
// just moved gives check, since taking answers neither.
template <bool W>
[[gnu::always_inline]] inline Bitboard en_passant_capturers(const Slim& b, const Node& n) {
    const Bitboard ep = bit(b.ep);
    if (n.checkers & ~ep & (b.knights | b.pawns)) return 0;
    return b.pawns & n.us & (((ep << 1) & ~FILE_A) | ((ep >> 1) & ~FILE_H));
}

// ---------------------------------------------------------------------------------------------
// The last ply, counted

// Castling, pawn moves and en passant, for a side not in double check.
template <Flags S, class T>
[[gnu::always_inline]] inline std::uint64_t count_castles_and_pawns(const Slim& b, const Node& n) {
    constexpr bool W = S.white;
    std::uint64_t moves = 0;
    if constexpr (own_rights(S) != 0) {
        if (!n.checkers) {
            if constexpr (own_rights(S) & (W ? 1 : 4))
                moves += !(n.occ & KING_SIDE_PATH<W>) && (n.king_targets & KING_SIDE_NEAR<W>) &&
                         castle_square_safe<T>(b, n, KING_SIDE_FAR<W>);
            if constexpr (own_rights(S) & (W ? 2 : 8))
                moves += !(n.occ & QUEEN_SIDE_PATH<W>) && (n.king_targets & QUEEN_SIDE_NEAR<W>) &&
                         castle_square_safe<T>(b, n, QUEEN_SIDE_FAR<W>);
        }
    }

    const PawnTargets p = pawn_targets<W>(b, n);
    moves += T::count(p.once) + T::count(p.twice) + T::count(p.west) + T::count(p.east);
    // Every promoting destination counts four times: three more on top of the one above.
    if (b.pawns & n.us & PROMOTING_RANK<W>)
        moves += 3 * (T::count(p.once & LAST_RANK<W>) + T::count(p.west & LAST_RANK<W>) +
                      T::count(p.east & LAST_RANK<W>));

    if constexpr (S.ep) {
        for (Bitboard s = en_passant_capturers<W>(b, n); s;) moves += en_passant_safe<W, T>(b, n, take_square(s), b.ep);
    }
    return moves;
}

// Knight and slider moves, for a side not in double check.
template <class T>
[[gnu::always_inline]] inline std::uint64_t count_pieces(const Slim& b, const Node& n) {
    std::uint64_t moves = 0;
    const Bitboard movable = n.movable;
    for (Bitboard s = b.knights & n.us & ~(n.pin_hv | n.pin_d); s;)
        moves += T::count(KNIGHT_TARGETS[take_square(s)] & movable);
    const Bitboard diagonal = b.diagonal & n.us & ~n.pin_hv;
    for (Bitboard s = diagonal & ~n.pin_d; s;) moves += T::count(T::bishop(take_square(s), n.occ) & movable);
    for (Bitboard s = diagonal & n.pin_d; s;) moves += T::count(T::bishop(take_square(s), n.occ) & movable & n.pin_d);
    const Bitboard orthogonal = b.orthogonal & n.us & ~n.pin_d;
    for (Bitboard s = orthogonal & ~n.pin_hv; s;) moves += T::count(T::rook(take_square(s), n.occ) & movable);
    for (Bitboard s = orthogonal & n.pin_hv; s;) moves += T::count(T::rook(take_square(s), n.occ) & movable & n.pin_hv);
    return moves;
}

template <Flags S, class T>
std::uint64_t count_moves(const Slim& b) {
    const Node n = analyse<S.white, T>(b);
    const std::uint64_t steps = T::count(n.king_targets);
    if (n.checkers & (n.checkers - 1)) return steps;
    return steps + count_castles_and_pawns<S, T>(b, n) + count_pieces<T>(b, n);
}

// Counting the replies to every move of one position. The replying side's knights and sliders
// stand still while the mover moves, so their moves are worked out once, before the mover's
// moves are made, and each reply count only corrects the few a move changes: a slider whose
// attack set takes in a square that changed, a piece taken, a piece now pinned. Checks, king
// steps, castling and pawns are counted afresh, and a reply in check is counted in full.

// One slider's moves along one kind of line (a queen has two of these).
struct Reach {
    Bitboard attacks;
    std::uint8_t square;
    bool diagonal;
    std::uint8_t moves;  // its attacks off its own pieces
};

struct Replies {
    static constexpr unsigned MOST_REACHES = 16;
    Bitboard occ;     // the board before the move
    Bitboard own;     // the replying side's pieces before the move
    Bitboard knights;  // its knights
    Bitboard pieces;  // its knights and sliders
    // Every square whose change may change a count: each slider's attack set and square, each
    // knight's targets and square.
    Bitboard touchy;
    unsigned moves;   // all knight and slider moves before the move
    unsigned size;
    bool complete;    // false when there are more reaches than fit: each reply is counted in full
    Reach reaches[MOST_REACHES];
};

// The replies to the moves of the side to move in `b`: its opponent (W) and its pieces.
template <bool W, class T>
[[gnu::always_inline]] inline void prepare_replies(const Slim& b, Replies& r) {
    r.occ = b.white | b.black;
    r.own = W ? b.white : b.black;
    const Bitboard free = ~r.own;
    const Bitboard knights = r.knights = b.knights & r.own;
    r.pieces = knights | ((b.diagonal | b.orthogonal) & r.own);
    r.touchy = r.pieces;
    r.moves = 0;
    r.size = 0;
    r.complete = true;
    for (Bitboard s = knights; s;) {
        const Bitboard targets = KNIGHT_TARGETS[take_square(s)];
        r.touchy |= targets;
        r.moves += T::count(targets & free);
    }
    const auto add = [&](unsigned sq, Bitboard attacks, bool diagonal) {
        if (r.size == Replies::MOST_REACHES) {
            r.complete = false;
            return;
        }
        const auto moves = static_cast<std::uint8_t>(T::count(attacks & free));
        r.reaches[r.size++] = Reach{attacks, static_cast<std::uint8_t>(sq), diagonal, moves};
        r.touchy |= attacks;
        r.moves += moves;
    };
    for (Bitboard s = b.diagonal & r.own; s;) {
        const unsigned sq = take_square(s);
        add(sq, T::bishop(sq, r.occ), true);
    }
    for (Bitboard s = b.orthogonal & r.own; s;) {
        const unsigned sq = take_square(s);
        add(sq, T::rook(sq, r.occ), false);
    }
}

// Knight and slider moves of a side not in check, from those of the position before the
// opponent's move.
template <class T>
[[gnu::always_inline]] inline std::uint64_t count_pieces_after(const Slim& b, const Node& n, const Replies& r) {
    const Bitboard taken = r.own & ~n.us;
    const Bitboard touched = (r.occ ^ n.occ) | taken;
    const Bitboard pinned = (n.pin_hv | n.pin_d) & r.pieces;
    std::int64_t moves = r.moves;
    if (!(touched & r.touchy) && !pinned) return static_cast<std::uint64_t>(moves);

    const Bitboard free = ~n.us;
    const Bitboard knights = b.knights & n.us;
    if (taken) {
        // Every knight that attacked the taken piece's square may now take there; a knight
        // taken has no moves left.
        moves += T::count(KNIGHT_TARGETS[lowest(taken)] & knights);
        if (taken & r.knights) moves -= T::count(KNIGHT_TARGETS[lowest(taken)] & ~r.own);
    }
    for (Bitboard s = knights & pinned; s;) moves -= T::count(KNIGHT_TARGETS[take_square(s)] & free);

    for (unsigned i = 0; i < r.size; ++i) {
        const Reach& reach = r.reaches[i];
        const Bitboard at = bit(reach.square);
        const Bitboard own_line = reach.diagonal ? n.pin_d : n.pin_hv;
        const Bitboard other_line = reach.diagonal ? n.pin_hv : n.pin_d;
        if (!((reach.attacks | at) & touched) && !(at & pinned)) continue;
        moves -= reach.moves;
        if (at & (taken | other_line)) continue;
        Bitboard attacks = reach.attacks;
        if (reach.attacks & touched) attacks = reach.diagonal ? T::bishop(reach.square, n.occ) : T::rook(reach.square, n.occ);
        if (at & own_line) attacks &= own_line;
        moves += T::count(attacks & free);
    }
    return static_cast<std::uint64_t>(moves);
}

// The replies of the side to move in `b` after the opponent's move from the position `r`
// describes.
template <Flags S, class T>
std::uint64_t count_replies(const Slim& b, const Replies& r) {
    const Node n = analyse<S.white, T>(b);
    const std::uint64_t steps = T::count(n.king_targets);
    if (n.checkers & (n.checkers - 1)) return steps;
    const std::uint64_t pieces = n.checkers || !r.complete ? count_pieces<T>(b, n) : count_pieces_after<T>(b, n, r);
    return steps + count_castles_and_pawns<S, T>(b, n) + pieces;
}

// ---------------------------------------------------------------------------------------------
// Making moves

// The position after the side to move's piece of mask `kind` goes from `from` to `to`, taking
// the enemy piece that stands there when Capture says one does.
template <bool W, bool Capture = true>
[[gnu::always_inline]] inline Slim moved(Slim c, Bitboard Slim::*kind, Bitboard from, Bitboard to) {
    if constexpr (Capture) {
        const Bitboard keep = ~to;
        c.pawns &= keep;
        c.knights &= keep;
        c.diagonal &= keep;
        c.orthogonal &= keep;
        (W ? c.black : c.white) &= keep;
    }
    c.*kind ^= from | to;
    (W ? c.white : c.black) ^= from | to;
    return c;
}

// A queen moves in both slider masks.
template <bool W, bool Capture>
[[gnu::always_inline]] inline Slim slid(const Slim& b, Bitboard Slim::*kind, Bitboard Slim::*other, Bitboard from,
                                        Bitboard to, bool queen) {
    Slim c = moved<W, Capture>(b, kind, from, to);
    if (queen) c.*other ^= from | to;
    return c;
}

enum class Promotion { Queen, Knight, Rook, Bishop };

template <bool W>
[[gnu::always_inline]] inline Slim promoted(const Slim& b, Bitboard from, Bitboard to, Promotion p) {
    Slim c = moved<W>(b, &Slim::pawns, from, to);
    c.pawns ^= to;
    if (p == Promotion::Knight) c.knights |= to;
    if (p == Promotion::Queen || p == Promotion::Bishop) c.diagonal |= to;
    if (p == Promotion::Queen || p == Promotion::Rook) c.orthogonal |= to;
    return c;
}

// ---------------------------------------------------------------------------------------------
// Handing moves to the callback

// The callback is a generic lambda taking the child's Flags as its template argument.
template <Flags C, class Visit>
[[gnu::always_inline]] inline void hand(Visit& visit, const Slim& child) {
    visit.template operator()<C>(child);
}

template <Flags S, unsigned R = 0, class Visit>
[[gnu::always_inline]] inline void hand_with_rights(Visit& visit, const Slim& child, unsigned rights) {
    if constexpr (R < 16) {
        if constexpr ((R & ~unsigned{S.rights}) == 0) {
            if (rights == R) return hand<Flags{!S.white, false, static_cast<std::uint8_t>(R)}>(visit, child);
        }
        hand_with_rights<S, R + 1>(visit, child, rights);
    }
}

// A move that leaves or lands on `touched` squares: when one is a home square of a right still
// held, the child holds fewer rights.
template <Flags S, class Visit>
[[gnu::always_inline]] inline void hand_touching(Visit& visit, const Slim& child, Bitboard touched) {
    if constexpr (S.rights == 0) {
        hand<after(S)>(visit, child);
    } else {
        if (touched & right_squares(S.rights)) [[unlikely]]
            hand_with_rights<S>(visit, child, surviving_rights(S.rights, touched));
        else
            hand<after(S)>(visit, child);
    }
}

// Hands the moves of one piece from `from` to each square of `targets`, made by make<Capture>(to):
// captures first, then quiet moves, which have nothing to clear. Only a king or a rook may
// stand on a right's home square (FromHome); a quiet move never lands on one, since one whose
// right is still held is occupied.
template <Flags S, bool FromHome, class Visit, class Make>
[[gnu::always_inline]] inline void hand_moves(Visit& visit, const Node& n, Bitboard from, Bitboard targets, Make make) {
    for (Bitboard t = targets & n.them; t;) {
        const Bitboard to = take_bit(t);
        hand_touching<S>(visit, make.template operator()<true>(to), FromHome ? from | to : to);
    }
    for (Bitboard t = targets & ~n.them; t;) {
        const Bitboard to = take_bit(t);
        if constexpr (FromHome)
            hand_touching<S>(visit, make.template operator()<false>(to), from);
        else
            hand<after(S)>(visit, make.template operator()<false>(to));
    }
}

// The four promotions of the pawn from `from` to `to`. Promotions are rare in any tree, and
// one copy of them per position state and callback, rather than one per kind of pawn move,
// keeps the enumerator's code a good deal smaller.
template <Flags S, class Visit>
[[gnu::noinline]] void hand_promotions(Visit& visit, const Slim& b, Bitboard from, Bitboard to) {
    for (const Promotion p : {Promotion::Queen, Promotion::Knight, Promotion::Rook, Promotion::Bishop})
        hand_touching<S>(visit, promoted<S.white>(b, from, to, p), to);
}

// ---------------------------------------------------------------------------------------------
// Every legal move, made

template <Flags S, class T, class Visit>
[[gnu::always_inline]] inline void each_move(const Slim& b, Visit& visit) {
    constexpr bool W = S.white;
    const Node n = analyse<W, T>(b);
    const Bitboard king = bit(n.king);

    hand_moves<S, true>(visit, n, king, n.king_targets,
                        [&]<bool Capture>(Bitboard to) { return moved<W, Capture>(b, &Slim::kings, king, to); });
    if (n.checkers & (n.checkers - 1)) return;

    if constexpr (own_rights(S) != 0) {
        constexpr Flags castled = Flags{!S.white, false, static_cast<std::uint8_t>(S.rights & ~own_rights(S))};
        constexpr unsigned base = W ? 0 : 56;
        if (!n.checkers) {
            if constexpr (own_rights(S) & (W ? 1 : 4)) {
                if (!(n.occ & KING_SIDE_PATH<W>) && (n.king_targets & KING_SIDE_NEAR<W>) &&
                    castle_square_safe<T>(b, n, KING_SIDE_FAR<W>)) {
                    Slim c = b;
                    c.kings ^= bit(base + 4) | bit(base + 6);
                    c.orthogonal ^= bit(base + 7) | bit(base + 5);
                    (W ? c.white : c.black) ^= bit(base + 4) | bit(base + 5) | bit(base + 6) | bit(base + 7);
                    hand<castled>(visit, c);
                }
            }
            if constexpr (own_rights(S) & (W ? 2 : 8)) {
                if (!(n.occ & QUEEN_SIDE_PATH<W>) && (n.king_targets & QUEEN_SIDE_NEAR<W>) &&
                    castle_square_safe<T>(b, n, QUEEN_SIDE_FAR<W>)) {
                    Slim c = b;
                    c.kings ^= bit(base + 4) | bit(base + 2);
                    c.orthogonal ^= bit(base + 0) | bit(base + 3);
                    (W ? c.white : c.black) ^= bit(base + 0) | bit(base + 2) | bit(base + 3) | bit(base + 4);
                    hand<castled>(visit, c);
                }
            }
        }
    }

    const Bitboard movable = n.movable;
    const Bitboard pinned = n.pin_hv | n.pin_d;

    // Of these pieces only a rook may leave a right's home square (FromHome): one whose right
    // is still held has its rook or its king standing on it.
    for (Bitboard s = b.knights & n.us & ~pinned; s;) {
        const Bitboard from = take_bit(s);
        hand_moves<S, false>(visit, n, from, KNIGHT_TARGETS[lowest(from)] & movable, [&]<bool Capture>(Bitboard to) {
            return moved<W, Capture>(b, &Slim::knights, from, to);
        });
    }
    for (Bitboard s = b.diagonal & n.us & ~n.pin_hv; s;) {
        const Bitboard from = take_bit(s);
        Bitboard t = T::bishop(lowest(from), n.occ) & movable;
        if (n.pin_d & from) t &= n.pin_d;
        const bool queen = b.orthogonal & from;
        hand_moves<S, false>(visit, n, from, t, [&]<bool Capture>(Bitboard to) {
            return slid<W, Capture>(b, &Slim::diagonal, &Slim::orthogonal, from, to, queen);
        });
    }
    for (Bitboard s = b.orthogonal & n.us & ~n.pin_d; s;) {
        const Bitboard from = take_bit(s);
        Bitboard t = T::rook(lowest(from), n.occ) & movable;
        if (n.pin_hv & from) t &= n.pin_hv;
        const bool queen = b.diagonal & from;
        hand_moves<S, true>(visit, n, from, t, [&]<bool Capture>(Bitboard to) {
            return slid<W, Capture>(b, &Slim::orthogonal, &Slim::diagonal, from, to, queen);
        });
    }

    const auto [once, twice, west, east] = pawn_targets<W>(b, n);

    // A step never lands on a right's home square: one that still holds its right is occupied.
    for (Bitboard t = once & ~LAST_RANK<W>; t;) {
        const Bitboard to = take_bit(t);
        hand<after(S)>(visit, moved<W, false>(b, &Slim::pawns, shift(to, -FORWARD<W>), to));
    }
    for (Bitboard t = twice; t;) {
        const Bitboard to = take_bit(t);
        const Slim c = moved<W, false>(b, &Slim::pawns, shift(to, -2 * FORWARD<W>), to);
        // The reply may take en passant only with a pawn beside the one that stepped.
        if ((((to << 1) & ~FILE_A) | ((to >> 1) & ~FILE_H)) & b.pawns & n.them) {
            Slim with_ep = c;
            with_ep.ep = lowest(to);
            hand<Flags{!S.white, true, S.rights}>(visit, with_ep);
        } else {
            hand<after(S)>(visit, c);
        }
    }
    // Non-promoting captures land short of the last rank, where no right's home square is.
    for (Bitboard t = west & ~LAST_RANK<W>; t;) {
        const Bitboard to = take_bit(t);
        hand<after(S)>(visit, moved<W>(b, &Slim::pawns, shift(to, -WEST<W>), to));
    }
    for (Bitboard t = east & ~LAST_RANK<W>; t;) {
        const Bitboard to = take_bit(t);
        hand<after(S)>(visit, moved<W>(b, &Slim::pawns, shift(to, -EAST<W>), to));
    }
    if (b.pawns & n.us & PROMOTING_RANK<W>) {
        for (Bitboard t = once & LAST_RANK<W>; t;) {
            const Bitboard to = take_bit(t);
            hand_promotions<S>(visit, b, shift(to, -FORWARD<W>), to);
        }
        for (Bitboard t = west & LAST_RANK<W>; t;) {
            const Bitboard to = take_bit(t);
            hand_promotions<S>(visit, b, shift(to, -WEST<W>), to);
        }
        for (Bitboard t = east & LAST_RANK<W>; t;) {
            const Bitboard to = take_bit(t);
            hand_promotions<S>(visit, b, shift(to, -EAST<W>), to);
        }
    }

    if constexpr (S.ep) {
        const unsigned dest = static_cast<unsigned>(static_cast<int>(b.ep) + FORWARD<W>);
        for (Bitboard s = en_passant_capturers<W>(b, n); s;) {
            const unsigned from = take_square(s);
            if (!en_passant_safe<W, T>(b, n, from, b.ep)) continue;
            Slim c = b;
            c.pawns ^= bit(from) | bit(dest) | bit(b.ep);
            (W ? c.white : c.black) ^= bit(from) | bit(dest);
            (W ? c.black : c.white) ^= bit(b.ep);
            hand<after(S)>(visit, c);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The tree

// Leaves of the legal move tree below `b`, for depth >= 2.
template <Flags S, class T>
std::uint64_t walk(const Slim& b, unsigned depth) {
    std::uint64_t nodes = 0;
    if (depth == 2) {
        Replies replies;
        prepare_replies<!S.white, T>(b, replies);
        auto leaves = [&nodes, &replies]<Flags C>(const Slim& child) {
            nodes += count_replies<counted(C), T>(child, replies);
        };
        each_move<S, T>(b, leaves);
    } else {
        auto subtree = [&nodes, depth]<Flags C>(const Slim& child) { nodes += walk<C, T>(child, depth - 1); };
        each_move<S, T>(b, subtree);
    }
    return nodes;
}

template <Flags S, class T>
std::uint64_t walk_from_root(const Slim& b, unsigned depth) {
    if (depth == 0) return 1;
    if (depth == 1) return count_moves<counted(S), T>(b);
    return walk<S, T>(b, depth);
}

// Root state index: bit 0 Black to move, bit 1 en passant, bits 2-5 the rights.
constexpr Flags flags_at(std::size_t i) {
    return Flags{(i & 1) == 0, (i & 2) != 0, static_cast<std::uint8_t>(i >> 2)};
}

using RootWalk = std::uint64_t (*)(const Slim&, unsigned);

template <class T, std::size_t... I>
constexpr std::array<RootWalk, sizeof...(I)> root_walks(std::index_sequence<I...>) {
    return {&walk_from_root<flags_at(I), T>...};
}

// The board as the enumerator sees it; the caller has checked that it is one the enumerator
// handles (see perft.cpp).
template <class T>
std::uint64_t count_leaves(const Board& board, unsigned depth) {
    static constexpr auto WALKS = root_walks<T>(std::make_index_sequence<64>{});
    const Bitboard queens = board.pieces(Piece::Queen);
    const Slim b{board.pieces(Piece::Pawn), board.pieces(Piece::Knight), board.pieces(Piece::Bishop) | queens,
                 board.pieces(Piece::Rook) | queens, board.pieces(Piece::King), board.pieces(Color::White),
                 board.pieces(Color::Black), board.ep_square ? unsigned{*board.ep_square} : 0u};
    const std::size_t index = (board.side_to_move == Color::White ? 0 : 1) | (board.ep_square ? 2 : 0) |
                              std::size_t{board.castle_rights[0].bits} << 2 |
                              std::size_t{board.castle_rights[1].bits} << 4;
    return WALKS[index](b, depth);
}

}  // namespace
}  // namespace chess

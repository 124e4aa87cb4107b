#include "make_move.hpp"

#include <array>

#include "attack_tables.hpp"

namespace chess {

namespace {

// [colour][square]: the rights of that colour which a piece leaving or being taken on the square
// ends. Only the king's and the rooks' home squares carry any.
constexpr std::array<std::array<std::uint8_t, 64>, 2> make_rights_tied() {
    std::array<std::array<std::uint8_t, 64>, 2> t{};
    t[0][0] = CastleRights::QUEEN_SIDE;   // a1
    t[0][4] = CastleRights::BOTH_SIDES;   // e1
    t[0][7] = CastleRights::KING_SIDE;    // h1
    t[1][56] = CastleRights::QUEEN_SIDE;  // a8
    t[1][60] = CastleRights::BOTH_SIDES;  // e8
    t[1][63] = CastleRights::KING_SIDE;   // h8
    return t;
}
constexpr auto RIGHTS_TIED = make_rights_tied();

// Adds or removes one piece: its bit in the kind, colour and occupancy masks, its key in the hash.
inline void toggle(Board& b, Piece p, Color c, unsigned sq) {
    const Bitboard bit = square_bb(sq);
    b.piece_masks[index(p)] ^= bit;
    b.color_masks[index(c)] ^= bit;
    b.occupied ^= bit;
    b.hash ^= piece_key(c, p, sq);
}

// Replaces the kind of the piece on `sq`, keeping its colour.
inline void change_kind(Board& b, Piece from, Piece to, Color c, unsigned sq) {
    const Bitboard bit = square_bb(sq);
    b.piece_masks[index(from)] ^= bit;
    b.piece_masks[index(to)] ^= bit;
    b.hash ^= piece_key(c, from, sq) ^ piece_key(c, to, sq);
}

constexpr bool on_rank(unsigned sq, unsigned rank_a, unsigned rank_b) {
    return (sq >> 3) == rank_a || (sq >> 3) == rank_b;
}

// Checks and pins against the king of `them` on `k`, given by the pieces of `us` (which just
// moved). Every knight and pawn is looked at, not only the one that moved: a move that left
// `them`'s own king attacked may stand unanswered, and its check must not be forgotten.
void record_checks_and_pins(Board& b, Color us, unsigned k) {
    const Color them = ~us;
    const Bitboard ours = b.pieces(us);
    b.checkers = ours & ((b.pieces(Piece::Knight) & KNIGHT_TARGETS[k]) |
                         (b.pieces(Piece::Pawn) & PAWN_CAPTURE_TARGETS[index(them)][k]));

    const Bitboard queens = b.pieces(Piece::Queen);
    const Bitboard aligned = ours & (((b.pieces(Piece::Bishop) | queens) & DIAGONAL_RAYS[k]) |
                                     ((b.pieces(Piece::Rook) | queens) & ORTHOGONAL_RAYS[k]));
    for (Bitboard s = aligned; s;) {
        const unsigned sq = pop_lsb(s);
        const Bitboard between = SQUARES_BETWEEN[sq][k] & b.occupied;
        if (!between) b.checkers |= square_bb(sq);
        else if (!more_than_one(between)) b.pinned |= between;
    }
}

}  // namespace

const char* describe(MoveFault fault) {
    switch (fault) {
        case MoveFault::EmptyFromSquare: return "no piece on";
        case MoveFault::NotSideToMove: return "the side not to move owns the piece on";
        case MoveFault::OwnPieceOnTarget: return "the side to move already has a piece on";
        case MoveFault::CastlingRookMissing: return "no rook to castle with on";
        case MoveFault::CastlingRookBlocked: return "the castling rook would land on the occupied square";
    }
    return "unknown fault on";
}

namespace {

// Plays the move on `r` itself: what the move reads of the old position (the pieces it moves
// and takes, the en-passant square) is read before anything changes.
template <bool TrackChecks>
void make_move(Board& r, const ChessMove& move) {
    const Color us = r.side_to_move, them = ~us;
    const unsigned from = move.from_square, to = move.to_square;
    const auto moved_kind = r.piece_at(move.from_square);
    assert(moved_kind && contains(r.pieces(us), from) && !contains(r.pieces(us), to));
    const Piece moved = *moved_kind;
    const std::optional<Piece> captured = contains(r.occupied, to) ? r.piece_at(move.to_square) : std::nullopt;
    const std::optional<Square> ep_before = r.ep_square;

    r.ep_square.reset();
    r.pinned = 0;
    r.checkers = 0;

    toggle(r, moved, us, from);
    toggle(r, moved, us, to);
    if (captured) {
        r.piece_masks[index(*captured)] ^= square_bb(to);
        r.color_masks[index(them)] ^= square_bb(to);
        r.occupied |= square_bb(to);
        r.hash ^= piece_key(them, *captured, to);
    }

    r.castle_rights[index(us)] = r.castle_rights[index(us)].without(RIGHTS_TIED[index(us)][from]);
    r.castle_rights[index(them)] = r.castle_rights[index(them)].without(RIGHTS_TIED[index(them)][to]);

    if (moved == Piece::King) {
        if (is_castling_king_move(move.from_square, move.to_square)) {
            const RookSquares rook = castling_rook_squares(us, move.to_square);
            assert(contains(r.pieces(us, Piece::Rook), rook.from) && !contains(r.occupied, rook.to));
            toggle(r, Piece::Rook, us, rook.from);
            toggle(r, Piece::Rook, us, rook.to);
        }
    } else if (moved == Piece::Pawn) {
        if (move.promotion) {
            assert(*move.promotion != Piece::Pawn && *move.promotion != Piece::King);
            change_kind(r, Piece::Pawn, *move.promotion, us, to);
        } else if (on_rank(from, 1, 6) && on_rank(to, 3, 4)) {
            // A double step. The capture would land on the square behind the pawn; when a
            // piece stands there (the "step" jumped over it) no capture can be offered.
            const unsigned behind = us == Color::White ? to - 8 : to + 8;
            const Bitboard capturers =
                NEIGHBOUR_FILES[to & 7] & RANK_MASKS[to >> 3] & r.pieces(them, Piece::Pawn);
            if (capturers && !contains(r.occupied, behind)) r.ep_square = move.to_square;
        } else if (ep_before && to == (us == Color::White ? *ep_before + 8u : *ep_before - 8u)) {
            toggle(r, Piece::Pawn, them, *ep_before);
        }
    }

    // The king just taken has nobody to check or pin against.
    if constexpr (TrackChecks) {
        if (const Bitboard their_king = r.pieces(them, Piece::King)) record_checks_and_pins(r, us, lsb(their_king));
    }
    r.side_to_move = them;
}

template <bool TrackChecks>
Board make_move(const Board& board, const ChessMove& move) {
    Board r = board;
    make_move<TrackChecks>(r, move);
    return r;
}

}  // namespace

Board play_move_unchecked(const Board& board, const ChessMove& move) { return make_move<true>(board, move); }

Board play_pseudo_legal_move(const Board& board, const ChessMove& move) { return make_move<false>(board, move); }

void apply_move_unchecked(Board& board, const ChessMove& move) { make_move<true>(board, move); }

void apply_pseudo_legal_move(Board& board, const ChessMove& move) { make_move<false>(board, move); }

Result<Board, MoveFault> play_move(const Board& board, const ChessMove& move) {
    const Color us = board.side_to_move;
    if (!contains(board.occupied, move.from_square)) return MoveFault::EmptyFromSquare;
    if (!contains(board.pieces(us), move.from_square)) return MoveFault::NotSideToMove;
    if (contains(board.pieces(us), move.to_square)) return MoveFault::OwnPieceOnTarget;
    if (contains(board.pieces(Piece::King), move.from_square) &&
        is_castling_king_move(move.from_square, move.to_square)) {
        const RookSquares rook = castling_rook_squares(us, move.to_square);
        if (!contains(board.pieces(us, Piece::Rook), rook.from)) return MoveFault::CastlingRookMissing;
        if (contains(board.occupied, rook.to)) return MoveFault::CastlingRookBlocked;
    }
    return play_move_unchecked(board, move);
}

}  // namespace chess

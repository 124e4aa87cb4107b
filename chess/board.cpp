#include "board.hpp"

#include <utility>

#include "attack_tables.hpp"

namespace chess {

namespace {

constexpr Square E1 = Square(4), E8 = Square(60);
constexpr Square A1 = Square(0), H1 = Square(7), A8 = Square(56), H8 = Square(63);

// Where the double step described by an en-passant file would have started and passed over;
// an occupied one means the step cannot have happened.
bool double_step_possible(const Board& b, Square pawn) {
    const bool black_pawn = b.side_to_move == Color::White;
    const Square passed = Square(black_pawn ? pawn + 8 : pawn - 8);
    const Square start = Square(black_pawn ? pawn + 16 : pawn - 16);
    return !contains(b.occupied, passed) && !contains(b.occupied, start);
}

}  // namespace

Result<Board> Board::try_from(const BoardBuilder& builder) {
    Board b;
    for (unsigned sq = 0; sq < 64; ++sq) {
        const auto& placed = builder.squares[sq];
        if (!placed) continue;
        b.piece_masks[index(placed->kind)] |= square_bb(sq);
        b.color_masks[index(placed->color)] |= square_bb(sq);
        b.occupied |= square_bb(sq);
        b.hash ^= piece_key(placed->color, placed->kind, sq);
    }
    b.side_to_move = builder.side_to_move;
    b.castle_rights = builder.castle_rights;

    if (builder.ep_file) {
        const unsigned file = *builder.ep_file;
        const Square candidate = Square(b.side_to_move == Color::White ? 32 + file : 24 + file);
        const Bitboard capturers = b.pieces(b.side_to_move, Piece::Pawn) & RANK_MASKS[candidate.rank()] &
                                   NEIGHBOUR_FILES[file];
        if (capturers && double_step_possible(b, candidate)) b.ep_square = candidate;
    }

    update_pin_info(b);
    if (!is_sane(b)) return Error::of(ErrorKind::InvalidBoard);
    return b;
}

Result<Board> Board::from_str(std::string_view fen) {
    auto builder = BoardBuilder::from_str(fen);
    if (!builder) return builder.error();
    return try_from(*builder);
}

std::string Board::to_fen(std::uint64_t fullmove) const {
    std::string out;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (unsigned file = 0; file < 8; ++file) {
            const Square sq = Square::at(file, unsigned(rank));
            const auto piece = piece_at(sq);
            if (!piece) {
                ++empty;
                continue;
            }
            if (empty) out += char('0' + std::exchange(empty, 0));
            const char letter = "pnbrqk"[index(*piece)];
            out += color_at(sq) == Color::White ? char(letter - 'a' + 'A') : letter;
        }
        if (empty) out += char('0' + empty);
        if (rank) out += '/';
    }
    out += side_to_move == Color::White ? " w " : " b ";
    const std::size_t rights_at = out.size();
    if (castle_rights[0].king_side()) out += 'K';
    if (castle_rights[0].queen_side()) out += 'Q';
    if (castle_rights[1].king_side()) out += 'k';
    if (castle_rights[1].queen_side()) out += 'q';
    if (out.size() == rights_at) out += '-';
    out += ' ';
    if (ep_square) {
        // The board keeps the pawn that made the double step; FEN names the square it passed.
        const unsigned passed = side_to_move == Color::White ? *ep_square + 8u : *ep_square - 8u;
        char text[2];
        Square(passed).write(text);
        out.append(text, 2);
    } else {
        out += '-';
    }
    out += " 0 " + std::to_string(fullmove);
    return out;
}

void update_pin_info(Board& b) {
    b.pinned = 0;
    b.checkers = 0;
    const Color us = b.side_to_move, them = ~us;
    const auto king = b.king_square(us);
    if (!king) return;
    const unsigned ksq = *king;

    const Bitboard queens = b.pieces(Piece::Queen);
    const Bitboard candidates =
        b.pieces(them) & (((b.pieces(Piece::Bishop) | queens) & DIAGONAL_RAYS[ksq]) |
                          ((b.pieces(Piece::Rook) | queens) & ORTHOGONAL_RAYS[ksq]));
    for (Bitboard c = candidates; c;) {
        const unsigned sq = pop_lsb(c);
        const Bitboard between = SQUARES_BETWEEN[sq][ksq] & b.occupied;
        if (!between) b.checkers |= square_bb(sq);
        else if (!more_than_one(between)) b.pinned |= between;
    }
    b.checkers |= b.pieces(them, Piece::Knight) & KNIGHT_TARGETS[ksq];
    b.checkers |= b.pieces(them, Piece::Pawn) & PAWN_CAPTURE_TARGETS[index(us)][ksq];
}

bool is_sane(const Board& b) {
    Bitboard seen = 0, all = 0;
    for (const Bitboard m : b.piece_masks) {
        if (seen & m) return false;
        seen |= m;
        all |= m;
    }
    if (b.color_masks[0] & b.color_masks[1]) return false;
    if (b.occupied != all) return false;

    const Bitboard white_king = b.pieces(Color::White, Piece::King);
    const Bitboard black_king = b.pieces(Color::Black, Piece::King);
    if (popcount(white_king) != 1 || popcount(black_king) != 1) return false;

    if (b.ep_square && !contains(b.pieces(~b.side_to_move, Piece::Pawn), *b.ep_square)) return false;

    Board flipped = b;
    flipped.side_to_move = ~b.side_to_move;
    update_pin_info(flipped);
    if (flipped.checkers) return false;

    const auto rights_fit = [&](Color c, Square king_home, Square king_rook, Square queen_rook) {
        const CastleRights r = b.castle_rights[index(c)];
        if (!r.any()) return true;
        if (b.pieces(c, Piece::King) != king_home.bb()) return false;
        const Bitboard rooks = b.pieces(c, Piece::Rook);
        if (r.king_side() && !contains(rooks, king_rook)) return false;
        if (r.queen_side() && !contains(rooks, queen_rook)) return false;
        return true;
    };
    if (!rights_fit(Color::White, E1, H1, A1)) return false;
    if (!rights_fit(Color::Black, E8, H8, A8)) return false;

    if (KING_TARGETS[lsb(white_king)] & b.pieces(Piece::King)) return false;
    return true;
}

std::uint64_t compute_hash(const Board& b) {
    std::uint64_t hash = 0;
    for (std::size_t k = 0; k < PIECE_KINDS; ++k)
        for (std::size_t c = 0; c < 2; ++c)
            for (Bitboard m = b.piece_masks[k] & b.color_masks[c]; m;)
                hash ^= piece_key(static_cast<Color>(c), piece_from_index(k), pop_lsb(m));
    return hash;
}

}  // namespace chess

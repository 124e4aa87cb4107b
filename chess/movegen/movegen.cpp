#include "movegen.hpp"

#include "chess/attack_tables.hpp"
#include "chess/movegen/pext_tables.hpp"
#include "chess/movegen/piece_type.hpp"


namespace chess {

namespace {

// One rank towards the far side of the board for a pawn of `Us`; squares fall off at the edge.
template <Color Us>
constexpr Bitboard forward(Bitboard b) {
    return Us == Color::White ? b << 8 : b >> 8;
}

// Rank index from which every pawn move is a promotion.
template <Color Us>
constexpr unsigned PROMOTING_RANK = Us == Color::White ? 6 : 1;

// See king_destination_safe; the king is taken off the board so it cannot shield `dest`.
template <Color Us>
bool destination_safe(const Board& b, unsigned ksq, unsigned dest) {
    const Bitboard occ = (b.occupied ^ square_bb(ksq)) | square_bb(dest);
    const Bitboard enemy = b.pieces(~Us);
    const Bitboard queens = b.pieces(Piece::Queen);
    const Bitboard attackers =
        (rook_attacks(dest, occ) & (b.pieces(Piece::Rook) | queens)) |
        (bishop_attacks(dest, occ) & (b.pieces(Piece::Bishop) | queens)) |
        (KNIGHT_TARGETS[dest] & b.pieces(Piece::Knight)) |
        (PAWN_CAPTURE_TARGETS[index(Us)][dest] & b.pieces(Piece::Pawn)) | (KING_TARGETS[dest] & b.pieces(Piece::King));
    return (attackers & enemy) == 0;
}

// Pushes and captures of a pawn on `s`, before any pin, check or own-piece mask. A blocked
// pawn has no double step either.
template <Color Us>
Bitboard pawn_destinations(const Board& b, unsigned s) {
    const Bitboard captures = PAWN_CAPTURE_TARGETS[index(Us)][s] & b.occupied;
    const Bitboard single = forward<Us>(square_bb(s)) & ~b.occupied;
    const Bitboard pushes = single ? PAWN_PUSH_TARGETS[index(Us)][s] & ~b.occupied : 0;
    return captures | pushes;
}

// Slider lookups: the magic tables everywhere (the default), or the PEXT ones, which may only
// run where the CPU has PEXT (see pseudo_legal_pext).
struct MagicSliders {
    static Bitboard rook(unsigned s, Bitboard occ) { return rook_attacks(s, occ); }
    static Bitboard bishop(unsigned s, Bitboard occ) { return bishop_attacks(s, occ); }
};

#if defined(__x86_64__)
// Only pseudo_legal_pext, built for BMI2, ever reaches these.
using PextSliders = detail::PextLookups;
#endif

// Attack set of a bishop, rook or queen on `s`; own pieces are masked out by the caller.
template <Piece P, class Sliders = MagicSliders>
Bitboard slider_destinations(unsigned s, Bitboard occ) {
    if constexpr (P == Piece::Bishop) return Sliders::bishop(s, occ);
    else if constexpr (P == Piece::Rook) return Sliders::rook(s, occ);
    else return Sliders::rook(s, occ) | Sliders::bishop(s, occ);
}

// The square `n` files along ksq's rank, wrapping within the rank.
constexpr unsigned along_rank(unsigned ksq, int n) {
    return (ksq & 56u) | ((ksq + static_cast<unsigned>(n + 8)) & 7u);
}

}  // namespace

// Builds the groups of a board's moves and hands each to an output, which either keeps it (a
// MoveGen; this builder is its friend so the group storage stays closed to everyone else) or
// only counts its moves (MoveCounter). Both see the same groups in the same order.
struct MoveGenBuilder {
    struct Summarising;
    // generate_pseudo_legal(board, summary) with the given slider lookups.
    template <class Sliders>
    static MoveGen pseudo_legal(const Board& board, MoveGen::Summary& summary);
    // One group per pawn with destinations inside `mask`; a pinned pawn keeps to its pin line.
    template <Color Us, class Out>
    static void add_pawns(const Board& b, Out& gen, Bitboard pawns, Bitboard mask, unsigned ksq, bool pinned) {
        for (Bitboard p = pawns; p;) {
            const unsigned s = pop_lsb(p);
            Bitboard targets = pawn_destinations<Us>(b, s) & mask;
            if (pinned) targets &= LINE_THROUGH[ksq][s];
            if (targets) gen.push(s, targets, (s >> 3) == PROMOTING_RANK<Us>);
        }
    }

    // add_pawns for the fog-of-war rules, where no pawn is pinned: every pawn's pushes are
    // worked out at once, so that a pawn's own group needs no test of whether it is blocked.
    template <Color Us, class Out>
    static void add_pawns_pseudo(const Board& b, Out& gen, Bitboard pawns) {
        constexpr Bitboard THIRD_RANK = Us == Color::White ? RANK_MASKS[2] : RANK_MASKS[5];
        const Bitboard empty = ~b.occupied;
        const Bitboard them = b.pieces(~Us);
        const Bitboard single = forward<Us>(pawns) & empty;
        const Bitboard twice = forward<Us>(single & THIRD_RANK) & empty;
        for (Bitboard p = pawns; p; p &= p - 1) {
            const Bitboard pawn = p & (0 - p);
            const unsigned s = lsb(p);
            const Bitboard ahead = forward<Us>(pawn);
            const Bitboard targets = (PAWN_CAPTURE_TARGETS[index(Us)][s] & them) | (single & ahead) |
                                     (twice & forward<Us>(ahead));
            if (targets) gen.push(s, targets, (s >> 3) == PROMOTING_RANK<Us>);
        }
    }

    // One single-move group per pawn beside the en-passant pawn whose capture exposes no king line.
    template <Color Us, class Out>
    static void add_en_passant(const Board& b, Out& gen) {
        if (!b.ep_square) return;
        const Square e = *b.ep_square;
        // A knight or a pawn other than the one taken can only be answered by capturing it or
        // by a king move. Play never offers an en-passant capture beside such a check, but a
        // position reached through moves that left a king attacked can.
        if (b.checkers & ~e.bb() & (b.pieces(Piece::Knight) | b.pieces(Piece::Pawn))) return;
        const unsigned dest = Us == Color::White ? e + 8 : e - 8;
        // The pawn that made the double step passed over `dest`, so it is empty.
        assert(!contains(b.occupied, dest));
        for (Bitboard p = b.pieces(Us, Piece::Pawn) & RANK_MASKS[e.rank()] & NEIGHBOUR_FILES[e.file()]; p;) {
            const unsigned s = pop_lsb(p);
            if (PawnType::legal_ep_move(b, Square(s), Square(dest))) gen.push(s, square_bb(dest), false);
        }
    }

    // One group per bishop, rook or queen in `pieces`; pinned ones keep to their pin line.
    template <Color Us, Piece P, class Out, class Sliders = MagicSliders>
    static void add_sliders(const Board& b, Out& gen, Bitboard pieces, Bitboard mask, unsigned ksq, bool pinned) {
        for (Bitboard p = pieces; p;) {
            const unsigned s = pop_lsb(p);
            Bitboard targets = slider_destinations<P, Sliders>(s, b.occupied) & mask;
            if (pinned) targets &= LINE_THROUGH[ksq][s];
            if (targets) gen.push(s, targets, false);
        }
    }

    // Knights never move along a pin line, so callers pass unpinned knights only.
    template <class Out>
    static void add_knights(Out& gen, Bitboard knights, Bitboard mask) {
        for (Bitboard p = knights; p;) {
            const unsigned s = pop_lsb(p);
            if (const Bitboard targets = KNIGHT_TARGETS[s] & mask) gen.push(s, targets, false);
        }
    }

    // The king's one-square steps onto squares no enemy piece covers.
    template <Color Us>
    static Bitboard king_steps(const Board& b, unsigned ksq) {
        Bitboard safe = 0;
        for (Bitboard t = KING_TARGETS[ksq] & ~b.pieces(Us); t;) {
            const unsigned d = pop_lsb(t);
            if (destination_safe<Us>(b, ksq, d)) safe |= square_bb(d);
        }
        return safe;
    }

    // Castling destinations. The king's own square is not tested (the caller is not in check),
    // and the b-file square of the long castle need only be empty. The rights alone vouch for
    // king and rook standing at home: moving either or capturing the rook withdraws them.
    template <Color Us>
    static Bitboard castles(const Board& b, unsigned ksq) {
        const CastleRights r = b.castle_rights[index(Us)];
        Bitboard result = 0;
        if (r.king_side() && !(CASTLE_PATH_KINGSIDE[index(Us)] & b.occupied) &&
            destination_safe<Us>(b, ksq, along_rank(ksq, 1)) && destination_safe<Us>(b, ksq, along_rank(ksq, 2)))
            result |= square_bb(along_rank(ksq, 2));
        if (r.queen_side() && !(CASTLE_PATH_QUEENSIDE[index(Us)] & b.occupied) &&
            destination_safe<Us>(b, ksq, along_rank(ksq, -1)) && destination_safe<Us>(b, ksq, along_rank(ksq, -2)))
            result |= square_bb(along_rank(ksq, -2));
        return result;
    }

    // Groups in the order the caller sees: the cases differ by the number of checkers.
    template <Color Us, class Out>
    static void generate(const Board& b, Out& gen) {
        const Bitboard own = b.pieces(Us);
        const Bitboard kings = own & b.pieces(Piece::King);
        if (!kings) return;
        const unsigned ksq = lsb(kings);

        if (more_than_one(b.checkers)) {
            if (const Bitboard t = king_steps<Us>(b, ksq)) gen.push(ksq, t, false);
            return;
        }

        const Bitboard unpinned = own & ~b.pinned;
        const Bitboard pinned = own & b.pinned;
        const Bitboard queens = b.pieces(Piece::Queen);
        const Bitboard pawns = b.pieces(Piece::Pawn);
        const Bitboard knights = b.pieces(Piece::Knight);
        const Bitboard bishops = b.pieces(Piece::Bishop);
        const Bitboard rooks = b.pieces(Piece::Rook);

        if (!b.checkers) {
            const Bitboard allowed = ~own;
            add_pawns<Us>(b, gen, pawns & unpinned, allowed, ksq, false);
            add_pawns<Us>(b, gen, pawns & pinned, allowed, ksq, true);
            add_en_passant<Us>(b, gen);
            add_knights(gen, knights & unpinned, allowed);
            add_sliders<Us, Piece::Bishop>(b, gen, bishops & unpinned, allowed, ksq, false);
            add_sliders<Us, Piece::Bishop>(b, gen, bishops & pinned, allowed, ksq, true);
            add_sliders<Us, Piece::Rook>(b, gen, rooks & unpinned, allowed, ksq, false);
            add_sliders<Us, Piece::Rook>(b, gen, rooks & pinned, allowed, ksq, true);
            add_sliders<Us, Piece::Queen>(b, gen, queens & unpinned, allowed, ksq, false);
            add_sliders<Us, Piece::Queen>(b, gen, queens & pinned, allowed, ksq, true);
            if (const Bitboard t = king_steps<Us>(b, ksq) | castles<Us>(b, ksq)) gen.push(ksq, t, false);
            return;
        }

        // Single check: a piece other than the king must capture the checker or block its line.
        // Pinned pieces never can, and en passant answers to its own test instead of the mask.
        const unsigned checker = lsb(b.checkers);
        const Bitboard check_mask = (SQUARES_BETWEEN[checker][ksq] | square_bb(checker)) & ~own;
        add_pawns<Us>(b, gen, pawns & unpinned, check_mask, ksq, false);
        add_en_passant<Us>(b, gen);
        add_knights(gen, knights & unpinned, check_mask);
        add_sliders<Us, Piece::Bishop>(b, gen, bishops & unpinned, check_mask, ksq, false);
        add_sliders<Us, Piece::Rook>(b, gen, rooks & unpinned, check_mask, ksq, false);
        add_sliders<Us, Piece::Queen>(b, gen, queens & unpinned, check_mask, ksq, false);
        if (const Bitboard t = king_steps<Us>(b, ksq)) gen.push(ksq, t, false);
    }
    // Every pseudo-legal move, for the fog-of-war game: pins and checks play no part, the king
    // may step onto an attacked square, and castling needs only the right and an empty path (it
    // may start in, pass through or land in check). Groups come in the same order as above.
    template <Color Us, class Out, class Sliders = MagicSliders>
    static void generate_pseudo(const Board& b, Out& gen) {
        const Bitboard own = b.pieces(Us);
        const Bitboard kings = own & b.pieces(Piece::King);
        if (!kings) return;
        const unsigned ksq = lsb(kings);
        const Bitboard allowed = ~own;

        add_pawns_pseudo<Us>(b, gen, b.pieces(Piece::Pawn) & own);
        if (b.ep_square) {
            const Square e = *b.ep_square;
            const unsigned dest = Us == Color::White ? e + 8 : e - 8;
            for (Bitboard p = b.pieces(Us, Piece::Pawn) & RANK_MASKS[e.rank()] & NEIGHBOUR_FILES[e.file()]; p;)
                gen.push(pop_lsb(p), square_bb(dest), false);
        }
        add_knights(gen, b.pieces(Piece::Knight) & own, allowed);
        add_sliders<Us, Piece::Bishop, Out, Sliders>(b, gen, b.pieces(Piece::Bishop) & own, allowed, ksq, false);
        add_sliders<Us, Piece::Rook, Out, Sliders>(b, gen, b.pieces(Piece::Rook) & own, allowed, ksq, false);
        add_sliders<Us, Piece::Queen, Out, Sliders>(b, gen, b.pieces(Piece::Queen) & own, allowed, ksq, false);

        Bitboard king = KING_TARGETS[ksq] & allowed;
        const CastleRights r = b.castle_rights[index(Us)];
        if (r.king_side() && !(CASTLE_PATH_KINGSIDE[index(Us)] & b.occupied)) king |= square_bb(along_rank(ksq, 2));
        if (r.queen_side() && !(CASTLE_PATH_QUEENSIDE[index(Us)] & b.occupied)) king |= square_bb(along_rank(ksq, -2));
        if (king) gen.push_king(ksq, king);
    }
};

namespace {

// Population count by summing bit fields in the register, for CPUs without a popcnt
// instruction (where std::popcount becomes a call into the compiler's runtime library).
struct PortablePopcount {
    static unsigned of(Bitboard b) {
        b = b - ((b >> 1) & 0x5555555555555555ULL);
        b = (b & 0x3333333333333333ULL) + ((b >> 2) & 0x3333333333333333ULL);
        b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
        return static_cast<unsigned>((b * 0x0101010101010101ULL) >> 56);
    }
};

// std::popcount, which is one instruction where the caller is compiled for popcnt.
struct NativePopcount {
    static unsigned of(Bitboard b) { return static_cast<unsigned>(std::popcount(b)); }
};

// Takes the groups of MoveGenBuilder and keeps only the number of moves they hold.
template <class Popcount>
struct MoveCounter {
    std::size_t moves = 0;
    void push(unsigned, Bitboard targets, bool promotes) {
        moves += static_cast<std::size_t>(Popcount::of(targets)) << (promotes ? 2 : 0);
    }
    void push_king(unsigned source, Bitboard targets) { push(source, targets, false); }
};

template <class Popcount>
[[gnu::always_inline]] inline std::size_t count_with(const Board& board) {
    MoveCounter<Popcount> counter;
    if (board.side_to_move == Color::White) MoveGenBuilder::generate<Color::White>(board, counter);
    else MoveGenBuilder::generate<Color::Black>(board, counter);
    return counter.moves;
}

#if defined(__x86_64__) || defined(__i386__)
bool cpu_supports_popcnt() {
    __builtin_cpu_init();  // may run before the runtime library's own initialisation
    return __builtin_cpu_supports("popcnt");
}
#else
bool cpu_supports_popcnt() { return false; }
#endif

// Read once at load; the CPU does not change under a running process.
const bool HAS_POPCNT = cpu_supports_popcnt();

}  // namespace

namespace detail {

// Both variants inline the whole generator (flatten), so the popcnt one counts every group
// with the instruction and the portable one never calls out.
[[gnu::flatten]] std::size_t count_moves_portable(const Board& board) {
    return count_with<PortablePopcount>(board);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::flatten, gnu::target("popcnt")]] std::size_t count_moves_popcnt(const Board& board) {
    return count_with<NativePopcount>(board);
}
#else
std::size_t count_moves_popcnt(const Board& board) { return count_with<NativePopcount>(board); }
#endif

bool popcnt_available() { return HAS_POPCNT; }

}  // namespace detail

std::size_t MoveGen::count(const Board& board) {
    return HAS_POPCNT ? detail::count_moves_popcnt(board) : detail::count_moves_portable(board);
}

MoveGen MoveGen::generate(const Board& board) {
    MoveGen gen;
    if (board.side_to_move == Color::White) MoveGenBuilder::generate<Color::White>(board, gen);
    else MoveGenBuilder::generate<Color::Black>(board, gen);
    return gen;
}

std::optional<ChessMove> MoveGen::next() {
    if (current_ >= count_) return std::nullopt;
    MoveGroup& g = groups_[current_];
    const Square dest = Square(lsb(g.targets));
    std::optional<Piece> promotion;
    if (g.promotes) {
        promotion = PROMOTION_ORDER[cursor_++];
        if (cursor_ < PROMOTION_ORDER.size()) return ChessMove{g.source, dest, promotion};
        cursor_ = 0;
    }
    g.targets &= g.targets - 1;
    if (!g.targets) ++current_;
    return ChessMove{g.source, dest, promotion};
}

std::size_t MoveGen::len() const {
    std::size_t n = 0;
    for (std::size_t i = current_; i < count_; ++i)
        n += static_cast<std::size_t>(popcount(groups_[i].targets)) * (groups_[i].promotes ? PROMOTION_ORDER.size() : 1);
    return n - cursor_;
}

std::size_t MoveGen::collect(ChessMove* out, std::size_t capacity) {
    std::size_t n = 0;
    for (; n < capacity; ++n) {
        const auto move = next();
        if (!move) break;
        out[n] = *move;
    }
    return n;
}

MoveGen MoveGen::generate_pseudo_legal(const Board& board) {
    MoveGen gen;
    if (board.side_to_move == Color::White) MoveGenBuilder::generate_pseudo<Color::White>(board, gen);
    else MoveGenBuilder::generate_pseudo<Color::Black>(board, gen);
    return gen;
}

// Writes the groups into a MoveGen's storage and keeps its summary on the way. The king's group
// comes through push_king, so that no other group needs a test for it. The cursor and the
// tallies live here, in registers once everything is inlined, rather than in the generator and
// the caller's summary, which every byte stored into a group might alias.
struct MoveGenBuilder::Summarising {
    MoveGroup* next;
    std::uint16_t* first_slot;
    std::size_t plain_moves = 0;
    std::size_t promoting_pawns = 0;
    Bitboard non_king_targets = 0;
    void push(unsigned source, Bitboard targets, bool promotes) {
        *first_slot++ = static_cast<std::uint16_t>(plain_moves + 4 * promoting_pawns);
        *next++ = MoveGroup{targets, Square(source), promotes};
        if (promotes) ++promoting_pawns;
        else plain_moves += static_cast<std::size_t>(std::popcount(targets));
        non_king_targets |= targets;
    }
    void push_king(unsigned source, Bitboard targets) {
        *first_slot++ = static_cast<std::uint16_t>(plain_moves + 4 * promoting_pawns);
        *next++ = MoveGroup{targets, Square(source), false};
        plain_moves += static_cast<std::size_t>(std::popcount(targets));
    }
};

template <class Sliders>
MoveGen MoveGenBuilder::pseudo_legal(const Board& board, MoveGen::Summary& summary) {
    MoveGen gen;
    MoveGroup* const first = gen.groups_.data();
    Summarising out{first, summary.first_slot.data()};
    if (board.side_to_move == Color::White) generate_pseudo<Color::White, Summarising, Sliders>(board, out);
    else generate_pseudo<Color::Black, Summarising, Sliders>(board, out);
    assert(out.next - first <= static_cast<std::ptrdiff_t>(MAX_MOVE_GROUPS));
    gen.count_ = static_cast<std::uint8_t>(out.next - first);
    summary.plain_moves = out.plain_moves;
    summary.promoting_pawns = out.promoting_pawns;
    summary.non_king_targets = out.non_king_targets;
    return gen;
}

namespace detail {

// Built twice, for CPUs with popcnt and without, as the batch's loops are: it runs once a move.
// The whole builder is inlined (flatten), so that the popcnt build counts with the instruction.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
[[gnu::target_clones("popcnt", "default"), gnu::flatten]]
#endif
MoveGen pseudo_legal_magic(const Board& board, MoveGen::Summary& summary) {
    return MoveGenBuilder::pseudo_legal<MagicSliders>(board, summary);
}

#if defined(__x86_64__)
// And once more with PEXT lookups, for CPUs whose PEXT is fast (checked once at load, which
// also fills the PEXT table). Everything is inlined into this one function, so no code built
// for BMI2 can reach a caller on a CPU without it.
[[gnu::target("bmi,bmi2,popcnt"), gnu::flatten]] MoveGen pseudo_legal_pext(const Board& board,
                                                                           MoveGen::Summary& summary) {
    return MoveGenBuilder::pseudo_legal<PextSliders>(board, summary);
}
#else
MoveGen pseudo_legal_pext(const Board& board, MoveGen::Summary& summary) { return pseudo_legal_magic(board, summary); }
#endif

}  // namespace detail

namespace {

#if defined(__x86_64__)
const bool PSEUDO_LEGAL_PEXT = detail::pext_fast();
#else
const bool PSEUDO_LEGAL_PEXT = false;
#endif

}  // namespace

bool detail::pseudo_legal_pext_chosen() { return PSEUDO_LEGAL_PEXT; }

MoveGen MoveGen::generate_pseudo_legal(const Board& board, Summary& summary) {
    return PSEUDO_LEGAL_PEXT ? detail::pseudo_legal_pext(board, summary) : detail::pseudo_legal_magic(board, summary);
}

std::size_t MoveGen::count_pseudo_legal(const Board& board) {
    MoveCounter<NativePopcount> counter;
    if (board.side_to_move == Color::White) MoveGenBuilder::generate_pseudo<Color::White>(board, counter);
    else MoveGenBuilder::generate_pseudo<Color::Black>(board, counter);
    return counter.moves;
}

bool king_destination_safe(const Board& board, unsigned ksq, unsigned dest) {
    return board.side_to_move == Color::White ? destination_safe<Color::White>(board, ksq, dest)
                                              : destination_safe<Color::Black>(board, ksq, dest);
}

}  // namespace chess

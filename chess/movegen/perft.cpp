#include "perft.hpp"

#include "chess/make_move.hpp"
#include "chess/movegen/legal_walk.hpp"
#include "chess/movegen/movegen.hpp"
#include "chess/movegen/pext_tables.hpp"

namespace chess {

namespace {

// The enumerator takes the position's rules on trust where MoveGen reads them off the board:
// castling rights with king and rook at home, one king a side that the mover cannot capture,
// and an en-passant pawn on its fourth rank with the square it passed over empty. Legal play
// from a sane board keeps all of that, so checking the root is enough.
bool fits_enumerator(const Board& b) {
    if (!is_sane(b)) return false;
    if (!b.ep_square) return true;
    const bool white = b.side_to_move == Color::White;
    const Square e = *b.ep_square;
    const unsigned passed = white ? e + 8u : e - 8u;
    return e.rank() == (white ? 4u : 3u) && !contains(b.occupied, passed);
}

template <std::uint64_t (*Leaves)(const Board&, unsigned)>
std::uint64_t checked(const Board& board, unsigned depth) {
    return fits_enumerator(board) ? Leaves(board, depth) : movegen_perft(board, depth);
}

bool cpu_has_popcnt() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

// Asked here rather than of MoveGen's own flag, whose initialisation may come after this one.
const bool HAS_POPCNT = cpu_has_popcnt();

PerftVariant choose_best() {
    if (detail::pext_fast()) return PerftVariant::Pext;
    if (HAS_POPCNT) return PerftVariant::Magic;
    return PerftVariant::Baseline;
}

// Chosen during static initialisation, which also builds the PEXT table where it is needed.
const PerftVariant BEST = choose_best();

}  // namespace

std::string_view perft_variant_name(PerftVariant variant) {
    switch (variant) {
        case PerftVariant::Pext: return "pext";
        case PerftVariant::Magic: return "magic";
        case PerftVariant::Baseline: return "baseline";
    }
    return "unknown";
}

std::optional<PerftVariant> perft_variant_from_name(std::string_view name) {
    for (const PerftVariant v : PERFT_VARIANTS)
        if (perft_variant_name(v) == name) return v;
    return std::nullopt;
}

bool perft_variant_available(PerftVariant variant) {
    switch (variant) {
        case PerftVariant::Pext: return detail::bmi2_available();
        case PerftVariant::Magic: return HAS_POPCNT;
        case PerftVariant::Baseline: return true;
    }
    return false;
}

PerftVariant best_perft_variant() { return BEST; }

PerftFunction perft_function(PerftVariant variant) {
    if (!perft_variant_available(variant)) return nullptr;
    switch (variant) {
        case PerftVariant::Pext: return &checked<detail::leaves_pext>;
        case PerftVariant::Magic: return &checked<detail::leaves_magic>;
        case PerftVariant::Baseline: return &checked<detail::leaves_baseline>;
    }
    return nullptr;
}

std::uint64_t perft(const Board& board, unsigned depth) { return perft_function(BEST)(board, depth); }

std::uint64_t movegen_perft(const Board& board, unsigned depth) {
    if (depth == 0) return 1;
    if (depth == 1) return MoveGen::count(board);
    MoveGen gen = MoveGen::generate(board);
    std::uint64_t nodes = 0;
    while (const auto move = gen.next()) nodes += movegen_perft(play_move_unchecked(board, *move), depth - 1);
    return nodes;
}

}  // namespace chess

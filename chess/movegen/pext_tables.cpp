#include "pext_tables.hpp"

namespace chess::detail {

namespace {

// Counting the subsets of a mask with the carry-rippler ((s - m) & m) visits them in the order
// of their PEXT index, so the n-th subset met belongs in slot base + n; no PEXT is needed to
// fill the table.
template <class Walk>
void fill(const std::array<PextSquare, 64>& squares, Walk walk) {
    for (unsigned sq = 0; sq < 64; ++sq) {
        const PextSquare& e = squares[sq];
        Bitboard subset = 0;
        std::uint64_t slot = e.base;
        do {
            pext_slots[slot++] = walk(sq, subset);
            subset = (subset - e.relevant) & e.relevant;
        } while (subset != 0);
    }
}

bool cpu_has_bmi2() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();  // may run before the runtime library's own initialisation
    return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

bool build_if_useful() {
    if (!cpu_has_bmi2()) return false;
    fill(PEXT_ROOK, walk_rook_attacks);
    fill(PEXT_BISHOP, walk_bishop_attacks);
    return true;
}

}  // namespace

bool pext_is_slow() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_is("amdfam15h") || __builtin_cpu_is("amdfam17h");
#else
    return false;
#endif
}

alignas(64) std::array<Bitboard, PEXT_SLOT_COUNT> pext_slots{};

// The first caller builds the table, whichever static initialiser or thread it runs in; the
// enumerator's dispatch asks during its own static initialisation, so that happens at load.
bool bmi2_available() {
    static const bool built = build_if_useful();
    return built;
}

}  // namespace chess::detail

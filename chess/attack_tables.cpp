#include "attack_tables.hpp"

namespace chess {
namespace {

// Fills every slot of one slider kind: for each square, every subset of its relevant mask
// ORs its walked attack set into the slot it hashes to.
template <class Walk>
void fill(std::array<Bitboard, SLIDER_SLOT_COUNT>& slots, const std::array<MagicEntry, 64>& entries, Walk walk) {
    for (unsigned sq = 0; sq < 64; ++sq) {
        const MagicEntry& e = entries[sq];
        Bitboard subset = 0;
        do {
            slots[detail::slot_of(e, subset)] |= walk(sq, subset);
            subset = (subset - e.relevant_mask) & e.relevant_mask;
        } while (subset != 0);
    }
}

bool build_slots() {
    fill(detail::slider_slots, ROOK_MAGIC_ENTRIES, walk_rook_attacks);
    fill(detail::slider_slots, BISHOP_MAGIC_ENTRIES, walk_bishop_attacks);
    return true;
}

}  // namespace

namespace detail {
alignas(64) std::array<Bitboard, SLIDER_SLOT_COUNT> slider_slots{};
}

// Runs during static initialisation, after slider_slots has been zero-initialised and before
// any caller can reach a lookup.
[[maybe_unused]] static const bool SLOTS_BUILT = build_slots();

}  // namespace chess

// Attack lookups for every piece. Leapers, rays and lines are compile-time tables (geometry.hpp);
// the sliders use multiply-and-shift hashing into one shared slot table built once at load.
//
// Slot table layout (SLIDER_ATTACK_SLOTS):
//   [0, 2560)        bishops. Every bishop square has a range of 2^bits slots, but the light-square
//                    ranges and the dark-square ranges are laid in two layers over the same slots: a
//                    light bishop never attacks a dark square, so the final AND with the square's own
//                    rays separates the two. b1/a2, g8/h7 (light) and g1/h2, a7/b8 (dark) even share a
//                    range, since neither square of such a pair lies on the other's diagonals beyond
//                    the pair itself.
//   [2560, 104960)   rooks, one dense range per square in square order, one attack set per slot.
#pragma once

#include <array>
#include <cstdint>

#include "bitboard.hpp"
#include "geometry.hpp"
#include "magic_numbers.hpp"

namespace chess {

struct MagicEntry {
    std::uint64_t multiplier;
    Bitboard relevant_mask;
    std::uint32_t slot_base;
    std::uint8_t shift;
};

inline constexpr std::uint32_t BISHOP_SLOTS = 2560;
inline constexpr std::uint32_t SLIDER_SLOT_COUNT = 104960;

namespace detail {

constexpr bool is_light(unsigned sq) { return ((sq >> 3) + (sq & 7)) & 1; }

// A square whose range coincides with an earlier square's (see the layout above); 64 for none.
constexpr unsigned shared_range_with(unsigned sq) {
    switch (sq) {
        case 8: return 1;    // a2 with b1
        case 15: return 6;   // h2 with g1
        case 57: return 48;  // b8 with a7
        case 62: return 55;  // g8 with h7
        default: return 64;
    }
}

constexpr std::array<MagicEntry, 64> bishop_entries() {
    std::array<MagicEntry, 64> t{};
    std::uint32_t next[2] = {0, 0};  // next free slot of the dark and the light layer
    for (unsigned sq = 0; sq < 64; ++sq) {
        const Bitboard mask = bishop_relevant_mask(sq);
        const auto bits = static_cast<unsigned>(popcount(mask));
        std::uint32_t base;
        if (shared_range_with(sq) < 64) {
            base = t[shared_range_with(sq)].slot_base;
        } else {
            base = next[is_light(sq)];
            next[is_light(sq)] += 1u << bits;
        }
        t[sq] = MagicEntry{BISHOP_MULTIPLIERS[sq], mask, base, static_cast<std::uint8_t>(64 - bits)};
    }
    return t;
}

constexpr std::array<MagicEntry, 64> rook_entries() {
    std::array<MagicEntry, 64> t{};
    std::uint32_t base = BISHOP_SLOTS;
    for (unsigned sq = 0; sq < 64; ++sq) {
        const Bitboard mask = rook_relevant_mask(sq);
        const auto bits = static_cast<unsigned>(popcount(mask));
        t[sq] = MagicEntry{ROOK_MULTIPLIERS[sq], mask, base, static_cast<std::uint8_t>(64 - bits)};
        base += 1u << bits;
    }
    return t;
}

constexpr bool ranges_fit() {
    std::uint32_t bishop_end = 0, rook_end = 0;
    for (const auto& e : bishop_entries()) bishop_end = std::max(bishop_end, e.slot_base + (1u << (64 - e.shift)));
    for (const auto& e : rook_entries()) rook_end = std::max(rook_end, e.slot_base + (1u << (64 - e.shift)));
    return bishop_end <= BISHOP_SLOTS && rook_end == SLIDER_SLOT_COUNT;
}
static_assert(ranges_fit(), "slider ranges overflow the slot table");

}  // namespace detail

inline constexpr std::array<MagicEntry, 64> ROOK_MAGIC_ENTRIES = detail::rook_entries();
inline constexpr std::array<MagicEntry, 64> BISHOP_MAGIC_ENTRIES = detail::bishop_entries();

namespace detail {
// Filled once during static initialisation of the engine library and never written again;
// the lookups below index it directly.
extern std::array<Bitboard, SLIDER_SLOT_COUNT> slider_slots;

constexpr std::size_t slot_of(const MagicEntry& e, Bitboard occupancy) {
    return e.slot_base + static_cast<std::size_t>(((occupancy & e.relevant_mask) * e.multiplier) >> e.shift);
}
}  // namespace detail

inline constexpr const std::array<Bitboard, SLIDER_SLOT_COUNT>& SLIDER_ATTACK_SLOTS = detail::slider_slots;

// Squares a rook on `sq` attacks: along rank and file up to and including the first occupied
// square. The colour of a blocker plays no part; callers mask out their own pieces.
inline Bitboard rook_attacks(unsigned sq, Bitboard occupancy) {
    return detail::slider_slots[detail::slot_of(ROOK_MAGIC_ENTRIES[sq], occupancy)] & ORTHOGONAL_RAYS[sq];
}

// The same along the diagonals. The AND with the rays removes what other squares sharing the
// slot left there.
inline Bitboard bishop_attacks(unsigned sq, Bitboard occupancy) {
    return detail::slider_slots[detail::slot_of(BISHOP_MAGIC_ENTRIES[sq], occupancy)] & DIAGONAL_RAYS[sq];
}

inline Bitboard queen_attacks(unsigned sq, Bitboard occupancy) {
    return rook_attacks(sq, occupancy) | bishop_attacks(sq, occupancy);
}

}  // namespace chess

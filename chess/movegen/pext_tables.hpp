// Slider attack tables indexed by PEXT, for the BMI2 builds of the legal enumerator and of the
// fog-of-war generator.
//
// PEXT gathers the bits of the occupancy that lie on a square's relevant mask into a dense
// index, so every square owns exactly 2^bits slots, with no multiplier search and no shared
// ranges (compare attack_tables.hpp):
//
//   [0, 102400)        rooks, one range per square in square order
//   [102400, 107648)   bishops, likewise
//
// Each slot holds the whole attack set. Storing it compressed to 16 bits and spreading it
// back with PDEP takes 210 KiB instead of 841 KiB, but measured about 8 % slower on the start
// position's perft: PDEP's latency sits on every lookup's path.
//
// The slots are filled during static initialisation of whatever links the engine, and only on a
// CPU with BMI2: elsewhere the table is never written, stays in untouched zero pages and
// costs no memory.
#pragma once

#include <array>
#include <cstdint>

#include "chess/bitboard.hpp"
#include "chess/geometry.hpp"

namespace chess::detail {

struct PextSquare {
    Bitboard relevant;   // the occupancy bits that decide the attack set
    std::uint64_t base;  // first slot of the square's range
};

inline constexpr std::uint32_t PEXT_ROOK_SLOTS = 102400;
inline constexpr std::uint32_t PEXT_SLOT_COUNT = 107648;

constexpr std::array<PextSquare, 64> pext_squares(bool rook, std::uint64_t base) {
    std::array<PextSquare, 64> t{};
    for (unsigned sq = 0; sq < 64; ++sq) {
        const Bitboard relevant = rook ? rook_relevant_mask(sq) : bishop_relevant_mask(sq);
        t[sq] = PextSquare{relevant, base};
        base += std::uint64_t{1} << popcount(relevant);
    }
    return t;
}

inline constexpr std::array<PextSquare, 64> PEXT_ROOK = pext_squares(true, 0);
inline constexpr std::array<PextSquare, 64> PEXT_BISHOP = pext_squares(false, PEXT_ROOK_SLOTS);

static_assert(PEXT_ROOK[63].base + (1u << popcount(PEXT_ROOK[63].relevant)) == PEXT_ROOK_SLOTS);
static_assert(PEXT_BISHOP[63].base + (1u << popcount(PEXT_BISHOP[63].relevant)) == PEXT_SLOT_COUNT);

extern std::array<Bitboard, PEXT_SLOT_COUNT> pext_slots;

#if defined(__x86_64__)
// Lookups through the table, with PEXT written as the instruction itself rather than as the
// compiler's intrinsic: the intrinsic may only be inlined into code built for BMI2, these into
// any. Only code that runs where bmi2_available() may call them.
struct PextLookups {
    static Bitboard gather(Bitboard occ, Bitboard mask) {
        Bitboard out;
        asm("pextq %2, %1, %0" : "=r"(out) : "r"(occ), "rm"(mask));
        return out;
    }
    // PDEP, PEXT's inverse: the low bits of `bits` laid onto the set bits of `mask` in order.
    static Bitboard deposit(Bitboard bits, Bitboard mask) {
        Bitboard out;
        asm("pdepq %2, %1, %0" : "=r"(out) : "r"(bits), "rm"(mask));
        return out;
    }
    static Bitboard rook(unsigned sq, Bitboard occ) {
        const PextSquare& e = PEXT_ROOK[sq];
        return pext_slots[e.base + gather(occ, e.relevant)];
    }
    static Bitboard bishop(unsigned sq, Bitboard occ) {
        const PextSquare& e = PEXT_BISHOP[sq];
        return pext_slots[e.base + gather(occ, e.relevant)];
    }
};
#endif

// Whether this CPU runs PEXT (with BMI1 and popcnt), and so whether pext_slots has been filled.
// The first call fills it.
bool bmi2_available();

// AMD's Bulldozer line and Zen 1 and 2 have BMI2 but run PEXT in microcode, hundreds of cycles
// a lookup: there the magic lookups are far faster.
bool pext_is_slow();

// Whether the engine takes the PEXT builds: BMI2 with PEXT and PDEP in hardware.
inline bool pext_fast() { return bmi2_available() && !pext_is_slow(); }

}  // namespace chess::detail

// splitmix64 (Steele, Lea and Flood; Vigna's constants): a 64-bit counter stepped by the golden
// ratio and scrambled by a finaliser. It seeds the Zobrist keys at compile time and drives the
// batch's per-game random streams. Seeded games and stored data depend on the exact bits, so
// neither constant may change.
#pragma once

#include <cstdint>

namespace chess {

inline constexpr std::uint64_t SPLITMIX_GAMMA = 0x9E3779B97F4A7C15ULL;

// The finaliser alone: a bijection of 64-bit words whose every output bit depends on every
// input bit, good for turning a seed and an index into an unrelated starting state.
constexpr std::uint64_t splitmix64_mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// One step of the generator: advances `state` and returns the next output.
constexpr std::uint64_t splitmix64_next(std::uint64_t& state) { return splitmix64_mix(state += SPLITMIX_GAMMA); }

}  // namespace chess

// The legal enumerator with PEXT/PDEP slider lookups and the popcnt instruction, for CPUs with
// BMI2. Only this unit's own functions are built for those instructions (see legal_walk.ipp).
#include <array>
#include <cstdint>
#include <utility>

#include "chess/board.hpp"
#include "chess/geometry.hpp"
#include "chess/movegen/legal_walk.hpp"
#include "chess/movegen/pext_tables.hpp"

#if defined(__x86_64__) || defined(__i386__)

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("bmi,bmi2,popcnt")
#endif

namespace chess {
namespace {

struct PextTools : detail::PextLookups {
    static unsigned count(Bitboard b) { return static_cast<unsigned>(__builtin_popcountll(b)); }
};

}  // namespace
}  // namespace chess

#define QUELLOR_LEGAL_WALK_VARIANT
#include "chess/movegen/legal_walk.ipp"

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace chess::detail {

std::uint64_t leaves_pext(const Board& board, unsigned depth) { return count_leaves<PextTools>(board, depth); }

}  // namespace chess::detail

#else

#include <cstdlib>

namespace chess::detail {

// No CPU but an x86 one has PEXT, so bmi2_available() is false here and nothing calls this.
std::uint64_t leaves_pext(const Board&, unsigned) { std::abort(); }

}  // namespace chess::detail

#endif

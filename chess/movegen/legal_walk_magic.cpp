// The legal enumerator with the engine's magic slider lookups and the popcnt instruction. Only
// this unit's own functions are built for popcnt (see legal_walk.ipp).
#include <array>
#include <cstdint>
#include <utility>

#include "chess/attack_tables.hpp"
#include "chess/board.hpp"
#include "chess/geometry.hpp"
#include "chess/movegen/legal_walk.hpp"

#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
#pragma clang attribute push(__attribute__((target("popcnt"))), apply_to = function)
#elif defined(__x86_64__) || defined(__i386__)
#pragma GCC push_options
#pragma GCC target("popcnt")
#endif

namespace chess {
namespace {

struct MagicTools {
    static Bitboard rook(unsigned sq, Bitboard occ) { return rook_attacks(sq, occ); }
    static Bitboard bishop(unsigned sq, Bitboard occ) { return bishop_attacks(sq, occ); }
    static unsigned count(Bitboard b) { return static_cast<unsigned>(__builtin_popcountll(b)); }
};

}  // namespace
}  // namespace chess

#define QUELLOR_LEGAL_WALK_VARIANT
#include "chess/movegen/legal_walk.ipp"

#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
#pragma clang attribute pop
#elif defined(__x86_64__) || defined(__i386__)
#pragma GCC pop_options
#endif

namespace chess::detail {

std::uint64_t leaves_magic(const Board& board, unsigned depth) { return count_leaves<MagicTools>(board, depth); }

}  // namespace chess::detail

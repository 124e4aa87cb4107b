// The legal enumerator for any x86-64 (or other) CPU: the engine's magic slider lookups and a
// popcount summed in the register, with no instruction beyond the baseline.
#include <array>
#include <cstdint>
#include <utility>

#include "chess/attack_tables.hpp"
#include "chess/board.hpp"
#include "chess/geometry.hpp"
#include "chess/movegen/legal_walk.hpp"

namespace chess {
namespace {

struct BaselineTools {
    static Bitboard rook(unsigned sq, Bitboard occ) { return rook_attacks(sq, occ); }
    static Bitboard bishop(unsigned sq, Bitboard occ) { return bishop_attacks(sq, occ); }
    // Without popcnt, std::popcount is a call into the compiler's runtime library.
    static unsigned count(Bitboard b) {
        b = b - ((b >> 1) & 0x5555555555555555ULL);
        b = (b & 0x3333333333333333ULL) + ((b >> 2) & 0x3333333333333333ULL);
        b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
        return static_cast<unsigned>((b * 0x0101010101010101ULL) >> 56);
    }
};

}  // namespace
}  // namespace chess

#define QUELLOR_LEGAL_WALK_VARIANT
#include "chess/movegen/legal_walk.ipp"

namespace chess::detail {

std::uint64_t leaves_baseline(const Board& board, unsigned depth) {
    return count_leaves<BaselineTools>(board, depth);
}

}  // namespace chess::detail

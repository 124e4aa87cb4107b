// The three builds of the legal enumerator (legal_walk.ipp), one per instruction set. Each
// counts the leaves of the legal move tree to `depth` below a board that perft.cpp has found
// fit for the enumerator; the PEXT one may run only where detail::bmi2_available(), the magic
// one only where the CPU has popcnt. Callers go through perft.hpp.
#pragma once

#include <cstdint>

#include "chess/board.hpp"

namespace chess::detail {

std::uint64_t leaves_pext(const Board& board, unsigned depth);
std::uint64_t leaves_magic(const Board& board, unsigned depth);
std::uint64_t leaves_baseline(const Board& board, unsigned depth);

}  // namespace chess::detail

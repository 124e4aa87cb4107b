// Perft: the number of leaves of the legal move tree below a position, counted by an
// enumerator of its own (legal_walk.ipp) that makes each move inside generation and counts the
// last ply in bulk. It agrees with MoveGen move for move; it exists because MoveGen serves the
// game, with its fixed order and its lazily handed-out moves, and perft wants none of that.
//
// The enumerator is built three times over, one build per instruction set, and one is chosen
// at load; the library itself needs nothing beyond baseline x86-64.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "chess/board.hpp"

namespace chess {

// The builds of the enumerator, fastest first.
//   Pext      PEXT/PDEP slider lookups and popcnt: CPUs with BMI2
//   Magic     the engine's magic slider lookups and popcnt: CPUs with popcnt
//   Baseline  magic lookups and a popcount in plain code: any CPU
enum class PerftVariant : std::uint8_t { Pext, Magic, Baseline };

inline constexpr std::array<PerftVariant, 3> PERFT_VARIANTS = {PerftVariant::Pext, PerftVariant::Magic,
                                                               PerftVariant::Baseline};

// "pext", "magic", "baseline".
std::string_view perft_variant_name(PerftVariant variant);
// The variant of that name; empty for any other text.
std::optional<PerftVariant> perft_variant_from_name(std::string_view name);

// Whether this CPU can run `variant`.
bool perft_variant_available(PerftVariant variant);

// The variant perft() uses: the fastest one this CPU runs, chosen once at load. PEXT is passed
// over on AMD's families 15h and 17h (up to Zen 2), which run it in slow microcode.
PerftVariant best_perft_variant();

using PerftFunction = std::uint64_t (*)(const Board& board, unsigned depth);

// The count of `variant`, or nullptr where this CPU cannot run it.
PerftFunction perft_function(PerftVariant variant);

// The number of leaves of the tree of legal moves `depth` plies deep below `board`: the moves
// MoveGen::generate hands out, made with play_move_unchecked; depth 0 counts the board itself.
// A board that is not one legal play can reach (is_sane fails, or its en-passant pawn is out of
// place) is counted by the MoveGen recursion instead, with MoveGen's answer.
std::uint64_t perft(const Board& board, unsigned depth);

// The same count by the plain recursion over MoveGen::generate and play_move_unchecked, with
// MoveGen::count for the last ply: the reference the enumerator is held to.
std::uint64_t movegen_perft(const Board& board, unsigned depth);

}  // namespace chess

#pragma once

#include <cstddef>
#include <cstdint>

namespace chess {

// Arrays indexed by colour hold White's entry first.
enum class Color : std::uint8_t { White = 0, Black = 1 };

constexpr Color operator~(Color c) { return static_cast<Color>(static_cast<std::uint8_t>(c) ^ 1); }

constexpr std::size_t index(Color c) { return static_cast<std::size_t>(c); }

}  // namespace chess

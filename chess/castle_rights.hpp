#pragma once

#include <cstdint>

namespace chess {

// One side's castling rights: bit 0 = king side (h-file rook), bit 1 = queen side (a-file rook).
struct CastleRights {
    static constexpr std::uint8_t KING_SIDE = 1;
    static constexpr std::uint8_t QUEEN_SIDE = 2;
    static constexpr std::uint8_t BOTH_SIDES = 3;

    std::uint8_t bits = 0;

    constexpr bool king_side() const { return bits & KING_SIDE; }
    constexpr bool queen_side() const { return bits & QUEEN_SIDE; }
    constexpr bool any() const { return bits != 0; }
    constexpr CastleRights without(std::uint8_t mask) const {
        return CastleRights{static_cast<std::uint8_t>(bits & ~mask)};
    }

    friend constexpr bool operator==(CastleRights, CastleRights) = default;
};

}  // namespace chess

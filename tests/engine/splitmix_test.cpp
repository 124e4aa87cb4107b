// The generator behind the Zobrist keys and the batch's random streams, against the reference
// outputs of Vigna's splitmix64.c for the seed 1234567: a slip in either constant or shift
// would silently change every seeded game.
#include <gtest/gtest.h>

#include <cstdint>

#include "chess/splitmix.hpp"

TEST(Splitmix, ReferenceOutputs) {
    std::uint64_t state = 1234567;
    for (const std::uint64_t expected : {6457827717110365317ULL, 3203168211198807973ULL, 9817491932198370423ULL,
                                         4593380528125082431ULL, 16408922859458223821ULL})
        EXPECT_EQ(chess::splitmix64_next(state), expected);
}

// Searches multipliers for the slider lookups and prints them as C++ arrays.
// Run once by hand; its output is chess/magic_numbers.hpp. The search is seeded, so a rerun
// prints the same numbers.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "../chess/geometry.hpp"

using chess::Bitboard;

static bool try_multiplier(const std::vector<Bitboard>& subsets, const std::vector<Bitboard>& attacks,
                           Bitboard multiplier, unsigned shift, std::vector<Bitboard>& used) {
    std::fill(used.begin(), used.end(), ~Bitboard{0});
    for (std::size_t i = 0; i < subsets.size(); ++i) {
        const auto slot = static_cast<std::size_t>((subsets[i] * multiplier) >> shift);
        if (used[slot] == ~Bitboard{0}) used[slot] = attacks[i];
        else if (used[slot] != attacks[i]) return false;
    }
    return true;
}

static Bitboard find(unsigned sq, bool rook, std::mt19937_64& rng) {
    const Bitboard mask = rook ? chess::rook_relevant_mask(sq) : chess::bishop_relevant_mask(sq);
    const unsigned bits = static_cast<unsigned>(chess::popcount(mask));
    std::vector<Bitboard> subsets, attacks;
    Bitboard subset = 0;
    do {
        subsets.push_back(subset);
        attacks.push_back(rook ? chess::walk_rook_attacks(sq, subset) : chess::walk_bishop_attacks(sq, subset));
        subset = (subset - mask) & mask;
    } while (subset != 0);
    std::vector<Bitboard> used(std::size_t{1} << bits);
    for (;;) {
        const Bitboard m = rng() & rng() & rng();
        if (chess::popcount((mask * m) & 0xFF00000000000000ULL) < 6) continue;
        if (try_multiplier(subsets, attacks, m, 64 - bits, used)) return m;
    }
}

int main() {
    std::mt19937_64 rng(0x51ee7c0ffee);
    for (bool rook : {true, false}) {
        std::printf("inline constexpr std::uint64_t %s_MULTIPLIERS[64] = {\n", rook ? "ROOK" : "BISHOP");
        for (unsigned sq = 0; sq < 64; ++sq)
            std::printf("%s0x%016llXULL,%s", sq % 4 == 0 ? "    " : " ",
                        static_cast<unsigned long long>(find(sq, rook, rng)), sq % 4 == 3 ? "\n" : "");
        std::printf("};\n");
    }
}

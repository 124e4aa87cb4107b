// The perft enumerator against the MoveGen recursion it must agree with, on fuzzed positions.
// The input's first byte picks the depth (1 to 3); the FEN text follows up to a newline, and
// each byte after it plays one of the legal moves (by index) before the count. Every build of
// the enumerator this CPU runs must count what MoveGen counts at every depth up to the one
// picked.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"
#include "chess/movegen/perft.hpp"

namespace {

// Positions of many pieces make wide trees: depth 3 only where depth 2 stays small, so that
// an input costs milliseconds, not seconds.
constexpr std::uint64_t MOST_LEAVES_AT_DEPTH_TWO = 20000;
constexpr int MOST_MOVES_PLAYED = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    unsigned depth = 1 + data[0] % 3;
    std::size_t at = 1;
    while (at < size && data[at] != '\n') ++at;
    const auto parsed = chess::Board::from_str(std::string_view(reinterpret_cast<const char*>(data + 1), at - 1));
    if (!parsed) return 0;
    chess::Board board = *parsed;
    for (int played = 0; ++at < size && played < MOST_MOVES_PLAYED; ++played) {
        auto gen = chess::MoveGen::generate(board);
        const std::size_t count = gen.len();
        if (count == 0) break;
        for (std::size_t skip = data[at] % count; skip > 0; --skip) gen.next();
        board = chess::play_move_unchecked(board, *gen.next());
    }

    if (depth == 3 && chess::movegen_perft(board, 2) > MOST_LEAVES_AT_DEPTH_TWO) depth = 2;
    for (unsigned d = 1; d <= depth; ++d) {
        const std::uint64_t expected = chess::movegen_perft(board, d);
        for (const chess::PerftVariant v : chess::PERFT_VARIANTS) {
            const chess::PerftFunction count = chess::perft_function(v);
            fuzz::require(count != nullptr || !chess::perft_variant_available(v), "an available build without a counter");
            if (count) fuzz::require(count(board, d) == expected, "an enumerator build counts other than MoveGen");
        }
        fuzz::require(chess::perft(board, d) == expected, "perft counts other than MoveGen");
    }
    return 0;
}

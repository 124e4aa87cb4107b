// Counts the leaf nodes of the legal move tree, to check move generation and move making
// against other engines and to measure their speed.
//
//   perft <fen | startpos> <depth> [--divide] [--moves <uci>...] [--variant <name>]
//
// --moves plays the given moves (each must be legal) before counting. --divide prints one line
// per root move, "<uci>: <nodes>", in generation order, as Stockfish's "go perft" does.
// The last ply is counted in bulk: a position one ply from the leaves adds its move count.
// --variant picks the counter: one of the enumerator's builds (pext, magic, baseline; by
// default the best this CPU runs) or movegen, the plain recursion over MoveGen that the
// enumerator is held to.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "chess/board.hpp"
#include "chess/make_move.hpp"
#include "chess/movegen/movegen.hpp"
#include "chess/movegen/perft.hpp"

namespace {

constexpr const char* START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

constexpr std::string_view MOVEGEN = "movegen";

int usage() {
    std::fprintf(stderr,
                 "usage: perft <fen | startpos> <depth> [--divide] [--moves <uci>...] "
                 "[--variant pext|magic|baseline|movegen]\n");
    return 2;
}

// The names of the variants this CPU runs, for the refusal of one it does not.
std::string available_variants() {
    std::string names;
    for (const chess::PerftVariant v : chess::PERFT_VARIANTS) {
        if (!chess::perft_variant_available(v)) continue;
        names += chess::perft_variant_name(v);
        names += ", ";
    }
    return names + std::string(MOVEGEN);
}

// Plays `text` if it is one of the board's legal moves; false otherwise.
bool play_legal(chess::Board& board, std::string_view text) {
    const auto parsed = chess::ChessMove::from_str(text);
    if (!parsed) return false;
    chess::MoveGen gen = chess::MoveGen::generate(board);
    while (const auto move = gen.next()) {
        if (*move == *parsed) {
            board = chess::play_move_unchecked(board, *move);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string_view fen = std::strcmp(argv[1], "startpos") == 0 ? START_FEN : argv[1];
    char* end = nullptr;
    const unsigned long depth = std::strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || depth > 64) return usage();

    bool divide = false;
    std::vector<std::string_view> moves;
    std::string_view variant = chess::perft_variant_name(chess::best_perft_variant());
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--divide") == 0) {
            divide = true;
        } else if (std::strcmp(argv[i], "--variant") == 0) {
            if (++i == argc) return usage();
            variant = argv[i];
        } else if (std::strcmp(argv[i], "--moves") == 0) {
            for (++i; i < argc && std::strncmp(argv[i], "--", 2) != 0; ++i) moves.emplace_back(argv[i]);
            --i;
        } else {
            return usage();
        }
    }

    chess::PerftFunction count = &chess::movegen_perft;
    if (variant != MOVEGEN) {
        const auto chosen = chess::perft_variant_from_name(variant);
        if (!chosen) {
            std::fprintf(stderr, "perft: unknown variant \"%.*s\" (pext, magic, baseline or movegen)\n",
                         static_cast<int>(variant.size()), variant.data());
            return 2;
        }
        count = chess::perft_function(*chosen);
        if (!count) {
            std::fprintf(stderr, "perft: this CPU lacks %s, which the %.*s variant needs; it runs %s\n",
                         *chosen == chess::PerftVariant::Pext ? "BMI2 (PEXT)" : "popcnt",
                         static_cast<int>(variant.size()), variant.data(), available_variants().c_str());
            return 2;
        }
    }

    auto parsed = chess::Board::from_str(fen);
    if (!parsed) {
        std::fprintf(stderr, "perft: cannot read the position \"%.*s\"\n", static_cast<int>(fen.size()), fen.data());
        return 2;
    }
    chess::Board board = *parsed;
    for (const std::string_view m : moves) {
        if (!play_legal(board, m)) {
            std::fprintf(stderr, "perft: %.*s is not a legal move here\n", static_cast<int>(m.size()), m.data());
            return 2;
        }
    }

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t nodes = 0;
    if (divide && depth > 0) {
        chess::MoveGen gen = chess::MoveGen::generate(board);
        while (const auto move = gen.next()) {
            const std::uint64_t n = count(chess::play_move_unchecked(board, *move), static_cast<unsigned>(depth - 1));
            nodes += n;
            std::printf("%s: %" PRIu64 "\n", move->uci().c_str(), n);
        }
        std::printf("\n");
    } else {
        nodes = count(board, static_cast<unsigned>(depth));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("Nodes searched: %" PRIu64 "\n", nodes);
    std::printf("Time: %.3f s\n", seconds);
    std::printf("Nodes per second: %.0f\n", seconds > 0 ? static_cast<double>(nodes) / seconds : 0.0);
    std::printf("Variant: %.*s\n", static_cast<int>(variant.size()), variant.data());
    return 0;
}

// FEN text of any bytes: the reader either refuses it or builds a board whose pieces stand where
// a plain reading of the placement puts them, that passes every position check, that the FEN
// writer writes as text read back into the same board, and whose moves can all be listed and
// played.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "checks.hpp"

namespace {

// Placement as a plain reading of the first field: ranks and files wrap, later pieces replace
// earlier ones. Empty when a character falls outside the alphabet.
std::optional<std::array<char, 64>> read_placement(std::string_view field) {
    std::array<char, 64> squares{};
    int rank = 7, file = 0;
    for (const char c : field) {
        if (c == '/') {
            rank = (rank + 7) % 8;
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file = (file + (c - '0')) % 8;
        } else if (std::string_view("PNBRQKpnbrqk").find(c) != std::string_view::npos) {
            squares[rank * 8 + file] = c;
            file = (file + 1) % 8;
        } else {
            return std::nullopt;
        }
    }
    return squares;
}

char letter_on(const chess::Board& b, unsigned sq) {
    const auto kind = b.piece_at(chess::Square(sq));
    if (!kind) return 0;
    const char letter = "pnbrqk"[chess::index(*kind)];
    return b.color_at(chess::Square(sq)) == chess::Color::White ? static_cast<char>(letter - 32) : letter;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto board = chess::Board::from_str(text);

    std::array<std::string_view, 4> fields;
    std::size_t count = 0, start = 0;
    for (;;) {
        const std::size_t space = text.find(' ', start);
        if (count < fields.size()) fields[count] = text.substr(start, space - start);
        ++count;
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    const bool side_ok = count >= 2 && (fields[1] == "w" || fields[1] == "W" || fields[1] == "b" || fields[1] == "B");
    const auto placement = count >= 1 ? read_placement(fields[0]) : std::nullopt;
    const bool readable = count >= 4 && side_ok && placement;
    const auto builder = chess::BoardBuilder::from_str(text);
    fuzz::require(builder.ok() == readable, "FEN syntax accepted or refused against the plain reading");
    if (!builder.ok()) {
        fuzz::require(builder.error().kind == chess::ErrorKind::InvalidFen && builder.error().fen == text,
                      "a syntax error that is not InvalidFen with the text");
        fuzz::require(!board.ok(), "a board from unreadable text");
        return 0;
    }
    if (!board.ok()) {
        fuzz::require(board.error().kind == chess::ErrorKind::InvalidBoard, "readable text refused as unreadable");
        return 0;
    }

    fuzz::require(chess::is_sane(*board), "an accepted board fails the position checks");
    for (unsigned sq = 0; sq < 64; ++sq)
        fuzz::require(letter_on(*board, sq) == (*placement)[sq], "a piece where the placement puts none");
    fuzz::require(board->side_to_move == ((fields[1] == "w" || fields[1] == "W") ? chess::Color::White : chess::Color::Black),
                  "side to move differs from the text");
    const auto again = chess::Board::from_str(board->to_fen());
    fuzz::require(again.ok() && *again == *board, "the written FEN reads back as another board");
    fuzz::check_board(*board);
    fuzz::check_views(*board);
    fuzz::check_moves(*board);
    return 0;
}

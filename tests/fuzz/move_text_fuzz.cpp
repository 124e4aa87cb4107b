// Move text of any bytes, read against a plain reading of the rules: squares from bytes 0-1
// and 2-3, a promotion letter only in a text of exactly five bytes, bytes from the fifth on
// ignored in longer texts, and no cut through a multi-byte character at bytes 2 or 4. A move
// that reads writes back as the same text, and reads again as the same move.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "chess/chess_move.hpp"
#include "checks.hpp"

namespace {

std::optional<unsigned> plain_square(std::string_view t) {
    if (t.size() < 2 || t[0] < 'a' || t[0] > 'h' || t[1] < '1' || t[1] > '8') return std::nullopt;
    return static_cast<unsigned>((t[1] - '1') * 8 + (t[0] - 'a'));
}

bool continues_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

struct Plain {
    chess::ErrorKind error = chess::ErrorKind::InvalidUciMove;  // meaningful when !ok
    bool ok = false;
    unsigned from = 0, to = 0;
    std::optional<chess::Piece> promotion;
};

Plain refused(chess::ErrorKind kind) {
    Plain p;
    p.error = kind;
    return p;
}

Plain plain_read(std::string_view t) {
    Plain p;
    if (t.size() < 2 || (t.size() > 2 && continues_character(t[2]))) return p;
    const auto from = plain_square(t);
    if (!from) return refused(chess::ErrorKind::InvalidSquare);
    if (t.size() < 4 || (t.size() > 4 && continues_character(t[4]))) return p;
    const auto to = plain_square(t.substr(2));
    if (!to) return refused(chess::ErrorKind::InvalidSquare);
    p.from = *from;
    p.to = *to;
    if (t.size() == 5) {
        switch (t[4]) {
            case 'q': p.promotion = chess::Piece::Queen; break;
            case 'r': p.promotion = chess::Piece::Rook; break;
            case 'b': p.promotion = chess::Piece::Bishop; break;
            case 'n': p.promotion = chess::Piece::Knight; break;
            default: return p;
        }
    }
    p.ok = true;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Plain expected = plain_read(text);
    const auto move = chess::ChessMove::from_str(text);
    fuzz::require(move.ok() == expected.ok, "move text accepted or refused against the plain reading");

    const auto square = chess::Square::from_str(text);
    fuzz::require(square.ok() == plain_square(text).has_value(), "square text against the plain reading");
    if (square.ok()) fuzz::require(square->index() == *plain_square(text), "square index against the plain reading");

    if (!move.ok()) {
        fuzz::require(move.error().kind == expected.error, "error kind against the plain reading");
        return 0;
    }
    fuzz::require(move->from_square.index() == expected.from && move->to_square.index() == expected.to &&
                      move->promotion == expected.promotion,
                  "move fields against the plain reading");
    char written[chess::ChessMove::MAX_UCI_LEN];
    const std::size_t len = move->write_uci(written);
    const std::string_view back(written, len);
    fuzz::require(back == text.substr(0, len) && (len == 4 || len == 5), "written text differs from the text read");
    const auto again = chess::ChessMove::from_str(back);
    fuzz::require(again.ok() && *again == *move, "written text reads back differently");
    for (const chess::Color side : {chess::Color::White, chess::Color::Black}) {
        const auto slot = quellor::action_index(side, *move);
        fuzz::require(slot && *slot >= 0 && *slot < quellor::ACTION_COUNT, "action slot out of range");
    }
    return 0;
}

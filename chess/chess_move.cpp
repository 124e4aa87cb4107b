#include "chess_move.hpp"

namespace chess {

namespace {
// True when byte i of the text continues a multi-byte UTF-8 character.
bool inside_character(std::string_view text, std::size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
}
}  // namespace

Result<ChessMove> ChessMove::from_str(std::string_view text) {
    if (text.size() < 2 || (text.size() > 2 && inside_character(text, 2))) return Error::of(ErrorKind::InvalidUciMove);
    const auto from = Square::from_str(text.substr(0, 2));
    if (!from) return from.error();
    if (text.size() < 4 || (text.size() > 4 && inside_character(text, 4))) return Error::of(ErrorKind::InvalidUciMove);
    const auto to = Square::from_str(text.substr(2, 2));
    if (!to) return to.error();

    ChessMove move{*from, *to, std::nullopt};
    if (text.size() == 5) {
        switch (text[4]) {
            case 'q': move.promotion = Piece::Queen; break;
            case 'r': move.promotion = Piece::Rook; break;
            case 'b': move.promotion = Piece::Bishop; break;
            case 'n': move.promotion = Piece::Knight; break;
            default: return Error::of(ErrorKind::InvalidUciMove);
        }
    }
    return move;
}

}  // namespace chess

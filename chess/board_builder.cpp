#include "board_builder.hpp"

#include "square.hpp"

namespace chess {

Result<BoardBuilder> BoardBuilder::from_str(std::string_view text) {
    // Every single space separates, so doubled, leading or trailing spaces give empty fields.
    std::array<std::string_view, 4> fields;
    std::size_t count = 0, start = 0;
    for (;;) {
        const std::size_t space = text.find(' ', start);
        if (count < fields.size()) fields[count] = text.substr(start, space - start);
        ++count;
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    if (count < 4) return Error::invalid_fen(text);

    BoardBuilder builder;
    // Placement: nothing counts ranks or squares; files wrap within a rank and ranks wrap too.
    unsigned rank = 7, file = 0;
    for (const char c : fields[0]) {
        if (c == '/') {
            rank = (rank + 7) % 8;
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file = (file + static_cast<unsigned>(c - '0')) % 8;
        } else if (const auto kind = piece_from_letter(c); kind) {
            const Color color = (c >= 'a') ? Color::Black : Color::White;
            builder.squares[rank * 8 + file] = PlacedPiece{*kind, color};
            file = (file + 1) % 8;
        } else {
            return Error::invalid_fen(text);
        }
    }

    const std::string_view side = fields[1];
    if (side == "w" || side == "W") builder.side_to_move = Color::White;
    else if (side == "b" || side == "B") builder.side_to_move = Color::Black;
    else return Error::invalid_fen(text);

    std::uint8_t white = 0, black = 0;
    for (const char c : fields[2]) {
        if (c == 'K') white |= CastleRights::KING_SIDE;
        else if (c == 'Q') white |= CastleRights::QUEEN_SIDE;
        else if (c == 'k') black |= CastleRights::KING_SIDE;
        else if (c == 'q') black |= CastleRights::QUEEN_SIDE;
    }
    builder.castle_rights = {CastleRights{white}, CastleRights{black}};

    if (const auto ep = Square::from_str(fields[3])) builder.ep_file = ep->file();
    return builder;
}

}  // namespace chess

#include "square.hpp"

namespace chess {

Result<Square> Square::from_str(std::string_view text) {
    if (text.size() < 2) return Error::of(ErrorKind::InvalidSquare);
    const char file = text[0];
    const char rank = text[1];
    if (file < 'a' || file > 'h' || rank < '1' || rank > '8') return Error::of(ErrorKind::InvalidSquare);
    return Square::at(static_cast<unsigned>(file - 'a'), static_cast<unsigned>(rank - '1'));
}

}  // namespace chess

#include "belief.hpp"

#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "chess/board_builder.hpp"
#include "chess/geometry.hpp"
#include "chess/make_move.hpp"
#include "chess/movegen/movegen.hpp"
#include "chess/splitmix.hpp"
#include "game.hpp"

namespace quellor {

using chess::Bitboard;
using chess::Board;
using chess::Color;
using chess::MoveGen;

namespace {

constexpr std::uint8_t NO_EP = 64;

std::uint8_t ep_byte(const Board& b) { return b.ep_square ? static_cast<std::uint8_t>(*b.ep_square) : NO_EP; }

Member pack(const Board& b) {
    return Member{b.piece_masks, b.color_masks,
                  static_cast<std::uint8_t>(b.castle_rights[0].bits | (b.castle_rights[1].bits << 2)), ep_byte(b)};
}

// Pins and checks are left empty: the fog-of-war generator and move maker read neither.
Board unpack(const Member& m, Color to_move) {
    Board b;
    b.piece_masks = m.kinds;
    b.color_masks = m.colors;
    b.occupied = m.colors[0] | m.colors[1];
    b.hash = chess::compute_hash(b);
    b.castle_rights = {chess::CastleRights{static_cast<std::uint8_t>(m.castling & 3)},
                       chess::CastleRights{static_cast<std::uint8_t>(m.castling >> 2)}};
    if (m.ep != NO_EP) b.ep_square = chess::Square(m.ep);
    b.side_to_move = to_move;
    return b;
}

// The placement hash covers the pieces; castling and en passant are folded in here, the side to
// move and the ply being the same for every member.
std::uint64_t key_of(const Board& b, const Member& m) {
    return b.hash ^ chess::splitmix64_mix(0x5EED0000ULL | m.castling | (std::uint64_t{m.ep} << 4));
}

// Uniform in [0, bound), bound > 0, without bias (Lemire's multiply and reject).
std::uint64_t uniform(std::uint64_t& state, std::uint64_t bound) {
    unsigned __int128 m = static_cast<unsigned __int128>(chess::splitmix64_next(state)) * bound;
    auto low = static_cast<std::uint64_t>(m);
    if (low < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(chess::splitmix64_next(state)) * bound;
            low = static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<std::uint64_t>(m >> 64);
}

// Whether `side` would see exactly `v` in `b`. The cheap tests go first: the side's own pieces
// are all in its view, and the enemy pieces on the squares it saw must be where they were seen,
// before the visible squares are worked out at all.
[[gnu::always_inline]] inline bool looks_like(const Board& b, const View& v, Color side) {
    const std::size_t us = chess::index(side);
    if (b.color_masks[us] != v.colors[us] || (b.color_masks[us ^ 1] & v.seen) != v.colors[us ^ 1]) return false;
    const Bitboard seen = visible_squares(b, side);
    if (seen != v.seen) return false;
    for (std::size_t k = 0; k < chess::PIECE_KINDS; ++k)
        if ((b.piece_masks[k] & seen) != v.kinds[k]) return false;
    return b.side_to_move != side || ep_byte(b) == v.ep;
}

// Whether `move` is one of the fog-of-war moves of `b`'s side to move.
bool playable(const Board& b, const chess::ChessMove& move) {
    const MoveGen gen = MoveGen::generate_pseudo_legal(b);
    for (std::size_t i = 0; i < gen.group_count(); ++i) {
        const chess::MoveGroup& g = gen.group(i);
        if (g.source == move.from_square && chess::contains(g.targets, move.to_square) &&
            g.promotes == move.promotion.has_value())
            return true;
    }
    return false;
}

}  // namespace

View view_of(const Board& b, Color side) {
    View v;
    v.seen = visible_squares(b, side);
    for (std::size_t c = 0; c < 2; ++c) v.colors[c] = b.color_masks[c] & v.seen;
    for (std::size_t k = 0; k < chess::PIECE_KINDS; ++k) v.kinds[k] = b.piece_masks[k] & v.seen;
    if (b.side_to_move == side) v.ep = ep_byte(b);
    return v;
}

// Open addressing over 64-bit keys, doubled at half load; a key match is confirmed against the
// member itself, so that two positions sharing a hash are both kept.
struct Belief::Gather {
    struct Slot {
        std::uint64_t key;
        std::uint32_t index;  // EMPTY when free
    };
    static constexpr std::uint32_t EMPTY = UINT32_MAX;

    std::vector<Member> members;
    std::vector<Slot> slots;

    explicit Gather(std::size_t expected) {
        std::size_t n = 64;
        while (n < 2 * expected) n *= 2;
        slots.assign(n, Slot{0, EMPTY});
    }

    void add(const Board& b) {
        const Member m = pack(b);
        const std::uint64_t key = key_of(b, m);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = key & mask;; i = (i + 1) & mask) {
            Slot& s = slots[i];
            if (s.index == EMPTY) {
                if (members.size() >= EMPTY) throw std::length_error("belief: too many positions");
                s = Slot{key, static_cast<std::uint32_t>(members.size())};
                members.push_back(m);
                if (2 * members.size() > slots.size()) grow();
                return;
            }
            if (s.key == key && members[s.index] == m) return;
        }
    }

    void grow() {
        std::vector<Slot> old(2 * slots.size(), Slot{0, EMPTY});
        old.swap(slots);
        const std::size_t mask = slots.size() - 1;
        for (const Slot& s : old) {
            if (s.index == EMPTY) continue;
            std::size_t i = s.key & mask;
            while (slots[i].index != EMPTY) i = (i + 1) & mask;
            slots[i] = s;
        }
    }
};

Belief::Belief(const Board& start, Color side, std::size_t cap, std::uint64_t seed)
    : members_{pack(start)},
      side_(side),
      to_move_(start.side_to_move),
      cap_(cap),
      rng_(chess::splitmix64_mix(seed ^ 0xB5AD4ECEDA1CE2A9ULL)) {}

void Belief::settle(std::vector<Member>&& next) {
    // A uniform subset of cap members: the first cap places of a partial Fisher-Yates shuffle.
    if (next.size() > cap_) {
        for (std::size_t i = 0; i < cap_; ++i) std::swap(next[i], next[i + uniform(rng_, next.size() - i)]);
        next.resize(cap_);
        next.shrink_to_fit();
        exact_ = false;
    }
    members_ = std::move(next);
}

void Belief::own_move(const chess::ChessMove& move, const View& view, Moves after) {
    Gather next(members_.size());
    for (const Member& m : members_) {
        ++candidates_;
        const Board b = unpack(m, side_);
        if (!playable(b, move)) continue;
        const Board c = chess::play_pseudo_legal_move(b, move);
        if (!looks_like(c, view, side_)) continue;
        if (after != Moves::Unknown && (MoveGen::count_pseudo_legal(c) > 0) != (after == Moves::Some)) continue;
        next.add(c);
    }
    settle(std::move(next.members));
    to_move_ = ~side_;
}

void Belief::other_move(const View& view) {
    Gather next(members_.size());
    for (const Member& m : members_) {
        const Board b = unpack(m, ~side_);
        MoveGen gen = MoveGen::generate_pseudo_legal(b);
        while (const auto move = gen.next()) {
            ++candidates_;
            const Board c = chess::play_pseudo_legal_move(b, *move);
            if (looks_like(c, view, side_)) next.add(c);
        }
    }
    settle(std::move(next.members));
    to_move_ = side_;
}

Board Belief::board(std::size_t i) const {
    Board b = unpack(members_[i], to_move_);
    chess::update_pin_info(b);
    return b;
}

bool Belief::contains(const Board& board) const {
    if (board.side_to_move != to_move_) return false;
    const Member m = pack(board);
    for (const Member& x : members_)
        if (x == m) return true;
    return false;
}

std::optional<bool> Belief::contains(std::string_view fen) const {
    const auto read = chess::BoardBuilder::from_str(fen);
    if (!read) return std::nullopt;
    const chess::BoardBuilder& builder = *read;
    Board b;
    for (unsigned sq = 0; sq < 64; ++sq) {
        if (!builder.squares[sq]) continue;
        b.piece_masks[chess::index(builder.squares[sq]->kind)] |= chess::square_bb(sq);
        b.color_masks[chess::index(builder.squares[sq]->color)] |= chess::square_bb(sq);
    }
    b.occupied = b.color_masks[0] | b.color_masks[1];
    b.side_to_move = builder.side_to_move;
    b.castle_rights = builder.castle_rights;
    // En passant as the engine keeps it: only while a pawn of the side to move can take.
    if (builder.ep_file) {
        const unsigned file = *builder.ep_file;
        const bool white = b.side_to_move == Color::White;
        const auto pawn = chess::Square(white ? 32 + file : 24 + file);
        const Bitboard capturers =
            b.pieces(b.side_to_move, chess::Piece::Pawn) & chess::RANK_MASKS[pawn.rank()] & chess::NEIGHBOUR_FILES[file];
        const Bitboard path = chess::square_bb(white ? pawn + 8u : pawn - 8u) | chess::square_bb(white ? pawn + 16u : pawn - 16u);
        if (capturers && chess::contains(b.pieces(~b.side_to_move, chess::Piece::Pawn), pawn) && !(b.occupied & path))
            b.ep_square = pawn;
    }
    return contains(b);
}

std::vector<std::size_t> Belief::sample(std::size_t k, std::uint64_t seed) const {
    // Floyd's method: k distinct draws without touching the members.
    std::uint64_t state = chess::splitmix64_mix(seed ^ 0x3C6EF372FE94F82BULL);
    std::vector<std::size_t> chosen;
    std::unordered_set<std::size_t> taken;
    chosen.reserve(k);
    taken.reserve(k);
    const std::size_t n = members_.size();
    for (std::size_t j = n - k; j < n; ++j) {
        const auto t = static_cast<std::size_t>(uniform(state, j + 1));
        chosen.push_back(taken.insert(t).second ? t : j);
        if (chosen.back() == j) taken.insert(j);
    }
    return chosen;
}

}  // namespace quellor

#include "belief.hpp"

#include <algorithm>
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

// The next set, deduplicated as it is gathered: open addressing over 64-bit keys, doubled at
// half load; a key match is confirmed against the member itself, so that two positions sharing
// a hash are both kept.
//
// Above the cap it keeps the `cap` distinct positions of lowest rank, a position's rank being
// its key mixed with a salt drawn for this update: a uniform random subset, whatever order or
// how many times the positions come. Once more than twice the cap are held, the lowest `cap`
// are kept and anything ranked at or above the first one dropped is refused from then on, so
// an update never holds much more than twice the cap however many positions it makes.
struct Belief::Gather {
    struct Slot {
        std::uint64_t key;
        std::uint32_t index;  // EMPTY when free
    };
    static constexpr std::uint32_t EMPTY = UINT32_MAX;

    std::vector<Member> members;
    std::vector<std::uint64_t> keys;
    std::vector<Slot> slots;
    std::size_t cap;
    std::uint64_t salt;
    std::uint64_t bound = UINT64_MAX;  // ranks at or above it are out
    bool cut = false;

    Gather(std::size_t expected, std::size_t cap_, std::uint64_t salt_) : cap(cap_), salt(salt_) {
        std::size_t n = 64;
        while (n < 2 * std::min(expected, 2 * cap)) n *= 2;
        slots.assign(n, Slot{0, EMPTY});
    }

    std::uint64_t rank(std::uint64_t key) const { return chess::splitmix64_mix(key ^ salt); }

    void add(const Board& b) {
        const Member m = pack(b);
        const std::uint64_t key = key_of(b, m);
        if (cut && rank(key) >= bound) return;
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = key & mask;; i = (i + 1) & mask) {
            Slot& s = slots[i];
            if (s.index == EMPTY) {
                if (members.size() >= EMPTY - 1) throw std::length_error("belief: too many positions");
                s = Slot{key, static_cast<std::uint32_t>(members.size())};
                members.push_back(m);
                keys.push_back(key);
                if (members.size() > 2 * cap) keep_lowest(cap);
                else if (2 * members.size() > slots.size()) grow();
                return;
            }
            if (s.key == key && members[s.index] == m) return;
        }
    }

    // Keeps the k members of lowest rank, in the order they came.
    void keep_lowest(std::size_t k) {
        std::vector<std::uint32_t> order(members.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
        const auto lower = [&](std::uint32_t x, std::uint32_t y) {
            const std::uint64_t rx = rank(keys[x]), ry = rank(keys[y]);
            return rx != ry ? rx < ry : x < y;
        };
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(), lower);
        bound = rank(keys[order[k]]);
        cut = true;
        order.resize(k);
        std::sort(order.begin(), order.end());
        for (std::size_t j = 0; j < k; ++j) {
            members[j] = members[order[j]];
            keys[j] = keys[order[j]];
        }
        members.resize(k);
        keys.resize(k);
        std::fill(slots.begin(), slots.end(), Slot{0, EMPTY});
        for (std::size_t j = 0; j < k; ++j) place(Slot{keys[j], static_cast<std::uint32_t>(j)});
    }

    void place(const Slot& slot) {
        const std::size_t mask = slots.size() - 1;
        std::size_t i = slot.key & mask;
        while (slots[i].index != EMPTY) i = (i + 1) & mask;
        slots[i] = slot;
    }

    void grow() {
        std::vector<Slot> old(2 * slots.size(), Slot{0, EMPTY});
        old.swap(slots);
        for (const Slot& s : old)
            if (s.index != EMPTY) place(s);
    }

    // The set as gathered, cut to the cap.
    std::vector<Member> finish() {
        if (members.size() > cap) keep_lowest(cap);
        return std::move(members);
    }
};

Belief::Belief(const Board& start, Color side, std::size_t cap, std::uint64_t seed)
    : members_{pack(start)},
      side_(side),
      to_move_(start.side_to_move),
      cap_(cap),
      rng_(chess::splitmix64_mix(seed ^ 0xB5AD4ECEDA1CE2A9ULL)) {}

void Belief::settle(Gather& next) {
    const bool cut = next.cut || next.members.size() > cap_;
    members_ = next.finish();
    if (cut) exact_ = false;
}

void Belief::own_move(const chess::ChessMove& move, const View& view, Moves after) {
    // The stream moves on only with the update done, so that a failed one leaves it where it was.
    std::uint64_t rng = rng_;
    Gather next(members_.size(), cap_, chess::splitmix64_next(rng));
    for (const Member& m : members_) {
        ++candidates_;
        const Board b = unpack(m, side_);
        if (!playable(b, move)) continue;
        const Board c = chess::play_pseudo_legal_move(b, move);
        if (!looks_like(c, view, side_)) continue;
        if (after != Moves::Unknown && (MoveGen::count_pseudo_legal(c) > 0) != (after == Moves::Some)) continue;
        next.add(c);
    }
    settle(next);
    rng_ = rng;
    to_move_ = ~side_;
}

void Belief::other_move(const View& view) {
    // The stream moves on only with the update done, so that a failed one leaves it where it was.
    std::uint64_t rng = rng_;
    Gather next(members_.size(), cap_, chess::splitmix64_next(rng));
    for (const Member& m : members_) {
        const Board b = unpack(m, ~side_);
        MoveGen gen = MoveGen::generate_pseudo_legal(b);
        while (const auto move = gen.next()) {
            ++candidates_;
            const Board c = chess::play_pseudo_legal_move(b, *move);
            if (looks_like(c, view, side_)) next.add(c);
        }
    }
    settle(next);
    rng_ = rng;
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

std::array<std::uint32_t, chess::PIECE_KINDS * 64> Belief::occupancy() const {
    std::array<std::uint32_t, chess::PIECE_KINDS * 64> counts{};
    const std::size_t them = chess::index(side_) ^ 1;
    for (const Member& m : members_) {
        for (std::size_t k = 0; k < chess::PIECE_KINDS; ++k) {
            for (Bitboard b = m.kinds[k] & m.colors[them]; b; b &= b - 1)
                ++counts[k * 64 + static_cast<std::size_t>(__builtin_ctzll(b))];
        }
    }
    return counts;
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

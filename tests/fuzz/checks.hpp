// What every fuzz target asks of a board: the invariants move making must keep, a move list
// that agrees with its own count, generated moves that can all be played, and fog-of-war
// planes, board view and action slots that stay in their bounds. A broken promise aborts, so
// that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <bitset>

#include "chess/attack_tables.hpp"
#include "chess/board.hpp"
#include "chess/make_move.hpp"
#include "chess/movegen/movegen.hpp"
#include "game/game.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

inline void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Masks, hash, checkers, pins and the en-passant pawn as a computation from scratch has them.
inline void check_board(const chess::Board& b) {
    using namespace chess;
    Bitboard seen = 0;
    for (const Bitboard m : b.piece_masks) {
        require(!(seen & m), "piece masks overlap");
        seen |= m;
    }
    require(!(b.color_masks[0] & b.color_masks[1]), "colour masks overlap");
    require(seen == b.occupied && (b.color_masks[0] | b.color_masks[1]) == b.occupied, "occupied differs from the unions");
    require(b.hash == compute_hash(b), "stale hash");
    for (Color c : {Color::White, Color::Black}) require(popcount(b.pieces(c, Piece::King)) <= 1, "two kings of one colour");
    Board fresh = b;
    update_pin_info(fresh);
    require(fresh.checkers == b.checkers, "stale checkers");
    require(fresh.pinned == b.pinned, "stale pins");
    for (Color c : {Color::White, Color::Black}) {
        const CastleRights r = b.castle_rights[index(c)];
        if (!r.any()) continue;
        const unsigned back = c == Color::White ? 0 : 56;
        require(b.pieces(c, Piece::King) == square_bb(back + 4), "castling rights without the king at home");
        if (r.king_side()) require(contains(b.pieces(c, Piece::Rook), back + 7), "king-side right without its rook");
        if (r.queen_side()) require(contains(b.pieces(c, Piece::Rook), back), "queen-side right without its rook");
    }
    if (b.ep_square) {
        const Square e = *b.ep_square;
        require(e.rank() == 3 || e.rank() == 4, "en-passant pawn off ranks 4 and 5");
        require(contains(b.pieces(~b.side_to_move, Piece::Pawn), e), "en-passant square holds no enemy pawn");
        require(b.pieces(b.side_to_move, Piece::Pawn) & RANK_MASKS[e.rank()] & NEIGHBOUR_FILES[e.file()],
                "en-passant pawn with no capturer beside it");
        const unsigned behind = b.side_to_move == Color::White ? e + 8 : e - 8;
        require(!contains(b.occupied, behind), "en-passant landing square occupied");
    }
}

// The fog-of-war plane, the observation and the board view of a game on `b`: every value 0 or
// 1, at most one channel per row, and a view that shows what the board holds.
inline void check_views(const chess::Board& b) {
    quellor::SelfPlayGame game;
    game.board = b;
    for (int i = 0; i < 9; ++i) game.save_history_state();
    const quellor::Plane& plane = game.history.newest();
    for (std::size_t r = 0; r < quellor::PLANE_ROWS; ++r) {
        int ones = 0;
        for (std::size_t c = 0; c < quellor::PLANE_CHANNELS; ++c) {
            const float v = plane[r * quellor::PLANE_CHANNELS + c];
            require(v == 0.0f || v == 1.0f, "plane value other than 0 and 1");
            ones += v == 1.0f;
        }
        require(ones <= 1, "two channels set in one row");
    }
    quellor::Observation obs;
    game.encode(obs);
    const auto view = game.board_view();
    for (unsigned sq = 0; sq < 64; ++sq) {
        const int code = view[7 - (sq >> 3)][sq & 7];
        require((code != 0) == chess::contains(b.occupied, sq), "board view disagrees with the occupancy");
    }
    (void)game.terminal_value(true);
    (void)game.castle_eligible();
}

// Lists the moves, checks the list against its count and plays every move. Returns the count.
inline std::size_t check_moves(const chess::Board& b) {
    auto gen = chess::MoveGen::generate(b);
    const std::size_t announced = gen.len();
    std::bitset<64 * 64 * 5> listed;  // from, to, promotion (none or one of four)
    std::size_t handed_out = 0;
    while (const auto move = gen.next()) {
        const std::size_t key = (move->from_square * 64u + move->to_square) * 5u +
                                (move->promotion ? 1u + chess::index(*move->promotion) % 4u : 0u);
        require(!listed.test(key), "a move listed twice");
        listed.set(key);
        ++handed_out;
        const auto quellor_index = quellor::action_index(b.side_to_move, *move);
        require(quellor_index && *quellor_index >= 0 && *quellor_index < quellor::ACTION_COUNT, "action slot out of range");
        const auto next = chess::play_move(b, *move);
        require(next.ok(), "a generated move is refused");
        check_board(*next);
        // No listed move leaves the mover's king attacked, except an en-passant capture while a
        // knight or a pawn other than the one taken gives check: the generator asks en passant
        // about sliders only, which is exact in positions reached by legal play.
        chess::Board mover = *next;
        mover.side_to_move = b.side_to_move;
        chess::update_pin_info(mover);
        const bool en_passant = b.ep_square && b.piece_at(move->from_square) == chess::Piece::Pawn &&
                                move->to_square == (b.side_to_move == chess::Color::White ? *b.ep_square + 8u
                                                                                          : *b.ep_square - 8u);
        const chess::Bitboard leapers =
            b.checkers & (b.pieces(chess::Piece::Knight) | b.pieces(chess::Piece::Pawn)) &
            ~(b.ep_square ? b.ep_square->bb() : 0);
        require(!mover.checkers || (en_passant && leapers), "a listed move leaves the own king attacked");
    }
    require(handed_out == announced, "len() differs from the moves handed out");
    require(!gen.next(), "the generator restarted");
    return announced;
}

// Every pseudo-legal move of the fog-of-war rules is listed once, counted as listed, and played
// without a refusal; the fully legal moves are among them.
// The summarising generator (the build the loader chose, and the magic one) against the plain one.
inline void check_summary(const chess::Board& b, const chess::MoveGen& plain, const chess::MoveGen& with,
                          const chess::MoveGen::Summary& summary) {
    require(with.group_count() == plain.group_count(), "the summarising generator gives another number of groups");
    chess::MoveGen::Summary sum;
    const chess::Bitboard king = b.pieces(b.side_to_move, chess::Piece::King);
    for (std::size_t i = 0; i < plain.group_count(); ++i) {
        const chess::MoveGroup& g = plain.group(i);
        require(with.group(i).source == g.source && with.group(i).targets == g.targets &&
                    with.group(i).promotes == g.promotes,
                "the summarising generator gives another group");
        require(summary.first_slot[i] == sum.plain_moves + 4 * sum.promoting_pawns, "a group's first slot is wrong");
        if (g.promotes) ++sum.promoting_pawns;
        else sum.plain_moves += static_cast<std::size_t>(chess::popcount(g.targets));
        if (!chess::contains(king, g.source)) sum.non_king_targets |= g.targets;
    }
    require(summary.plain_moves == sum.plain_moves && summary.promoting_pawns == sum.promoting_pawns &&
                summary.non_king_targets == sum.non_king_targets,
            "the summary is not what the groups add up to");
}

inline void check_pseudo_legal_moves(const chess::Board& b) {
    auto gen = chess::MoveGen::generate_pseudo_legal(b);
    const std::size_t announced = gen.len();
    require(announced == chess::MoveGen::count_pseudo_legal(b), "pseudo-legal count differs from the list");
    chess::MoveGen::Summary summary, magic_summary;
    check_summary(b, gen, chess::MoveGen::generate_pseudo_legal(b, summary), summary);
    check_summary(b, gen, chess::detail::pseudo_legal_magic(b, magic_summary), magic_summary);
    std::bitset<64 * 64 * 5> listed;
    while (const auto move = gen.next()) {
        const std::size_t key = (move->from_square * 64u + move->to_square) * 5u +
                                (move->promotion ? 1u + chess::index(*move->promotion) % 4u : 0u);
        require(!listed.test(key), "a pseudo-legal move listed twice");
        listed.set(key);
        const auto next = chess::play_move(b, *move);
        require(next.ok(), "a pseudo-legal move is refused");
        check_board(*next);
        // The fog-of-war move maker differs only in leaving checks and pins out.
        chess::Board without_checks = *next;
        without_checks.checkers = without_checks.pinned = 0;
        require(chess::play_pseudo_legal_move(b, *move) == without_checks, "the lean move maker differs");
        chess::Board in_place = b;
        chess::apply_pseudo_legal_move(in_place, *move);
        require(in_place == without_checks, "the lean move maker differs when it plays in place");
        in_place = b;
        chess::apply_move_unchecked(in_place, *move);
        require(in_place == *next, "the move maker differs when it plays in place");
    }
    require(listed.count() == announced, "fewer pseudo-legal moves than len() said");
    auto legal = chess::MoveGen::generate(b);
    while (const auto move = legal.next()) {
        const std::size_t key = (move->from_square * 64u + move->to_square) * 5u +
                                (move->promotion ? 1u + chess::index(*move->promotion) % 4u : 0u);
        require(listed.test(key), "a legal move missing from the pseudo-legal ones");
    }
}

}  // namespace fuzz

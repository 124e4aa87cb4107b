"""A pure-Python model of everything a SelfPlayGame lets a trainer observe, written from the
game's rules on top of python-chess's square sets and attack tables. It shares no code with the
extension, and it is deliberately built differently: legal moves come from pseudo-legal moves
filtered by "is the own king attacked afterwards" rather than from pins and check masks, and
their order from a sort key rather than from move groups.

What it models: FEN reading and position checks, the refusals and effects of playing a move
(castling recognised from the king's squares, en passant from the square behind the pawn that
made the double step, the rights table, promotion letters), the legal move list in generator
order, the fog-of-war planes and their history, encode(), the board view, action slots,
castling flags and terminal values, and the reading of supplied history planes.

Colours are 0 (White) and 1 (Black); kinds are 0..5 for Pawn..King, as the engine counts them.
"""

import math
import struct

import chess

WHITE, BLACK = 0, 1
PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING = range(6)
KIND_NAMES = ["Pawn", "Knight", "Bishop", "Rook", "Queen", "King"]
KIND_LETTERS = "pnbrqk"
PROMOTION_LETTERS = {ord("q"): QUEEN, ord("r"): ROOK, ord("b"): BISHOP, ord("n"): KNIGHT}
# Generator order of the four promotions of one destination.
PROMOTION_RANK = {None: 0, QUEEN: 0, KNIGHT: 1, ROOK: 2, BISHOP: 3}

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
PLANE_LEN = 832
HISTORY_LEN = 8

INVALID_FEN = "Invalid FEN string"
BAD_BOARD = "board must be a python-chess Board or FEN string"
BAD_ACTION = "action must be a python-chess Move or UCI string"
INVALID_MOVE = "Invalid UCI move"
BAD_ENTRY = "history_tensors entries must be 64x13 tensors or lists"
BAD_ROWS = "history_tensors entries must have 64 rows"
BAD_COLUMNS = "history_tensors entries must have 13 columns"
BAD_LENGTH = "history_tensors entries must have length 832"

# Castling is a king move between two of these squares: c1, e1, g1, c8, e8, g8.
CASTLING_SQUARES = frozenset({2, 4, 6, 58, 60, 62})
# Rights a piece leaving, or taken on, one of these squares ends: [colour][square].
RIGHTS_TIED = [{0: 2, 4: 3, 7: 1}, {56: 2, 60: 3, 63: 1}]

# Figures of the differential runs, printed at the end of the session by conftest.
FIGURES = {}


def count(name, n=1):
    FIGURES[name] = FIGURES.get(name, 0) + n


# -- square sets -------------------------------------------------------------------------------


def bit(square):
    return 1 << square


def lsb(bb):
    return (bb & -bb).bit_length() - 1


def squares_of(bb):
    """The squares of a set, lowest first."""
    while bb:
        low = bb & -bb
        yield low.bit_length() - 1
        bb ^= low


def rook_attacks(square, occupied):
    return (chess.BB_RANK_ATTACKS[square][chess.BB_RANK_MASKS[square] & occupied]
            | chess.BB_FILE_ATTACKS[square][chess.BB_FILE_MASKS[square] & occupied])


def bishop_attacks(square, occupied):
    return chess.BB_DIAG_ATTACKS[square][chess.BB_DIAG_MASKS[square] & occupied]


def pawn_attacks(colour, square):
    return chess.BB_PAWN_ATTACKS[colour == WHITE][square]


def ahead(colour, square, steps=1):
    """The square `steps` ranks ahead of `square` for a pawn of `colour`, or None off the board."""
    target = square + (8 if colour == WHITE else -8) * steps
    return target if 0 <= target < 64 else None


def square_name(square):
    return chess.SQUARE_NAMES[square]


# -- positions --------------------------------------------------------------------------------


class Position:
    """Placement, side to move, castling rights per colour and the en-passant pawn's square."""

    __slots__ = ("kinds", "colours", "turn", "rights", "ep")

    def __init__(self):
        self.kinds = [0] * 6
        self.colours = [0, 0]
        self.turn = WHITE
        self.rights = [0, 0]
        self.ep = None

    def copy(self):
        other = Position()
        other.kinds = list(self.kinds)
        other.colours = list(self.colours)
        other.turn = self.turn
        other.rights = list(self.rights)
        other.ep = self.ep
        return other

    @property
    def occupied(self):
        return self.colours[0] | self.colours[1]

    def kind_at(self, square):
        b = bit(square)
        for kind in range(6):
            if self.kinds[kind] & b:
                return kind
        return None

    def colour_at(self, square):
        b = bit(square)
        return WHITE if self.colours[WHITE] & b else BLACK if self.colours[BLACK] & b else None

    def put(self, kind, colour, square):
        self.kinds[kind] |= bit(square)
        self.colours[colour] |= bit(square)

    def remove(self, square):
        mask = ~bit(square)
        self.kinds = [k & mask for k in self.kinds]
        self.colours = [c & mask for c in self.colours]

    def king(self, colour):
        kings = self.kinds[KING] & self.colours[colour]
        return lsb(kings) if kings else None

    def attackers(self, square, colour, occupied, kings=True):
        """Pieces of `colour` attacking `square` when the board's occupancy is `occupied`."""
        theirs = self.colours[colour] & occupied
        queens = self.kinds[QUEEN]
        found = ((rook_attacks(square, occupied) & (self.kinds[ROOK] | queens))
                 | (bishop_attacks(square, occupied) & (self.kinds[BISHOP] | queens))
                 | (chess.BB_KNIGHT_ATTACKS[square] & self.kinds[KNIGHT])
                 | (pawn_attacks(1 - colour, square) & self.kinds[PAWN]))
        if kings:
            found |= chess.BB_KING_ATTACKS[square] & self.kinds[KING]
        return found & theirs

    def checkers(self):
        """Enemy pieces other than the king attacking the side to move's king."""
        k = self.king(self.turn)
        return 0 if k is None else self.attackers(k, 1 - self.turn, self.occupied, kings=False)

    def pinned(self):
        """Pieces of either colour standing alone between the side to move's king and an enemy
        slider on a line that slider moves along."""
        k = self.king(self.turn)
        if k is None:
            return 0
        them = self.colours[1 - self.turn]
        queens = self.kinds[QUEEN]
        sliders = (them & (self.kinds[BISHOP] | queens) & bishop_attacks(k, 0)) | (
            them & (self.kinds[ROOK] | queens) & rook_attacks(k, 0))
        pinned = 0
        for s in squares_of(sliders):
            between = chess.between(s, k) & self.occupied
            if between and not between & (between - 1):
                pinned |= between
        return pinned


# -- FEN ----------------------------------------------------------------------------------------

FEN_PIECES = {ord(c): (KIND_LETTERS.index(c.lower()), WHITE if c.isupper() else BLACK) for c in "PNBRQKpnbrqk"}


def read_square(data):
    """Square of the first two bytes, or None."""
    if len(data) < 2 or not (97 <= data[0] <= 104) or not (49 <= data[1] <= 56):
        return None
    return (data[1] - 49) * 8 + data[0] - 97


def parse_fen(text):
    """The position of FEN text, or ValueError "Invalid FEN string"; UnicodeEncodeError for text
    that has no UTF-8 form, as the interpreter gives it."""
    fields = text.encode("utf-8").split(b" ")
    if len(fields) < 4:
        raise ValueError(INVALID_FEN)
    squares = {}
    rank, file = 7, 0
    for c in fields[0]:
        if c == ord("/"):
            rank, file = (rank - 1) % 8, 0
        elif ord("1") <= c <= ord("8"):
            file = (file + c - ord("0")) % 8
        elif c in FEN_PIECES:
            squares[rank * 8 + file] = FEN_PIECES[c]
            file = (file + 1) % 8
        else:
            raise ValueError(INVALID_FEN)
    if fields[1] in (b"w", b"W"):
        turn = WHITE
    elif fields[1] in (b"b", b"B"):
        turn = BLACK
    else:
        raise ValueError(INVALID_FEN)

    pos = Position()
    for square, (kind, colour) in squares.items():
        pos.put(kind, colour, square)
    pos.turn = turn
    castling = fields[2]
    pos.rights = [(1 if b"K" in castling else 0) | (2 if b"Q" in castling else 0),
                  (1 if b"k" in castling else 0) | (2 if b"q" in castling else 0)]
    ep = read_square(fields[3])
    if ep is not None:
        file = ep % 8
        pawn = (32 if turn == WHITE else 24) + file
        beside = chess.BB_RANKS[pawn // 8] & ((chess.BB_FILES[file - 1] if file > 0 else 0)
                                              | (chess.BB_FILES[file + 1] if file < 7 else 0))
        passed, start = (pawn + 8, pawn + 16) if turn == WHITE else (pawn - 8, pawn - 16)
        if (beside & pos.kinds[PAWN] & pos.colours[turn]
                and not pos.occupied & (bit(passed) | bit(start))):
            pos.ep = pawn
    if not sane(pos):
        raise ValueError(INVALID_FEN)
    return pos


def sane(pos):
    """The checks every position read from text must pass."""
    for colour in (WHITE, BLACK):
        if bin(pos.kinds[KING] & pos.colours[colour]).count("1") != 1:
            return False
    if pos.ep is not None and not pos.kinds[PAWN] & pos.colours[1 - pos.turn] & bit(pos.ep):
        return False
    other = pos.copy()
    other.turn = 1 - pos.turn
    if other.checkers():
        return False
    for colour, home, rooks in ((WHITE, 4, (7, 0)), (BLACK, 60, (63, 56))):
        rights = pos.rights[colour]
        if not rights:
            continue
        if pos.kinds[KING] & pos.colours[colour] != bit(home):
            return False
        for right, corner in zip((1, 2), rooks):
            if rights & right and not pos.kinds[ROOK] & pos.colours[colour] & bit(corner):
                return False
    return not chess.BB_KING_ATTACKS[pos.king(WHITE)] & pos.kinds[KING]


# -- move text -----------------------------------------------------------------------------------


def parse_uci(text):
    """(from, to, promotion kind or None) of UCI text, or ValueError "Invalid UCI move"."""
    data = text.encode("utf-8")
    inside = lambda i: (data[i] & 0xC0) == 0x80  # noqa: E731 - a continuation byte
    if len(data) < 2 or (len(data) > 2 and inside(2)):
        raise ValueError(INVALID_MOVE)
    source = read_square(data[0:2])
    if source is None or len(data) < 4 or (len(data) > 4 and inside(4)):
        raise ValueError(INVALID_MOVE)
    target = read_square(data[2:4])
    if target is None:
        raise ValueError(INVALID_MOVE)
    promotion = None
    if len(data) == 5:
        if data[4] not in PROMOTION_LETTERS:
            raise ValueError(INVALID_MOVE)
        promotion = PROMOTION_LETTERS[data[4]]
    return source, target, promotion


def uci_text(source, target, promotion):
    return square_name(source) + square_name(target) + ("" if promotion is None else KIND_LETTERS[promotion])


# -- making moves --------------------------------------------------------------------------------


def castling_rook(mover, king_to):
    """(corner, landing square) of the rook a castling king move of `mover` takes along."""
    back = 0 if mover == WHITE else 56
    return (back + 7, back + 5) if king_to % 8 >= 4 else (back, back + 3)


def refusal(pos, source, target):
    """Why the move cannot be played, as (reason, square), or None when it can."""
    us = pos.turn
    if not pos.occupied & bit(source):
        return "no piece on", source
    if pos.colour_at(source) != us:
        return "the side not to move owns the piece on", source
    if pos.colours[us] & bit(target):
        return "the side to move already has a piece on", target
    if pos.kind_at(source) == KING and source in CASTLING_SQUARES and target in CASTLING_SQUARES:
        corner, landing = castling_rook(us, target)
        if not pos.kinds[ROOK] & pos.colours[us] & bit(corner):
            return "no rook to castle with on", corner
        if pos.occupied & bit(landing):
            return "the castling rook would land on the occupied square", landing
    return None


def play(pos, source, target, promotion):
    """The position after the move; the move must pass `refusal`."""
    us, them = pos.turn, 1 - pos.turn
    moved = pos.kind_at(source)
    new = pos.copy()
    new.ep = None
    new.remove(source)
    new.remove(target)
    new.put(moved, us, target)
    new.rights[us] &= ~RIGHTS_TIED[us].get(source, 0)
    new.rights[them] &= ~RIGHTS_TIED[them].get(target, 0)
    if moved == KING and source in CASTLING_SQUARES and target in CASTLING_SQUARES:
        corner, landing = castling_rook(us, target)
        new.remove(corner)
        new.put(ROOK, us, landing)
    elif moved == PAWN:
        if promotion is not None:
            new.remove(target)
            new.put(promotion, us, target)
        elif source // 8 in (1, 6) and target // 8 in (3, 4):
            behind = target - 8 if us == WHITE else target + 8
            file = target % 8
            beside = [s for s in (target - 1, target + 1) if 0 <= s < 64 and s // 8 == target // 8 and abs(s % 8 - file) == 1]
            if any(new.kind_at(s) == PAWN and new.colour_at(s) == them for s in beside) and not new.occupied & bit(behind):
                new.ep = target
        elif pos.ep is not None and target == (pos.ep + 8 if us == WHITE else pos.ep - 8):
            new.remove(pos.ep)
    new.turn = them
    return new


# -- legal moves ----------------------------------------------------------------------------------


def ep_destination(pos):
    return pos.ep + 8 if pos.turn == WHITE else pos.ep - 8


def ep_capturers(pos):
    """The side to move's pawns beside the en-passant pawn."""
    e = pos.ep
    beside = [s for s in (e - 1, e + 1) if s // 8 == e // 8 and 0 <= s < 64]
    return [s for s in beside if pos.kind_at(s) == PAWN and pos.colour_at(s) == pos.turn]


def ep_exposes_king(pos, source):
    """Whether the king stands attacked, by any enemy piece but the king, once `source` has
    taken en passant: the pawn taken is gone and the capturer stands behind it."""
    k = pos.king(pos.turn)
    occupied = (pos.occupied & ~bit(source) & ~bit(pos.ep)) | bit(ep_destination(pos))
    return bool(pos.attackers(k, 1 - pos.turn, occupied, kings=False) & ~bit(pos.ep))


def pseudo_destinations(pos, square, kind):
    us = pos.turn
    own, occupied = pos.colours[us], pos.occupied
    if kind == PAWN:
        targets = pawn_attacks(us, square) & occupied
        one = ahead(us, square)
        if one is not None and not occupied & bit(one):
            targets |= bit(one)
            two = ahead(us, square, 2)
            start_rank = 1 if us == WHITE else 6
            if square // 8 == start_rank and not occupied & bit(two):
                targets |= bit(two)
    elif kind == KNIGHT:
        targets = chess.BB_KNIGHT_ATTACKS[square]
    elif kind == BISHOP:
        targets = bishop_attacks(square, occupied)
    elif kind == ROOK:
        targets = rook_attacks(square, occupied)
    elif kind == QUEEN:
        targets = bishop_attacks(square, occupied) | rook_attacks(square, occupied)
    else:
        targets = chess.BB_KING_ATTACKS[square]
    return targets & ~own


def king_safe_on(pos, k, destination):
    """Whether no enemy piece, king included, attacks `destination` once the king left `k`."""
    occupied = (pos.occupied & ~bit(k)) | bit(destination)
    return not pos.attackers(destination, 1 - pos.turn, occupied) & ~bit(destination)


def legal_move_set(pos):
    """{(from, to, promotion)} of the side to move; empty without a king."""
    us, them = pos.turn, 1 - pos.turn
    k = pos.king(us)
    if k is None:
        return set()
    checkers = pos.checkers()
    moves = set()
    for d in squares_of(pseudo_destinations(pos, k, KING)):
        if king_safe_on(pos, k, d):
            moves.add((k, d, None))
    if checkers & (checkers - 1):
        return moves

    occupied = pos.occupied
    promoting_rank = 6 if us == WHITE else 1
    for s in squares_of(pos.colours[us] & ~pos.kinds[KING]):
        kind = pos.kind_at(s)
        for d in squares_of(pseudo_destinations(pos, s, kind)):
            # Afterwards no enemy piece but the king may attack the own king.
            after = (occupied & ~bit(s)) | bit(d)
            if pos.attackers(k, them, after, kings=False) & ~bit(d):
                continue
            if kind == PAWN and s // 8 == promoting_rank:
                moves.update((s, d, p) for p in (QUEEN, KNIGHT, ROOK, BISHOP))
            else:
                moves.add((s, d, None))

    if pos.ep is not None:
        for s in ep_capturers(pos):
            if not ep_exposes_king(pos, s):
                moves.add((s, ep_destination(pos), None))

    if not checkers:
        rights = pos.rights[us]
        rank = k & 56
        along = lambda n: rank | ((k % 8 + n) % 8)  # noqa: E731 - wraps within the rank
        paths = (chess.BB_F1 | chess.BB_G1, chess.BB_B1 | chess.BB_C1 | chess.BB_D1)
        if us == BLACK:
            paths = tuple(p << 56 for p in paths)
        if rights & 1 and not occupied & paths[0] and king_safe_on(pos, k, along(1)) and king_safe_on(pos, k, along(2)):
            moves.add((k, along(2), None))
        if rights & 2 and not occupied & paths[1] and king_safe_on(pos, k, along(-1)) and king_safe_on(pos, k, along(-2)):
            moves.add((k, along(-2), None))
    return moves


def order_key(pos, pinned, move):
    """Where the generator hands `move` out: groups by kind (unpinned before pinned, en-passant
    captures between pawns and knights), then source, destination and promotion piece."""
    source, target, promotion = move
    kind = pos.kind_at(source)
    if (kind == PAWN and pos.ep is not None and target == ep_destination(pos)
            and source in ep_capturers(pos)):
        group = 2
    elif kind == PAWN:
        group = 1 if pinned & bit(source) else 0
    elif kind == KNIGHT:
        group = 3
    elif kind == KING:
        group = 10
    else:
        group = {BISHOP: 4, ROOK: 6, QUEEN: 8}[kind] + (1 if pinned & bit(source) else 0)
    return group, source, target, PROMOTION_RANK[promotion]


def legal_moves(pos):
    """The legal moves as UCI texts, in generator order."""
    pinned = pos.pinned()
    ordered = sorted(legal_move_set(pos), key=lambda m: order_key(pos, pinned, m))
    return [uci_text(*m) for m in ordered]


# -- fog of war ---------------------------------------------------------------------------------


def visible(pos):
    """Squares the side to move sees."""
    us, occupied = pos.turn, pos.occupied
    seen = 0
    for s in squares_of(pos.colours[us]):
        kind = pos.kind_at(s)
        seen |= bit(s)
        if kind == PAWN:
            seen |= pawn_attacks(us, s)
            one = ahead(us, s)
            if one is not None:
                seen |= bit(one)
                if s // 8 == (1 if us == WHITE else 6) and not occupied & bit(one):
                    seen |= bit(ahead(us, s, 2))
        elif kind == KNIGHT:
            seen |= chess.BB_KNIGHT_ATTACKS[s]
        elif kind == KING:
            seen |= chess.BB_KING_ATTACKS[s]
        else:
            if kind in (BISHOP, QUEEN):
                seen |= bishop_attacks(s, occupied)
            if kind in (ROOK, QUEEN):
                seen |= rook_attacks(s, occupied)
    return seen


def plane(pos):
    """The flat 832-float plane of the side to move's view."""
    us = pos.turn
    flip = 0 if us == WHITE else 56
    seen = visible(pos)
    values = [0.0] * PLANE_LEN
    for s in range(64):
        row = (s ^ flip) * 13
        if not seen & bit(s):
            values[row + 12] = 1.0
            continue
        kind = pos.kind_at(s)
        if kind is not None:
            values[row + (kind if pos.colour_at(s) == us else 6 + kind)] = 1.0
    return values


# -- supplied history planes -----------------------------------------------------------------------


class NotApplied(Exception):
    """A form of history entry does not fit the object."""


def as_number(value):
    """The single-precision value of a number, read through the interpreter's float conversion
    (the one struct's "d" format uses); NotApplied when it does not convert."""
    try:
        number = struct.unpack("d", struct.pack("d", value))[0]
    except struct.error:
        raise NotApplied from None
    try:
        return struct.unpack("f", struct.pack("f", number))[0]
    except OverflowError:  # beyond single precision: the C++ conversion gives an infinity
        return math.copysign(math.inf, number)


def is_sequence(value):
    if isinstance(value, (str, dict)):
        return False
    return hasattr(type(value), "__getitem__")


def items(value):
    try:
        return list(value)
    except Exception:
        raise NotApplied from None


def read_nested(value):
    if not is_sequence(value):
        raise NotApplied
    rows = []
    for row in items(value):
        if not is_sequence(row):
            raise NotApplied
        rows.append([as_number(v) for v in items(row)])
    if len(rows) != 64:
        raise ValueError(BAD_ROWS)
    if any(len(row) != 13 for row in rows):
        raise ValueError(BAD_COLUMNS)
    return [v for row in rows for v in row]


def read_flat(value):
    if not is_sequence(value):
        raise NotApplied
    values = [as_number(v) for v in items(value)]
    if len(values) != PLANE_LEN:
        raise ValueError(BAD_LENGTH)
    return values


def read_sequence(value):
    try:
        return read_nested(value)
    except NotApplied:
        return read_flat(value)


def read_entry(entry):
    """One supplied plane as a flat list of floats, or the constructor's error."""
    try:
        return read_sequence(entry)
    except NotApplied:
        pass
    try:
        tolist = getattr(entry, "tolist")
    except Exception:
        raise ValueError(BAD_ENTRY) from None
    if not callable(tolist):
        raise ValueError(BAD_ENTRY)
    converted = tolist()
    try:
        return read_sequence(converted)
    except NotApplied:
        raise ValueError(BAD_ENTRY) from None


# -- conversions of Python arguments ---------------------------------------------------------------


def text_from(obj, attribute, unusable):
    """The text of a str, or of an object's `attribute` method or str attribute."""
    if isinstance(obj, str):
        return str.__str__(obj)
    try:
        value = getattr(obj, attribute)
    except Exception:
        raise ValueError(unusable) from None
    if callable(value):
        result = value()
        if not isinstance(result, str):
            raise TypeError(f"{attribute}() returned a non-string")
        return str.__str__(result)
    if isinstance(value, str):
        return str.__str__(value)
    raise ValueError(unusable)


def player_flag(obj):
    """A bool, or NumPy's bool scalar through its truth value."""
    if obj is True or obj is False:
        return obj
    kind = type(obj)
    if getattr(kind, "__module__", None) == "numpy" and kind.__name__ in ("bool_", "bool"):
        return bool(obj)
    raise TypeError("argument 'player_is_white' cannot be converted to a boolean")


# -- the game -----------------------------------------------------------------------------------------


class Game:
    """The model of one SelfPlayGame."""

    def __init__(self, board=None, history_tensors=None):
        fen = START_FEN if board is None else text_from(board, "fen", BAD_BOARD)
        self.pos = parse_fen(fen)
        self.history = []
        if history_tensors is not None:
            for entry in history_tensors:
                self.history.append(read_entry(entry))
            self.history = self.history[-HISTORY_LEN:]
        if not self.history:
            self.history.append(plane(self.pos))

    def clone(self):
        other = Game.__new__(Game)
        other.pos = self.pos.copy()
        other.history = [list(p) for p in self.history]
        return other

    # Queries.
    @property
    def turn(self):
        return self.pos.turn == WHITE

    def castle_eligible(self):
        rights = self.pos.rights[self.pos.turn]
        return bool(rights & 1), bool(rights & 2)

    def is_terminal(self):
        return self.pos.king(WHITE) is None or self.pos.king(BLACK) is None

    def terminal_value(self, player_is_white):
        white = player_flag(player_is_white)
        if self.pos.king(WHITE) is None:
            return -1.0 if white else 1.0
        if self.pos.king(BLACK) is None:
            return 1.0 if white else -1.0
        return 0.0

    @property
    def board(self):
        view = [[0] * 8 for _ in range(8)]
        for s in squares_of(self.pos.occupied):
            code = self.pos.kind_at(s) + 1
            view[7 - s // 8][s % 8] = code if self.pos.colour_at(s) == WHITE else -code
        return view

    def legal_actions(self):
        return legal_moves(self.pos)

    def action_index(self, action):
        source, target, promotion = parse_uci(text_from(action, "uci", BAD_ACTION))
        if self.pos.turn == BLACK:
            source, target = source ^ 56, target ^ 56
        if promotion is None:
            return source * 64 + target
        return 4096 + source * 4 + (4 - promotion)

    def encode(self):
        """The 64 x 106 observation as nested lists of floats."""
        frames = [self.history[0]] * (HISTORY_LEN - len(self.history)) + self.history
        king_side, queen_side = self.castle_eligible()
        flags = [[float(king_side)] * 2, [float(queen_side)] * 2] + [[0.0, 0.0]] * 62
        return [[v for f in frames for v in f[r * 13:r * 13 + 13]] + flags[r] for r in range(64)]

    # The one change.
    def apply(self, action):
        text = text_from(action, "uci", BAD_ACTION)
        source, target, promotion = parse_uci(text)
        refused = refusal(self.pos, source, target)
        if refused:
            reason, square = refused
            raise RuntimeError(f"Cannot play {uci_text(source, target, promotion)}: {reason} {square_name(square)}")
        self.pos = play(self.pos, source, target, promotion)
        self.history = (self.history + [plane(self.pos)])[-HISTORY_LEN:]

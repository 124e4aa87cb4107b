"""A recorded game as one self-contained HTML page that steps through it ply by ply.

The page shows the true board (last move marked) beside what White and Black were shown: at
each ply the side to move's own view, and the other side's view from its own last turn, the
same views `quellor-selfplay show` prints. Buttons and the arrow keys (Home and End too) step
through the game. Everything the page needs is inside it: the positions as JSON, python-chess's
piece drawings as inline SVG, the script and the styles; viewing it fetches nothing.

A game comes in as a start FEN and UCI moves, however it was stored. It is replayed in a
GameBatch under the fog-of-war rules, which accept every legal chess move as well, and the views
are read from the batch's own-view observations; nothing here works out visibility itself.
"""

from __future__ import annotations

import html
import json
from collections.abc import Sequence
from typing import Any, Optional

import chess
import chess.svg
import numpy as np

from quellor_selfplay import codes
from quellor_selfplay.batch import GameBatch
from quellor_selfplay.belief import Belief

__all__ = ["replay", "build_page", "ReplayError"]

RESULTS = {1: "1-0", -1: "0-1", 0: "1/2-1/2"}
# The cap of the beliefs a page shows: a set above it is shown as the sample the cap keeps, and
# each ply then costs at most a few milliseconds to take in.
BELIEF_CAP = 10_000


class ReplayError(ValueError):
    """A game that cannot be replayed: a bad start position, or a move that is not UCI text or
    cannot be played where it stands."""


def replay(moves: Sequence[str], start_fen: Optional[str] = None, rules: str = "dark",
           belief_cap: int = BELIEF_CAP) -> dict[str, Any]:
    """Replays a game; returns its positions and views as plain data (what the page shows).

    Each entry of "plies" holds the true board, the side to move, the last move, and both
    sides' latest views ("white", "black": 64 entries by square, None hidden, "" seen empty,
    else a piece letter; the view is None before that side was shown anything) with the ply
    each was shown at. "outcome" is the result the rules give at the end, or None if the moves
    stop before the game is over.

    Under the dark rules, with `belief_cap` above 0, each entry also holds what each side
    cannot rule out at that ply ("beliefs": per side the number of positions, and whether that
    is all of them or a sample a cap of `belief_cap` kept), and "heat": for each square hidden
    from the side to move, the share of those positions with an enemy piece on it (None on the
    squares it sees).
    """
    fen = start_fen or chess.STARTING_FEN
    try:
        batch = GameBatch(1, rules=rules, fens=fen, threads=1)
    except (ValueError, TypeError) as err:
        raise ReplayError(f"start position {fen!r}: {err}") from None
    beliefs = [Belief(batch, 0, side, cap=belief_cap) for side in (True, False)] \
        if rules == "dark" and belief_cap > 0 else []
    views: list[Optional[tuple[list[Optional[str]], int]]] = [None, None]
    plies = []
    for ply in range(len(moves) + 1):
        white = bool(batch.to_move[0])
        newest = batch.observation[0, :, codes.NEWEST_FRAME].numpy()
        views[0 if white else 1] = (codes.frame_squares(np.asarray(newest), white), ply)
        board = chess.Board(batch.fen(0))
        if beliefs:
            for belief in beliefs:
                belief.update()
            mover = beliefs[0 if white else 1]
            seen = views[0 if white else 1][0]  # type: ignore[index]
            share = mover.occupancy().sum(axis=0) / max(mover.size, 1)
            extra: dict[str, Any] = {
                "beliefs": {b.side: {"size": b.size, "exact": b.exact} for b in beliefs},
                "heat": [None if seen[sq] is not None else round(float(share[sq]), 4) for sq in chess.SQUARES],
            }
        else:
            extra = {"beliefs": None, "heat": None}
        plies.append({
            **extra,
            "ply": ply,
            "fen": batch.fen(0),
            "board": [_letter(board.piece_at(sq)) for sq in chess.SQUARES],
            "whiteToMove": white,
            "lastMove": moves[ply - 1] if ply else None,
            "white": None if views[0] is None else views[0][0],
            "whitePly": None if views[0] is None else views[0][1],
            "black": None if views[1] is None else views[1][0],
            "blackPly": None if views[1] is None else views[1][1],
        })
        if ply == len(moves):
            break
        text = moves[ply]
        if batch.terminated[0] or batch.truncated[0]:
            raise ReplayError(f"ply {ply + 1}: {text} follows the end of the game ({_outcome(batch)})")
        try:
            code = codes.move_code(chess.Move.from_uci(text))
        except (ValueError, TypeError):
            raise ReplayError(f"ply {ply + 1}: {text!r} is not a UCI move") from None
        try:
            batch.step_moves(np.array([code], dtype=np.int64))
        except ValueError:
            raise ReplayError(f"ply {ply + 1}: {text} cannot be played in {batch.fen(0)}") from None
    outcome = _outcome(batch) if batch.terminated[0] or batch.truncated[0] else None
    return {"start": fen, "plies": plies, "outcome": outcome}


def _outcome(batch: GameBatch) -> str:
    """The result of a finished game, as the core reports it."""
    if batch.truncated[0]:
        return "1/2-1/2 (ply cap)"
    return RESULTS[int(batch.result[0])]


def _letter(piece: Optional[chess.Piece]) -> str:
    return "" if piece is None else piece.symbol()


def build_page(
    moves: Sequence[str],
    start_fen: Optional[str] = None,
    *,
    title: str = "quellor replay",
    result: Optional[str] = None,
    start_ply: int = 0,
    rules: str = "dark",
    belief_cap: int = BELIEF_CAP,
) -> str:
    """The HTML text of the replay page of one game. `result` is shown as given (for a record
    that holds its result); otherwise the replay's own outcome, or "unfinished"."""
    data = replay(moves, start_fen, rules, belief_cap)
    if not 0 <= start_ply <= len(moves):
        raise ReplayError(f"ply {start_ply} does not exist: the game has {len(moves)} plies")
    data["result"] = result or data["outcome"] or "unfinished"
    data["startPly"] = start_ply
    data["title"] = title
    # "</" would close the script element early; JSON reads "<\/" as the same text.
    payload = json.dumps(data, separators=(",", ":")).replace("</", "<\\/")
    pieces = "".join(chess.svg.PIECES[s] for s in "PNBRQKpnbrqk")
    return PAGE.format(title=html.escape(title), pieces=pieces, data=payload)


PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>
  body {{ font-family: sans-serif; margin: 16px; color: #222; background: #fff; }}
  h1 {{ font-size: 18px; margin: 0 0 8px; }}
  #status {{ font-size: 15px; margin-bottom: 10px; }}
  .boards {{ display: flex; gap: 24px; flex-wrap: wrap; }}
  figure {{ margin: 0; }}
  figcaption {{ text-align: center; font-size: 14px; margin-bottom: 4px; height: 18px; }}
  .board {{ display: grid; grid-template-columns: repeat(8, 44px); grid-template-rows: repeat(8, 44px);
            border: 2px solid #555; }}
  .sq {{ width: 44px; height: 44px; position: relative; }}
  .sq.light {{ background: rgb(240, 217, 181); }}
  .sq.dark {{ background: rgb(181, 136, 99); }}
  .sq.last.light {{ background: rgb(205, 210, 106); }}
  .sq.last.dark {{ background: rgb(170, 162, 58); }}
  .sq.hidden {{ background: rgb(74, 74, 74); }}
  .sq svg {{ position: absolute; inset: 0; width: 44px; height: 44px; }}
  .sq .heat {{ position: absolute; inset: 6px; border-radius: 4px; background: rgb(214, 39, 40);
               pointer-events: none; }}
  .sq .share {{ position: absolute; right: 2px; bottom: 1px; font-size: 10px; color: #fff; }}
  .beliefs {{ font-size: 14px; margin-top: 8px; }}
  .controls {{ margin-top: 12px; display: flex; gap: 8px; align-items: center; }}
  .controls button {{ font-size: 15px; min-width: 44px; }}
  .legend {{ font-size: 13px; color: #555; margin-top: 8px; }}
</style>
</head>
<body>
<h1 id="title"></h1>
<div id="status"></div>
<div class="boards">
  <figure><figcaption id="caption-true"></figcaption><div class="board" id="board-true"></div></figure>
  <figure><figcaption id="caption-white"></figcaption><div class="board" id="board-white"></div></figure>
  <figure><figcaption id="caption-black"></figcaption><div class="board" id="board-black"></div></figure>
</div>
<div class="controls">
  <button id="first" title="first ply (Home)">&laquo; first</button>
  <button id="prev" title="previous ply (left arrow)">&lsaquo; back</button>
  <button id="next" title="next ply (right arrow)">next &rsaquo;</button>
  <button id="last" title="last ply (End)">last &raquo;</button>
</div>
<div class="beliefs" id="beliefs"></div>
<div class="legend">Grey squares are hidden from that side. The true board marks the last move.
Red on the side to move's hidden squares: the share of the positions it cannot rule out that
have an enemy piece there. Arrow keys step through the game.</div>
<svg width="0" height="0" style="position:absolute"><defs>{pieces}</defs></svg>
<script type="application/json" id="replay-data">{data}</script>
<script>
(function () {{
  "use strict";
  var game = JSON.parse(document.getElementById("replay-data").textContent);
  var NAMES = {{p: "pawn", n: "knight", b: "bishop", r: "rook", q: "queen", k: "king"}};
  var FILES = "abcdefgh";
  var ply = game.startPly;

  function pieceId(letter) {{
    var colour = letter === letter.toUpperCase() ? "white-" : "black-";
    return colour + NAMES[letter.toLowerCase()];
  }}

  // Cells in reading order, rank 8 first; each names its square for anyone inspecting the page.
  function build(board) {{
    for (var row = 0; row < 8; row++) {{
      for (var file = 0; file < 8; file++) {{
        var cell = document.createElement("div");
        var rank = 7 - row;
        cell.className = "sq " + ((rank + file) % 2 ? "light" : "dark");
        cell.dataset.square = FILES[file] + (rank + 1);
        board.appendChild(cell);
      }}
    }}
  }}

  // entries: 64 by square (a1 = 0); null hidden, "" empty, else a piece letter. heat: null, or
  // 64 shares by square (null where the side sees the square).
  function paint(board, entries, marked, heat) {{
    var cells = board.children;
    for (var i = 0; i < 64; i++) {{
      var cell = cells[i];
      var square = (7 - Math.floor(i / 8)) * 8 + i % 8;
      var shown = entries === null ? null : entries[square];
      var colour = cell.className.indexOf("light") >= 0 ? "light" : "dark";
      cell.className = "sq " + colour + (shown === null ? " hidden" : "") +
        (marked.indexOf(cell.dataset.square) >= 0 ? " last" : "");
      cell.dataset.piece = shown === null ? "" : shown;
      cell.dataset.hidden = shown === null ? "1" : "0";
      cell.innerHTML = shown ? '<svg viewBox="0 0 45 45"><use href="#' + pieceId(shown) + '"/></svg>' : "";
      var share = heat ? heat[square] : null;
      cell.dataset.heat = share === null ? "" : String(share);
      if (share !== null && share > 0) {{
        cell.innerHTML = '<div class="heat" style="opacity:' + (0.1 + 0.8 * share).toFixed(3) + '"></div>' +
          '<span class="share">' + Math.round(100 * share) + "%</span>";
        cell.title = Math.round(100 * share) + "% of the positions it cannot rule out have an enemy piece here";
      }} else {{
        cell.title = "";
      }}
    }}
  }}

  function doubt(name, belief) {{
    var count = belief.size.toLocaleString("en-US");
    if (belief.exact) return name + " cannot rule out " + count + (belief.size === 1 ? " position" : " positions");
    return name + " cannot rule out more positions than it keeps: " + count + " drawn at random";
  }}

  function caption(name, entries, shownAt, toMove) {{
    if (entries === null) return name + ": nothing seen yet";
    return name + (toMove ? " sees" : " saw") + " (ply " + shownAt + ")";
  }}

  function show(next) {{
    ply = Math.max(0, Math.min(game.plies.length - 1, next));
    var p = game.plies[ply];
    var marked = p.lastMove ? [p.lastMove.slice(0, 2), p.lastMove.slice(2, 4)] : [];
    paint(document.getElementById("board-true"), p.board, marked, null);
    paint(document.getElementById("board-white"), p.white, [], p.whiteToMove ? p.heat : null);
    paint(document.getElementById("board-black"), p.black, [], p.whiteToMove ? null : p.heat);
    var beliefs = document.getElementById("beliefs");
    beliefs.textContent = p.beliefs ? doubt("White", p.beliefs.white) + ". " + doubt("Black", p.beliefs.black) + "." : "";
    document.getElementById("caption-true").textContent = "True board, ply " + ply;
    document.getElementById("caption-white").textContent = caption("White", p.white, p.whitePly, p.whiteToMove);
    document.getElementById("caption-black").textContent = caption("Black", p.black, p.blackPly, !p.whiteToMove);
    var status = document.getElementById("status");
    status.dataset.ply = String(ply);
    status.textContent = "Ply " + ply + " of " + (game.plies.length - 1) + ": " +
      (p.whiteToMove ? "White" : "Black") + " to move" +
      (p.lastMove ? ", last move " + p.lastMove : "") + ". Result: " + game.result;
  }}

  document.getElementById("title").textContent = game.title;
  ["board-true", "board-white", "board-black"].forEach(function (id) {{ build(document.getElementById(id)); }});
  document.getElementById("first").onclick = function () {{ show(0); }};
  document.getElementById("prev").onclick = function () {{ show(ply - 1); }};
  document.getElementById("next").onclick = function () {{ show(ply + 1); }};
  document.getElementById("last").onclick = function () {{ show(game.plies.length - 1); }};
  document.addEventListener("keydown", function (event) {{
    var to = {{ArrowRight: ply + 1, ArrowLeft: ply - 1, Home: 0, End: game.plies.length - 1}}[event.key];
    if (to === undefined) return;
    event.preventDefault();
    show(to);
  }});
  show(ply);
}})();
</script>
</body>
</html>
"""

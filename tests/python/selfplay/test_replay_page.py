"""The replay page (quellor-selfplay show --html), in a real headless browser.

A play run is recorded, its page opened in Debian's chromium through chromedriver, and stepped
with the keys and buttons. At each ply the three boards in the page must hold what python-chess
says: the true position and last move, and for each side the squares its pieces saw (from the
attack sets in conftest) when it was last to move. A screenshot must show the hidden squares
shaded, cell by cell.

Without chromium and chromedriver the browser test is skipped, unless QUELLOR_REQUIRE_BROWSER
is set (make test sets it, after installing them).
"""

import os
import re
import shutil

import chess
import numpy as np
import pytest

from support import oracle
from support.positions import visible_squares
from quellor_selfplay import GameBatch, codes
from quellor_selfplay.belief import Belief
from quellor_selfplay.commands.cli import main
from quellor_selfplay.data import game_record
from quellor_selfplay.replay import BELIEF_CAP, ReplayError, build_page

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
HIDDEN_RGB = (74, 74, 74)
GAME = 1


@pytest.fixture(scope="module")
def browser():
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not shutil.which(path)]
    if missing:
        message = f"no {' or '.join(missing)} (Debian's chromium and chromium-driver)"
        if os.environ.get("QUELLOR_REQUIRE_BROWSER"):
            pytest.fail(message)
        pytest.skip(message)
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1500,800", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    # The browser is Debian's: nothing may look for or fetch another. Under the sanitizer run
    # the test process preloads ASan, which the browser must not inherit.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_"))}
    env["SE_OFFLINE"] = "true"
    os.environ["SE_OFFLINE"] = "true"
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A play run's directory and the record of the game the page shows."""
    out = tmp_path_factory.mktemp("replay-run")
    assert main(["play", "--games", "2", "--max-plies", "30", "--seed", "5", "--workers", "1",
                 "--out", str(out), "--no-progress"]) == 0
    return out, game_record(out, GAME)


def positions(moves, start=chess.STARTING_FEN):
    boards = [chess.Board(start)]
    for move in moves:
        boards.append(boards[-1].copy())
        boards[-1].push_uci(move)
    return boards


def expected_view(board):
    """What the side to move of `board` sees: square -> piece letter ('' empty); hidden left out."""
    return {sq: (board.piece_at(sq).symbol() if board.piece_at(sq) else "") for sq in visible_squares(board)}


READ_BOARD = """
return Array.from(document.getElementById(arguments[0]).children).map(function (c) {
  var r = c.getBoundingClientRect();
  return [c.dataset.square, c.dataset.piece, c.dataset.hidden === "1", c.classList.contains("last"),
          Math.round(r.left), Math.round(r.top), c.dataset.heat];
});
"""


def read_board(driver, name):
    return {chess.parse_square(sq): (piece, hidden, last, (x, y))
            for sq, piece, hidden, last, x, y, _ in driver.execute_script(READ_BOARD, f"board-{name}")}


def read_heat(driver, name):
    return {chess.parse_square(sq): heat for sq, *_, heat in driver.execute_script(READ_BOARD, f"board-{name}")}


def check_beliefs(driver, moves, ply):
    """The page's counts and the mover's heat map at ply `ply` are those of beliefs that follow
    the game in a batch of their own."""
    batch = GameBatch(1, rules="dark", threads=1)
    beliefs = {side: Belief(batch, 0, side, cap=BELIEF_CAP) for side in ("white", "black")}
    for move in moves[:ply]:
        batch.step_moves(np.array([codes.move_code(chess.Move.from_uci(move))]))
        for belief in beliefs.values():
            belief.update()
    text = driver.find_element("id", "beliefs").text
    for side, belief in beliefs.items():
        assert belief.exact
        count = f"{belief.size:,} position" + ("" if belief.size == 1 else "s")
        assert f"{side.capitalize()} cannot rule out {count}" in text
    mover = "white" if bool(batch.to_move[0]) else "black"
    share = beliefs[mover].occupancy().sum(axis=0) / beliefs[mover].size
    shown = read_heat(driver, mover)
    hidden = {sq for sq, (_, is_hidden, *_) in read_board(driver, mover).items() if is_hidden}
    assert {sq for sq, heat in shown.items() if heat != ""} == hidden
    for sq in hidden:
        assert float(shown[sq]) == pytest.approx(share[sq], abs=1e-4)
    assert all(heat == "" for heat in read_heat(driver, "black" if mover == "white" else "white").values())
    return sum(float(shown[sq]) > 0 for sq in hidden)


def check_ply(driver, boards, moves, ply):
    """The page shows ply `ply` as python-chess has it."""
    status = driver.find_element("id", "status")
    assert status.get_attribute("data-ply") == str(ply)
    board = boards[ply]
    true = read_board(driver, "true")
    assert {sq: piece for sq, (piece, *_) in true.items()} == {
        sq: (board.piece_at(sq).symbol() if board.piece_at(sq) else "") for sq in chess.SQUARES}
    marked = {sq for sq, (_, _, last, _) in true.items() if last}
    assert marked == ({chess.parse_square(moves[ply - 1][:2]), chess.parse_square(moves[ply - 1][2:4])}
                      if ply else set())
    # The mover's view is of this position; the other side's of the one before.
    for side, name in ((chess.WHITE, "white"), (chess.BLACK, "black")):
        shown = board if board.turn == side else boards[ply - 1] if ply else None
        cells = read_board(driver, name)
        seen = {sq: piece for sq, (piece, hidden, *_) in cells.items() if not hidden}
        assert seen == ({} if shown is None else expected_view(shown)), (name, ply)
    return true


def test_replay_page_in_a_browser(browser, recorded, tmp_path):
    from PIL import Image
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    out, record = recorded
    moves = record["moves"]
    boards = positions(moves)
    assert main(["show", str(out), "--game", str(GAME), "--html"]) == 0
    page = out / f"replay-g{GAME}.html"
    # Self-contained: no address to fetch anything from.
    assert not re.search(r"(src|href)=\"?(https?:|//)|url\(", page.read_text())
    browser.get(page.as_uri())
    check_ply(browser, boards, moves, 0)
    body = browser.find_element(By.TAG_NAME, "body")
    warm = 0
    for ply in range(1, 7):
        body.send_keys(Keys.ARROW_RIGHT)
        check_ply(browser, boards, moves, ply)
        warm += check_beliefs(browser, moves, ply)
    # Somewhere in the opening the mover expects enemy pieces on squares it cannot see.
    assert warm > 0
    body.send_keys(Keys.ARROW_LEFT)
    check_ply(browser, boards, moves, 5)
    browser.find_element(By.ID, "next").click()
    white = check_ply(browser, boards, moves, 6) and read_board(browser, "white")
    black = read_board(browser, "black")

    shot = tmp_path / "replay-ply6.png"
    browser.save_screenshot(str(shot))
    oracle.FIGURES["replay page screenshot"] = str(shot)
    image = Image.open(shot).convert("RGB")
    for cells in (white, black):
        for square, (_, hidden, _, (x, y)) in cells.items():
            # A corner of the cell: no piece drawing reaches it.
            assert (image.getpixel((x + 3, y + 3)) == HIDDEN_RGB) == hidden, chess.square_name(square)
    assert sum(hidden for _, hidden, *_ in white.values()) > 20

    body.send_keys(Keys.END)
    status = browser.find_element(By.ID, "status").text
    assert status.startswith(f"Ply {len(moves)} of {len(moves)}")
    assert status.endswith(f"Result: {record['result']} ({record['ending']})")


@pytest.mark.parametrize(
    "moves, start, message",
    [
        (["e2e4", "e7e5", "e4e5"], None, "ply 3: e4e5 cannot be played in "
         "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2"),
        (["e2e4", "castle"], None, "ply 2: 'castle' is not a UCI move"),
        (["e1e3"], "4k3/8/8/8/8/8/8/3RK3 w - - 0 1", "ply 1: e1e3 cannot be played in 4k3/8/8/8/8/8/8/3RK3 w - - 0 1"),
        # The fog-of-war rules end the game when a king falls: nothing may follow.
        (["e8d7", "d1d7", "a1a2"], "4k3/8/8/8/8/8/8/3RK3 b - - 0 1", "ply 3: a1a2 follows the end of the game (1-0)"),
        ([], "8/8/8/8/8/8/8/8 w - - 0 1", "start position '8/8/8/8/8/8/8/8 w - - 0 1': game 0: Invalid FEN string"),
    ],
)
def test_games_that_cannot_be_replayed(moves, start, message):
    with pytest.raises(ReplayError) as info:
        build_page(moves, start)
    assert str(info.value) == message


def test_show_html_refusals(recorded, capsys):
    out, record = recorded
    assert main(["show", str(out), "--game", str(GAME), "--ply", str(len(record["moves"]) + 1), "--html"]) == 2
    assert f"ply {len(record['moves']) + 1} does not exist" in capsys.readouterr().err

"""Checks a self-play run on disk against a replay of its games.

Every game is replayed move by move in a GameBatch of one game with the run's rules and layout,
and, under the legal rules, with quellor.SelfPlayGame and python-chess as well. Each row, read
back through quellor_selfplay.data, must hold the observation, legal mask, slot, move and value
that the replay gives at its ply (and, under the legal rules with the history layout, exactly
SelfPlayGame.encode()); the behaviour log-probability must be the policy's own; every game must
end the way the replay says it ended.
"""

import contextlib
import csv
import json
import os
import re
import select
import subprocess
import time

import chess
import numpy as np
import torch

import quellor
from support.positions import action_slot
from quellor_selfplay import SUMMARY_FILE, GameBatch
from quellor_selfplay.data import MANIFEST, SelfPlayData, read_manifest, read_shard, shard_paths
from quellor_selfplay.codes import ENDINGS
from quellor_selfplay.codes import code_move
from quellor_selfplay.data import game_table
from quellor_selfplay.players import NetPlayer, masked_log_softmax


def load_run(out_dir):
    """(every array of every shard joined, summary)."""
    shards = [read_shard(p) for p in shard_paths(out_dir)]
    joined = {k: np.concatenate([s[k] for s in shards]) for k in shards[0]} if shards else {}
    summary = json.loads((out_dir / SUMMARY_FILE).read_text())
    return joined, summary


def same_data(a, b):
    return a.keys() == b.keys() and all(np.array_equal(a[k], b[k]) for k in a)


def check_run(out_dir, max_plies, model=None, bot=False):
    """Loads a run the way a learner would and checks every row against a replay; `model` is
    the network of a net run (its log-probabilities are recomputed), `bot` says the run's
    player is a bot, whose choices carry log-probability 0. Returns (data, summary)."""
    manifest = read_manifest(out_dir)
    assert manifest["complete"] is True
    run = manifest["run"]
    rules, layout, start = run["rules"], run["observation"], run["start_fen"]
    data, summary = load_run(out_dir)
    rows = SelfPlayData(out_dir)
    assert rows.observation == layout and len(rows) == summary["positions"]
    table = game_table(out_dir)
    assert table["game_index"].tolist() == list(range(run["games"])) == list(range(summary["games"]))
    for entry in manifest["shards"]:
        assert entry["bytes"] == (out_dir / entry["file"]).stat().st_size
    assert summary["files"]["data_bytes"] == sum(e["bytes"] for e in manifest["shards"])
    assert not list(out_dir.rglob("*.partial"))
    player = None if model is None else NetPlayer(model)

    first = 0
    for game, plies, result, ending in zip(table["game_index"], table["game_plies"], table["game_result"],
                                           table["game_ending"]):
        batch = GameBatch(1, rules=rules, observation=layout, dtype="float32", max_plies=max_plies,
                          fens=start)
        board = chess.Board(start or chess.STARTING_FEN)
        reference = quellor.SelfPlayGame(start)
        item = rows[torch.arange(first, first + plies)]
        assert item["game"].tolist() == [game] * plies and item["ply"].tolist() == list(range(plies))
        white_result = float(result)
        for p in range(plies):
            white = bool(batch.to_move[0])
            assert bool(item["white"][p]) == white
            assert torch.equal(item["observation"][p], batch.observation[0])
            assert torch.equal(item["mask"][p], batch.legal_action_mask[0])
            slot, code = int(item["action"][p]), int(item["move"][p])
            uci = code_move(code).uci()
            assert slot == action_slot(uci, white)
            assert batch.legal_action_mask[0, slot]
            if rules == "legal":
                assert chess.Move.from_uci(uci) in board.legal_moves
                if layout == "history":
                    assert torch.equal(item["observation"][p], reference.encode())
            assert float(item["value"][p]) == (white_result if white else -white_result)
            if bot:
                expected = 0.0
            elif player is None:
                expected = -np.log(float(batch.legal_action_mask[0].sum()))
            else:
                logits = player.logits(batch.observation[:1])
                expected = float(masked_log_softmax(logits, batch.legal_action_mask[:1])[0, slot])
            assert abs(float(item["logp"][p]) - expected) < 1e-4
            batch.step_moves(np.array([code]))
            board.push(chess.Move.from_uci(uci))
            reference.apply(uci)
        ended = ENDINGS[int(ending)]
        over = bool(batch.terminated[0]) or bool(batch.truncated[0])
        assert over or (plies == 0 and ended in ("checkmate", "stalemate"))
        if ended == "ply cap":
            assert batch.truncated[0] and plies == max_plies and result == 0
        elif ended == "king captured":
            assert rules == "dark" and batch.rewards[0, 0] == result != 0
        elif rules == "legal":
            assert board.is_checkmate() if ended == "checkmate" else board.is_stalemate()
            assert result == (0 if ended == "stalemate" else -1 if board.turn == chess.WHITE else 1)
        else:
            assert ended == "stalemate" and not batch.legal_action_mask[0].any() and result == 0
        first += plies
    assert first == len(rows)
    assert (out_dir / MANIFEST).exists()
    return data, summary


# Processes of a command run in a subprocess, read from /proc.


def process_stat(pid):
    """(state, parent PID, start time) from /proc, or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            text = stat.read()
    except OSError:
        return None
    # The command name stands in parentheses and may hold spaces; the fields follow it.
    fields = text[text.rindex(")") + 2:].split()
    return fields[0], int(fields[1]), int(fields[19])


@contextlib.contextmanager
def started(command, env=None):
    """A command started with its stderr piped; killed on the way out if it is still running,
    so that a failed check leaves no run behind."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def children(pid):
    """{PID: (start time, command line)} of the running children of `pid`."""
    found = {}
    for entry in os.listdir("/proc"):
        stat = process_stat(entry) if entry.isdigit() else None
        if stat is not None and stat[1] == pid:
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    command = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
            except OSError:
                continue
            found[int(entry)] = (stat[2], command)
    return found


def running(pid, start):
    stat = process_stat(pid)
    return stat is not None and stat[2] == start and stat[0] not in "ZX"


def read_until(stream, pattern, limit_seconds):
    """What the stream gave until `pattern` matched it; fails when it did not in time (a hung
    run must fail the test, not stall it)."""
    seen = b""
    deadline = time.monotonic() + limit_seconds
    while not re.search(pattern, seen):
        left = deadline - time.monotonic()
        assert left > 0 and select.select([stream], [], [], left)[0], f"never matched: {seen[-500:]!r}"
        chunk = os.read(stream.fileno(), 4096)
        assert chunk, f"stream closed: {seen[-500:]!r}"
        seen += chunk
    return seen


def rows_of(path):
    """The rows of a CSV file (metrics.csv, matches.csv) as dicts of strings."""
    with open(path, newline="") as f:
        return list(csv.DictReader(f))

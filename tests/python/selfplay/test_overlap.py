"""train --overlap in one process: the games in a thread beside the learner, and the ledger
that says where a run's time went."""

import threading

import numpy as np
import pytest
import torch

from quellor_selfplay.commands.cli import main
from quellor_selfplay.config import GameConfig, NetConfig, PPOConfig, RunConfig, TrainConfig
from quellor_selfplay.ledger import ACTING, LEARNING, PARTS, Ledger
from quellor_selfplay.net import read_checkpoint, save_checkpoint, seeded_net
from quellor_selfplay.runner import GamesThread, RunError, backend
from quellor_selfplay.trainer import Trainer, acting_precision, open_state

from .test_train import load_run_data, same_run, train_args


def games_threads():
    return [t for t in threading.enumerate() if t.name == "quellor-games"]


@pytest.mark.processes
def test_games_in_a_thread_repeat_and_are_the_games_of_worker_processes(tmp_path):
    # Without --workers, --overlap plays in a thread of the trainer's process.
    assert main(train_args(tmp_path / "thread", 3, "--overlap")) == 0
    assert main(train_args(tmp_path / "again", 3, "--overlap")) == 0
    assert main(train_args(tmp_path / "processes", 3, "--overlap", "--workers", 2)) == 0
    same_run(tmp_path / "thread", tmp_path / "again")
    same_run(tmp_path / "thread", tmp_path / "processes")
    assert games_threads() == []
    # The network learned and checkpointed is float32 whatever the players ran.
    net, blob = read_checkpoint(tmp_path / "thread" / "checkpoints/latest.pt")
    assert {v.dtype for v in blob["state_dict"].values()} == {torch.float32}
    assert blob["train"]["settings"]["acting_precision"] == acting_precision(TrainConfig())


def test_a_failing_game_in_the_thread_fails_the_run_and_ends_the_thread(tmp_path, capsys):
    net = seeded_net(seed=0, arch="squares", config={"channels": 8, "blocks": 1, "keys": 4})
    with torch.no_grad():
        net.source.bias.fill_(float("nan"))
    save_checkpoint(net, tmp_path / "nan.pt")
    status = main(train_args(tmp_path / "out", 3, "--overlap", "--bots", tmp_path / "nan.pt"))
    assert status == 1
    assert "a game failed: ValueError: the network's policy gives no finite probabilities" in capsys.readouterr().err
    assert games_threads() == []


def test_closing_drops_what_the_thread_has_not_played():
    from quellor_selfplay.players import PlayerConfig
    from quellor_selfplay.runner import Job, Segment

    job = Job(GameConfig("dark", "own", 30), (PlayerConfig.random(),), 2)
    runner = GamesThread()
    first = runner.submit(job, [Segment(0, ((0, 0, 0), (1, 0, 0)), 1)])
    later = runner.submit(job, [Segment(i, ((0, 0, 0),), i) for i in range(200)])
    assert len(first.results()) == 1
    runner.close()
    assert games_threads() == []
    # The second submission stopped where it was: whoever waits for it is told, not left waiting.
    played = []
    with pytest.raises(RunError, match="stopped before it played these games"):
        for item in later.as_completed():
            played.append(item)
    assert len(played) < 200
    with pytest.raises(RunError, match="the games thread has stopped"):
        runner.submit(job, [Segment(0, ((0, 0, 0),), 1)])


def test_the_ledger_accounts_for_a_whole_run(tmp_path):
    config = TrainConfig(
        iterations=3, games=8, game=GameConfig("dark", "own", 40), run=RunConfig(batch=4, seed=3, progress=False),
        overlap=True, net=NetConfig(channels=8, blocks=1), ppo=PPOConfig(minibatch=64), pool_size=2, pool_every=1,
        eval_every=2, eval_games=4, final_games=6, keep_data=9, out=tmp_path)
    trainer = Trainer(config, open_state(config))
    with Ledger() as ledger, backend(1, None, overlap=True) as runner:
        trainer.runner = runner
        trainer.begin()
        while not trainer.finished():
            trainer.step()
        trainer.finish()
    table = ledger.table()
    assert {row["part"] for row in table} <= set(PARTS) | {"other"}
    assert all(row["wall"] >= -1e-3 and row["cpu"] >= -1e-3 for row in table), table
    # Every part's CPU time once: the parts of both threads never add up to more than the process.
    assert sum(row["cpu"] for row in table if row["timeline"] != "process") <= ledger.cpu + 1e-3
    games = {row["part"] for row in table if row["timeline"] == "games" and row["wall"] > 0}
    main_parts = {row["part"] for row in table if row["timeline"] == "main"}
    # The training games were played in the thread, learned from in the caller.
    assert {"engine", "forward", "sampling", "observations"} <= games
    assert not set(ACTING[:-1]) & main_parts and set(LEARNING) <= main_parts
    assert {"evaluation", "data writing", "checkpoint"} <= main_parts
    # What no part covers is little of either thread's time.
    for line in ("main", "games"):
        other = next(row for row in table if row["timeline"] == line and row["part"] == "other")
        assert other["wall_share"] < 0.2, table
    # The counters saw the training games (not the evaluations') and every learned sample: the
    # positions of the iterations' games, and those of the next iteration's games that the
    # last one started early, handed on to a run that would go on.
    handed_on = sum(len(arrays["carry_move"]) for arrays in trainer.state.carried.values())
    assert handed_on > 0
    assert ledger.counts["positions"] == trainer.state.positions + handed_on
    rows = sum(int(np.count_nonzero(load_run_data(folder)["player"] == 0))
               for folder in sorted((tmp_path / "data").iterdir()))
    assert ledger.counts["samples"] == config.ppo.epochs * rows

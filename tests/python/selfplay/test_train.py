"""quellor-selfplay train: the learner's arithmetic, checkpoints and --resume, interrupts, Ray."""

import signal
import subprocess
import sys
import time
from pathlib import Path

import chess
import numpy as np
import pytest
import torch

from quellor_selfplay.arena import play_segment
from quellor_selfplay.config import GameConfig, PPOConfig
from quellor_selfplay.commands.cli import main
from quellor_selfplay.data import read_manifest
from quellor_selfplay.codes import code_move
from quellor_selfplay.learn import Experience, advantages, evaluate_values, gather, material_lead, ppo_loss
from quellor_selfplay.net import read_checkpoint, seeded_net
from quellor_selfplay.config import NetConfig, RunConfig, ScaleConfig, TrainConfig
from quellor_selfplay.players import RandomPlayer
from quellor_selfplay.runner import InProcess
from quellor_selfplay.trainer import Trainer, game_kinds, new_state, open_state, rollout
from support.replays import check_replayed
from support.runs import children, rows_of, running, same_data, started

SCRIPT = Path(sys.executable).with_name("quellor-selfplay")
TINY = ["--games", "8", "--batch", "4", "--max-plies", "40", "--eval-every", "2", "--eval-games", "4",
        "--final-games", "6", "--channels", "8", "--blocks", "1", "--minibatch", "64", "--pool-every", "1",
        "--pool-size", "2", "--keep-data", "9", "--seed", "3", "--no-progress"]


def train_args(out, iterations, *extra):
    return ["train", "--out", str(out), "--iterations", str(iterations), *TINY, *map(str, extra)]


# ---------------------------------------------------------------------------------------------
# The learner


def episode_batch(steps, result):
    """One side's episode of `steps` decisions ending in `result`, as the learner sees it."""
    n = len(steps)
    empty = torch.zeros(n, dtype=torch.int64)
    return Experience(frames=torch.zeros((n, 13), dtype=torch.int64), castling=torch.zeros(n, dtype=torch.uint8),
                 ply=torch.zeros(n, dtype=torch.int32), rows=torch.arange(n), masks=torch.zeros((n, 544), dtype=torch.uint8),
                 actions=empty, old_log_probs=torch.zeros(n), results=torch.full((n,), float(result)),
                 sequence=empty, step=torch.tensor(steps), lead=torch.zeros(n))


def test_advantages_follow_each_side_to_its_result():
    # Three decisions with values 0.2, -0.1, 0.5, then a win; gamma 0.9, lambda 0.5:
    #   delta_2 = 1 - 0.5 = 0.5
    #   delta_1 = 0.9 x 0.5 + 0.1 = 0.55,   A_1 = 0.55 + 0.45 x 0.5 = 0.775
    #   delta_0 = 0.9 x -0.1 - 0.2 = -0.29, A_0 = -0.29 + 0.45 x 0.775 = 0.05875
    values = torch.tensor([0.2, -0.1, 0.5])
    adv, returns = advantages(episode_batch([0, 1, 2], 1), values, gamma=0.9, lam=0.5)
    assert adv.tolist() == pytest.approx([0.05875, 0.775, 0.5])
    assert returns.tolist() == pytest.approx([0.25875, 0.675, 1.0])
    # Rows in any order, two episodes side by side (the second lost after one decision).
    batch = episode_batch([2, 0, 0, 1], -1)
    batch.sequence = torch.tensor([0, 0, 1, 0])
    batch.results = torch.tensor([1.0, 1.0, -1.0, 1.0])
    adv, _ = advantages(batch, torch.tensor([0.5, 0.2, 0.3, -0.1]), gamma=0.9, lam=0.5)
    assert adv.tolist() == pytest.approx([0.5, 0.05875, -1.3, 0.775])


def test_shaping_changes_a_return_only_by_the_first_potential():
    # With lambda 1 and a zero critic, the advantage of an episode's first decision is its whole
    # discounted return; shaping adds gamma^(t+1) F(t+1) - gamma^t F(t) at every t, which sums to
    # -F(first) (F is 0 after the last decision), whatever the material did on the way.
    generator = torch.Generator().manual_seed(5)
    steps = [0, 1, 2, 3, 4, 5, 0, 1, 2]
    batch = episode_batch(steps, 0)
    batch.sequence = torch.tensor([0, 0, 0, 0, 0, 0, 1, 1, 1])
    batch.results = torch.tensor([1.0] * 6 + [-1.0] * 3)
    batch.lead = torch.randint(-12, 13, (9,), generator=generator).float()
    zero = torch.zeros(9)
    plain, _ = advantages(batch, zero, gamma=0.9, lam=1.0)
    shaped, _ = advantages(batch, zero, gamma=0.9, lam=1.0, shaping=0.05)
    first = torch.tensor([0, 6])
    assert shaped[first].tolist() == pytest.approx((plain[first] - 0.05 * batch.lead[first]).tolist())
    # Each decision's own reward moved by gamma F(next) - F(now); here with lambda 0.
    plain, _ = advantages(batch, zero, gamma=0.9, lam=0.0)
    shaped, _ = advantages(batch, zero, gamma=0.9, lam=0.0, shaping=0.05)
    following = torch.cat([batch.lead[1:6], torch.zeros(1), batch.lead[7:9], torch.zeros(1)])
    assert (shaped - plain).tolist() == pytest.approx((0.05 * (0.9 * following - batch.lead)).tolist(), abs=1e-6)


VALUES = {chess.PAWN: 1, chess.KNIGHT: 3, chess.BISHOP: 3, chess.ROOK: 5, chess.QUEEN: 9}


def test_material_lead_is_the_true_boards():
    """The lead the learner is paid on, against python-chess replaying the games: the mover's
    material less the opponent's, at every row but those right after the opponent promoted."""
    shard = play_segment(GameConfig("dark", "own", 160), [(g, 0, 0) for g in range(8)], [RandomPlayer()], 8, seed=9)
    rows = np.arange(len(shard["ply"]))
    lead = material_lead(shard["frame"], shard["ply"], rows)
    board, checked, promoted = None, 0, False
    for r in rows:
        if shard["ply"][r] == 0:
            board, promoted = chess.Board(), False
        mover = board.turn
        truth = sum(v * (len(board.pieces(k, mover)) - len(board.pieces(k, not mover))) for k, v in VALUES.items())
        if not promoted:
            assert lead[r] == truth, (r, board.fen())
            checked += 1
        move = code_move(int(shard["move"][r]))
        promoted = move.promotion is not None
        board.push(move)
    assert checked > 0.9 * len(rows) and np.count_nonzero(lead) > len(rows) / 4


@pytest.fixture(scope="module")
def fixed_batch():
    shard = play_segment(GameConfig("dark", "own", 60), [(g, 0, 0) for g in range(6)], [RandomPlayer()], 6, seed=4)
    return gather([shard])


@pytest.mark.parametrize("arch, config", [("squares", {"channels": 8, "blocks": 1, "keys": 4}),
                                          ("mlp", {"hidden": 16})])
def test_one_training_step_lowers_the_loss(fixed_batch, arch, config):
    net = seeded_net(seed=2, arch=arch, config=config)
    hyper = PPOConfig(lr=1e-3)
    values = evaluate_values(net, fixed_batch, "own")
    adv, returns = advantages(fixed_batch, values, hyper.gamma, hyper.lam)
    adv = (adv - adv.mean()) / adv.std()
    everything = torch.arange(len(fixed_batch))
    from quellor_selfplay.data import unpack_masks

    inputs = (fixed_batch.observations(everything, "own"), unpack_masks(fixed_batch.masks),
              fixed_batch.actions, fixed_batch.old_log_probs, adv, returns)
    optimizer = torch.optim.Adam(net.parameters(), lr=hyper.lr)
    before, stats = ppo_loss(net, *inputs, hyper)
    if arch == "squares":
        # A fresh squares network plays uniformly: its log-probabilities are those of the random
        # play that made the batch.
        assert stats["kl"] == pytest.approx(0.0, abs=1e-5)
    optimizer.zero_grad()
    before.backward()
    optimizer.step()
    after, _ = ppo_loss(net, *inputs, hyper)
    assert float(after.detach()) < float(before.detach())


# ---------------------------------------------------------------------------------------------
# Runs


def same_run(a, b):
    """The two runs played the same games, learned the same weights and measured the same;
    `b` may hold more measurements (the final evaluation of a run that stopped earlier)."""
    folders = sorted(p.name for p in (a / "data").iterdir())
    assert folders == sorted(p.name for p in (b / "data").iterdir())
    for name in folders:
        assert same_data(load_run_data(a / "data" / name), load_run_data(b / "data" / name)), name
    net_a, blob_a = read_checkpoint(a / "checkpoints/latest.pt")
    net_b, blob_b = read_checkpoint(b / "checkpoints/latest.pt")
    assert all(torch.equal(x, y) for x, y in zip(net_a.state_dict().values(), net_b.state_dict().values()))
    assert blob_a["iteration"] == blob_b["iteration"]
    learned = ("iteration", "games", "positions", "policy_loss", "value_loss", "entropy", "kl", "clip_fraction")
    rows_a, rows_b = rows_of(a / "metrics.csv"), rows_of(b / "metrics.csv")
    assert [[r[k] for k in learned] for r in rows_a] == [[r[k] for k in learned] for r in rows_b]
    for x, y in zip(rows_a, rows_b):
        measured = [k for k in x if k not in learned + ("minutes", "positions_per_second") and x[k] != ""]
        assert [x[k] for k in measured] == [y[k] for k in measured]
    matches_b = [{k: v for k, v in m.items() if k != "minutes"} for m in rows_of(b / "matches.csv")]
    assert all({k: v for k, v in m.items() if k != "minutes"} in matches_b for m in rows_of(a / "matches.csv"))
    return folders


def load_run_data(folder):
    from quellor_selfplay.data import read_shard, shard_paths

    shards = [read_shard(p) for p in shard_paths(folder)]
    return {k: np.concatenate([s[k] for s in shards]) for k in shards[0]}


def check_whole_games(folder, games, max_plies):
    """Every game of an iteration's data is there whole, each against a one-game replay of its
    moves (support.replays). Games an iteration started for the next one and handed on are among
    them, their first moves played by the iteration before."""
    from quellor_selfplay.data import read_shard, shard_paths

    shards = [read_shard(p) for p in shard_paths(folder)]
    assert sorted(int(g) for s in shards for g in s["game_index"]) == list(range(games))
    for shard in shards:
        check_replayed(shard, max_plies)


@pytest.mark.parametrize("overlap", ["--no-overlap", "--overlap"])
def test_resume_from_a_checkpoint_plays_the_uninterrupted_games(tmp_path, capsys, overlap):
    assert main(train_args(tmp_path / "whole", 3, "--workers", 1, overlap)) == 0
    assert main(train_args(tmp_path / "split", 1, "--workers", 1, overlap)) == 0
    # The first iteration started games of the second, which the resumed run must play on.
    _, blob = read_checkpoint(tmp_path / "split" / "checkpoints/latest.pt")
    assert sum(len(arrays["carry_game"]) for arrays in blob["train"]["carried"].values()) > 0
    assert main(train_args(tmp_path / "split", 3, "--workers", 1, overlap, "--resume")) == 0
    folders = same_run(tmp_path / "whole", tmp_path / "split")
    assert folders == ["iter-00000", "iter-00001", "iter-00002"]
    for name in folders:
        check_whole_games(tmp_path / "whole" / "data" / name, 8, 40)
    metrics = rows_of(tmp_path / "whole" / "metrics.csv")
    assert [int(r["iteration"]) for r in metrics] == [0, 1, 2, 3]
    # Evaluations at 0 and 2 and a final one at 3, each against both fixed anchors.
    assert [r["score_vs_greedy"] != "" for r in metrics] == [True, False, True, True]
    last = metrics[-1]
    assert last["games_vs_random"] == last["games_vs_greedy"] == "6"
    assert float(last["score_vs_greedy_low"]) <= float(last["score_vs_greedy"]) <= float(last["score_vs_greedy_high"])
    matches = rows_of(tmp_path / "whole" / "matches.csv")
    assert [(m["iteration"], m["opponent"]) for m in matches] == [
        ("0", "random"), ("0", "greedy"), ("2", "random"), ("2", "greedy"), ("3", "random"), ("3", "greedy")]
    assert (tmp_path / "whole" / "learning-curve.png").read_bytes()[:4] == b"\x89PNG"
    for k in (0, 2, 3):
        net, blob = read_checkpoint(tmp_path / "whole" / f"checkpoints/iter-{k:05d}.pt")
        assert blob["iteration"] == k and blob["observation"] == "own" and blob["rules"] == "dark"
    # The games of an iteration hold the learner (player 0), the fixed opponents (--bots greedy
    # and bold, in two of the eight games) and pool networks (--pool-games, four of them).
    manifest = read_manifest(tmp_path / "whole" / "data" / "iter-00002")
    assert manifest["players"][:3] == ["learner", "greedy", "bold"] and len(manifest["players"]) == 5
    assert all(name.startswith("pool:iter-") for name in manifest["players"][3:])
    played = load_run_data(tmp_path / "whole" / "data" / "iter-00002")
    opponents = {int(g): set(played["player"][played["game"] == g].tolist()) - {0} for g in range(8)}
    kinds = game_kinds(8, 2, 4)
    allowed = {"bot": {1, 2}, "pool": {3, 4}}
    for g, kind in enumerate(kinds):
        assert opponents[g] == set() if kind == "self" else len(opponents[g]) == 1 and opponents[g] <= allowed[kind]
        # The learner is White in every other game against the others.
        white = int(played["player"][(played["game"] == g) & (played["ply"] == 0)][0]) == 0
        assert white == (kind == "self" or kinds[:g].count(kind) % 2 == 0)
    assert "3 iterations, 24 games" in capsys.readouterr().out


@pytest.mark.parametrize("overlap", [False, True])
def test_games_started_early_are_the_next_iterations_own(tmp_path, overlap):
    """Every game an iteration starts for the next one is a game the next iteration schedules,
    with the same players: against the fixed opponents, against itself, and against the pool
    whenever the next iteration's pool is this one's (here two iterations in three)."""
    config = TrainConfig(iterations=6, games=12, bot_games=0.25, pool_games=0.5, pool_every=3, pool_size=3,
                         overlap=overlap, run=RunConfig(batch=4, seed=3, progress=False), out=tmp_path / "run",
                         net=NetConfig(channels=4, blocks=1), game=GameConfig("dark", "own", 24))
    trainer = Trainer(config, open_state(config), InProcess())
    pool_games_ahead = 0
    while not trainer.finished():
        trainer.step()
        state = trainer.state
        carried, state.carried = state.carried, {}
        job, segments = rollout(state, config, state.iteration)
        state.carried = carried
        scheduled = {g: (w, b) for s in segments for g, w, b in s.games}
        kinds = game_kinds(config.games, 3, 6)
        for arrays in carried.values():
            for g, w, b in zip(arrays["carry_game"], arrays["carry_white"], arrays["carry_black"]):
                assert scheduled[int(g)] == (int(w), int(b))
                pool_games_ahead += kinds[int(g)] == "pool"
    assert pool_games_ahead > 0


@pytest.mark.parametrize("games, bots, pool", [(8, 2, 4), (256, 64, 128), (1024, 256, 512), (7, 0, 7),
                                               (10, 10, 0), (5, 1, 1), (1, 0, 0)])
def test_the_kinds_of_games_are_spread_evenly(games, bots, pool):
    """Each kind gets its number of games, and every stretch of games holds each kind within
    one game of its share: each segment has games to start early and pool games to share."""
    kinds = game_kinds(games, bots, pool)
    wanted = {"bot": bots, "pool": pool, "self": games - bots - pool}
    assert {k: kinds.count(k) for k in wanted} == wanted
    for end in range(1, games + 1):
        for kind, total in wanted.items():
            assert abs(kinds[:end].count(kind) - total * end / games) < 1 + 1e-9


@pytest.mark.parametrize("games, batch, sizes", [(10, 3, [6, 4]), (8, 4, [8]), (3, 8, [3])])
def test_an_iteration_plays_segments_of_twice_its_slots(games, batch, sizes):
    """A segment's slots take its next games as theirs end, so a segment holds more games than
    slots (up to twice), every game once, in order."""
    config = TrainConfig(games=games, run=RunConfig(batch=batch), bot_games=0.0)
    job, segments = rollout(new_state(config), config, 0)
    assert job.lanes == batch
    assert [len(s.games) for s in segments] == sizes
    assert [g for s in segments for g, _, _ in s.games] == list(range(games))


def test_a_trainer_built_in_a_program_trains_as_the_command_does(tmp_path):
    assert main(train_args(tmp_path / "command", 3, "--workers", 1)) == 0
    config = TrainConfig(
        iterations=3, games=8, game=GameConfig("dark", "own", 40), run=RunConfig(batch=4, seed=3, progress=False),
        scale=ScaleConfig(workers=1), net=NetConfig(channels=8, blocks=1), ppo=PPOConfig(minibatch=64),
        pool_size=2, pool_every=1, eval_every=2, eval_games=4, final_games=6, keep_data=9, out=tmp_path / "program")
    trainer = Trainer(config, open_state(config), InProcess())
    trainer.begin()
    steps = 0
    while not trainer.finished():
        stats = trainer.step()
        steps += 1
        assert trainer.state.iteration == steps and stats["positions_per_second"] > 0
    trainer.finish()
    same_run(tmp_path / "command", tmp_path / "program")


@pytest.mark.processes
def test_a_stopped_run_keeps_its_checkpoint_and_whole_shards(tmp_path):
    """SIGTERM during an iteration: status 143, the last checkpoint and only whole shards kept,
    no worker left; --resume then finishes exactly as a run that was never stopped."""
    out = tmp_path / "stopped"
    command = [SCRIPT, *train_args(out, 6, "--workers", 2)]
    with started(command) as process:
        deadline = time.monotonic() + 300
        while not (out / "data" / "iter-00001").exists():
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        workers = {pid: start for pid, (start, line) in children(process.pid).items() if "spawn_main" in line}
        assert len(workers) == 2
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=120)
    err = err.decode()
    assert process.returncode == 143, err
    assert "quellor-selfplay: terminated; the checkpoint of iteration " in err and "--resume" in err
    assert "Traceback" not in err
    assert [pid for pid, start in workers.items() if running(pid, start)] == []
    assert not list(out.rglob("*.partial"))
    for folder in (out / "data").iterdir():
        listed = {Path(e["file"]).name for e in read_manifest(folder)["shards"]}
        assert {p.name for p in (folder / "shards").iterdir()} == listed
    assert subprocess.run([*command, "--resume"], capture_output=True, timeout=300).returncode == 0
    assert main(train_args(tmp_path / "whole", 6, "--workers", 1)) == 0
    same_run(tmp_path / "whole", out)


@pytest.mark.processes
def test_ray_actors_train_like_local_workers(tmp_path):
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=2, include_dashboard=False, logging_level="WARNING")
    try:
        assert main(train_args(tmp_path / "ray", 2, "--ray", "auto", "--overlap")) == 0
    finally:
        ray.shutdown()
    assert main(train_args(tmp_path / "local", 2, "--workers", 2, "--overlap")) == 0
    same_run(tmp_path / "ray", tmp_path / "local")


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--resume"], "holds no checkpoints/latest.pt to resume from"),
        (["--pool-games", "1.5"], "argument --pool-games: must lie in 0..1"),
        (["--lr", "0"], "argument --lr: must be a positive number"),
        (["--init", "missing.pt"], "--init: checkpoint missing.pt does not exist"),
        (["--resume", "--overwrite"], "pick one"),
        (["--bot-games", "0.6"], "--bot-games 0.6 and --pool-games 0.5 add up to more than all the games"),
        (["--bots", "greedy,nobody.pt"], "--bots: checkpoint nobody.pt does not exist"),
        (["--bots", "no_such_module:make"], "--bots: player no_such_module:make: cannot import no_such_module"),
    ],
)
def test_bad_options_are_refused(tmp_path, capsys, extra, message):
    try:
        status = main(train_args(tmp_path / "out", 1, *extra))
    except SystemExit as exit_:
        status = exit_.code
    assert status == 2
    assert message in capsys.readouterr().err


def test_resume_refuses_other_settings_and_a_new_run_refuses_an_old_one(tmp_path, capsys):
    assert main(train_args(tmp_path, 1, "--workers", 1)) == 0
    capsys.readouterr()
    assert main(train_args(tmp_path, 2, "--workers", 1, "--resume", "--lr", "0.5")) == 2
    assert "was made with lr = 0.001, not 0.5" in capsys.readouterr().err
    assert main(train_args(tmp_path, 2, "--workers", 1)) == 2
    assert "already holds a training run" in capsys.readouterr().err


@pytest.mark.parametrize("budget, iterations", [("none left", 2), ("ample", 3)])
def test_a_resumed_run_keeps_to_its_minutes(tmp_path, capsys, budget, iterations):
    """The time a resumed run may still take counts what the run spent before, and the next
    iteration and the final evaluation are estimated from the run's own last ones, timed before
    it stopped: a run with no room left for them plays nothing more."""
    out = tmp_path / "run"
    assert main(train_args(out, 2, "--workers", 1, "--no-overlap")) == 0
    train = read_checkpoint(out / "checkpoints/latest.pt")[1]["train"]
    assert train["iteration_seconds"] > 0 and train["evaluation_seconds"] > 0
    spent = train["seconds"]
    minutes = (spent + 0.5 * train["iteration_seconds"]) / 60 if budget == "none left" else spent / 60 + 60
    before = [(out / name).read_bytes() for name in ("metrics.csv", "matches.csv")]
    assert main(train_args(out, 3, "--workers", 1, "--no-overlap", "--resume", "--minutes", minutes)) == 0
    assert read_checkpoint(out / "checkpoints/latest.pt")[1]["iteration"] == iterations
    after = [(out / name).read_bytes() for name in ("metrics.csv", "matches.csv")]
    assert (after == before) == (budget == "none left")
    assert f"{iterations} iterations" in capsys.readouterr().out


@pytest.mark.parametrize("made, cpus", [("--no-overlap", 2), ("--overlap", 1)])
def test_resume_keeps_the_overlap_the_run_was_made_with(tmp_path, capsys, monkeypatch, made, cpus):
    """Overlap's default follows the machine (and --ray): a run resumed without the option goes
    on as it was made, where this machine would choose the other for a new run."""
    import quellor_selfplay.config

    out = tmp_path / "run"
    assert main(train_args(out, 1, "--workers", 1, made)) == 0
    monkeypatch.setattr(quellor_selfplay.config, "cpu_count", lambda: cpus)
    assert main(train_args(out, 2, "--workers", 1, "--resume")) == 0, capsys.readouterr().err
    train = read_checkpoint(out / "checkpoints/latest.pt")[1]["train"]
    assert train["iteration"] == 2 and train["settings"]["overlap"] == (made == "--overlap")
    other = "--overlap" if made == "--no-overlap" else "--no-overlap"
    capsys.readouterr()
    assert main(train_args(out, 3, "--workers", 1, "--resume", other)) == 2
    assert f"was made with overlap = {made == '--overlap'}" in capsys.readouterr().err

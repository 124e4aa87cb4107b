"""The Gymnasium environments: Gymnasium's own checker, then each game replayed in the PettingZoo
environment (an adapter of its own, held to python-chess by its tests), and the vector
environments' restarts, colours, episode figures and refusals."""

import warnings

import gymnasium
import numpy as np
import pytest
import torch
from gymnasium.utils.env_checker import check_env
from gymnasium.wrappers.vector import RecordEpisodeStatistics

from quellor_selfplay.envs import gymnasium as qgym
from quellor_selfplay.envs import pettingzoo as qpz
from quellor_selfplay.players import GreedyPlayer, RandomPlayer, masked_logits, sample_masked


class Recording:
    """A player that records the slots it plays, and who it is to the PettingZoo game."""

    def __init__(self, inner):
        self.inner, self.uses_random_actions, self.slots = inner, inner.uses_random_actions, []

    def act(self, observations, masks, generator, random_slots):
        slots, log_probs = self.inner.act(observations, masks, generator, random_slots)
        self.slots.extend(int(s) for s in slots)
        return slots, log_probs


def legal_draw(rng, mask):
    return int(rng.choice(np.flatnonzero(mask)))


@pytest.mark.parametrize("opponent", ["random", "greedy"])
@pytest.mark.parametrize("colour", ["white", "black", "alternate"])
def test_gymnasium_checker_passes(opponent, colour):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # its note that it cannot try other render modes unregistered
        check_env(qgym.OpponentEnv(opponent, colour=colour), skip_render_check=True)


def test_registered_for_make_and_make_vec():
    env = gymnasium.make(qgym.ENV_ID, opponent="greedy", colour="black")
    obs, info = env.reset(seed=1)
    assert info["white"] is False and obs["action_mask"].any()
    vec = gymnasium.make_vec(qgym.ENV_ID, num_envs=3, vectorization_mode="vector_entry_point")
    obs, info = vec.reset(seed=1)
    assert obs["observation"].shape == (3, 64, 106) and list(info["white"]) == [True, False, True]


@pytest.mark.parametrize("opponent", [RandomPlayer(), GreedyPlayer()])
@pytest.mark.parametrize("colour, max_plies", [("white", None), ("black", None), ("alternate", 24)])
def test_games_replay_in_the_pettingzoo_environment(opponent, colour, max_plies):
    """Every game of the single-agent environment, its moves replayed in PettingZoo's: the
    agent's observations and masks, its rewards and the game's end are PettingZoo's for that
    agent at each of its turns."""
    rng = np.random.default_rng(3)
    recording = Recording(opponent)
    env = qgym.OpponentEnv(recording, colour=colour, max_plies=max_plies)
    for game in range(6):
        recording.slots.clear()
        obs, info = env.reset(seed=game) if game % 2 else env.reset()
        agent = qpz.AGENTS[0] if info["white"] else qpz.AGENTS[1]
        other = qpz.AGENTS[1] if info["white"] else qpz.AGENTS[0]
        peer = qpz.raw_env(max_plies=max_plies)
        peer.reset()
        played = 0

        def catch_up():
            nonlocal played
            while played < len(recording.slots):
                assert peer.agent_selection == other
                peer.step(recording.slots[played])
                played += 1

        catch_up()
        done = False
        while not done:
            seen = peer.observe(agent)
            assert peer.agent_selection == agent
            assert np.array_equal(obs["observation"], seen["observation"])
            assert np.array_equal(obs["action_mask"], seen["action_mask"].astype(bool))
            slot = legal_draw(rng, obs["action_mask"])
            obs, reward, terminated, truncated, info = env.step(slot)
            peer.step(slot)
            catch_up()
            done = terminated or truncated
            assert reward == peer.rewards[agent]
            assert terminated == peer.terminations[agent] and truncated == peer.truncations[agent]
        seen = peer.observe(agent)
        assert np.array_equal(obs["observation"], seen["observation"])
        assert not obs["action_mask"].any()
        assert info["result"] * (1 if info["white"] else -1) == reward
        assert info["plies"] == peer.batch.plies[0]
        with pytest.raises(RuntimeError, match="the game is over: call reset"):
            env.step(0)


def test_alternating_colours_and_episode_figures():
    """OpponentVectorEnv under RecordEpisodeStatistics: each environment changes colour with
    every game, every live observation waits for the agent, and each ended game's figures
    agree: the return is the agent's result, the length its moves."""
    envs = RecordEpisodeStatistics(qgym.OpponentVectorEnv(6, "random", max_plies=40))
    obs, info = envs.reset(seed=2)
    colours = [[bool(w)] for w in info["white"]]
    moves = np.zeros(6, dtype=np.int64)
    ended = 0
    rng = torch.Generator().manual_seed(0)
    for _ in range(400):
        actions, _ = sample_masked(torch.randn(6, 4352, generator=rng), obs["action_mask"], rng)
        was_done = ~obs["action_mask"].any(axis=1)
        obs, rewards, terminated, truncated, info = envs.step(actions.numpy())
        done = terminated | truncated
        moves += ~was_done
        live = ~done
        assert np.array_equal(info["to_move"][live], info["white"][live])
        for i in np.flatnonzero(done):
            ended += 1
            assert info["_episode"][i]
            assert info["episode"]["l"][i] == moves[i]
            white = colours[i][-1]
            assert info["episode"]["r"][i] == rewards[i] == info["result"][i] * (1 if white else -1)
            moves[i] = 0
        for i in np.flatnonzero(was_done):
            colours[i].append(bool(info["white"][i]))
            assert colours[i][-1] != colours[i][-2]
    assert ended > 20


def test_self_play_rewards_and_restarts():
    """SelfPlayVectorEnv: the reward of a step is the mover's, a game restarts on the step after
    it ended (its action ignored), and the episode length is its plies."""
    envs = RecordEpisodeStatistics(qgym.SelfPlayVectorEnv(5, max_plies=30))
    obs, info = envs.reset(seed=4)
    rng = np.random.default_rng(4)
    ended = 0
    for _ in range(200):
        mover = info["to_move"].copy()
        was_done = ~obs["action_mask"].any(axis=1)
        actions = np.array([legal_draw(rng, m) if m.any() else 9999 for m in obs["action_mask"]])
        obs, rewards, terminated, truncated, info = envs.step(actions)
        assert np.all(envs.unwrapped.batch.plies.numpy()[was_done] == 0)
        for i in np.flatnonzero(terminated | truncated):
            ended += 1
            assert info["episode"]["l"][i] == info["plies"][i]
            assert rewards[i] == info["result"][i] * (1 if mover[i] else -1)
    assert ended > 20


@pytest.mark.parametrize("env", [
    lambda: qgym.SelfPlayVectorEnv(3),
    lambda: qgym.OpponentVectorEnv(3, "greedy"),
])
def test_an_illegal_slot_loses_or_is_refused(env):
    vec = env()
    obs, _ = vec.reset(seed=0)
    actions = np.array([legal_draw(np.random.default_rng(i), m) for i, m in enumerate(obs["action_mask"])])
    bad = actions.copy()
    bad[1] = np.flatnonzero(~obs["action_mask"][1])[0]
    fens = [vec.batch.fen(i) for i in range(3)]
    obs, rewards, terminated, truncated, info = vec.step(bad)
    assert rewards[1] == -1 and terminated[1] and info["illegal"][1] and not info["_illegal"][0]
    assert vec.batch.fen(1) == fens[1]  # the illegal slot moved nothing
    assert info["result"][1] == (-1 if vec.batch.to_move[1] else 1)
    strict = env()
    strict._games.illegal = "raise"
    obs, _ = strict.reset(seed=0)
    fens = [strict.batch.fen(i) for i in range(3)]
    with pytest.raises(ValueError, match="game 1: action .* is not a legal slot"):
        strict.step(bad)
    assert [strict.batch.fen(i) for i in range(3)] == fens


def test_seeded_resets_repeat_and_partial_resets_restart_only_their_games():
    def run(vec, seed):
        obs, _ = vec.reset(seed=seed)
        seen = [obs["observation"].copy()]
        rng = np.random.default_rng(0)
        for _ in range(30):
            actions = np.array([legal_draw(rng, m) if m.any() else 0 for m in obs["action_mask"]])
            obs, *_ = vec.step(actions)
            seen.append(obs["observation"].copy())
        return seen

    vec = qgym.OpponentVectorEnv(4, "random", colour="alternate")
    first, again = run(vec, 9), run(vec, 9)
    assert all(np.array_equal(a, b) for a, b in zip(first, again))
    assert not all(np.array_equal(a, b) for a, b in zip(first, run(vec, 10)))
    plies = vec.batch.plies.numpy().copy()
    vec.reset(options={"reset_mask": np.array([False, True, False, False])})
    after = vec.batch.plies.numpy()
    assert after[1] == (0 if vec.white[1] else 1)
    assert np.array_equal(np.delete(after, 1), np.delete(plies, 1))


def test_games_over_before_the_agent_moves_are_reported():
    """With a cap of one ply the agent playing Black finds its games over at the start: the next
    step reports them and the one after restarts them, instead of waiting forever."""
    vec = qgym.OpponentVectorEnv(2, "random", colour="black", max_plies=1)
    obs, _ = vec.reset(seed=0)
    assert not obs["action_mask"].any()
    obs, rewards, terminated, truncated, info = vec.step(np.zeros(2, dtype=np.int64))
    assert truncated.all() and not terminated.any() and (rewards == 0).all()
    assert list(info["plies"]) == [1, 1]


@pytest.mark.parametrize("masks", [
    np.array([[True, False, True, False], [False] * 4, [False, False, False, True]]),
    np.zeros((2, 4), dtype=bool),
])
def test_masked_sampling_never_gives_nan_and_follows_the_softmax(masks):
    logits = torch.tensor([[0.0, 5.0, 1.0, -2.0], [1.0, 2.0, 3.0, 4.0], [0.0, 0.0, 0.0, 0.0]])[: len(masks)]
    safe = masked_logits(logits, torch.from_numpy(masks))
    dist = torch.distributions.Categorical(logits=safe)
    assert torch.isfinite(dist.entropy()).all() and torch.isfinite(dist.logits).all()
    generator = torch.Generator().manual_seed(1)
    draws = [sample_masked(logits, masks, generator) for _ in range(4000)]
    slots = torch.stack([d[0] for d in draws])
    log_probs = torch.stack([d[1] for d in draws])
    assert torch.isfinite(log_probs).all()
    for row, mask in enumerate(masks):
        if not mask.any():
            assert (slots[:, row] == -1).all() and (log_probs[:, row] == 0).all()
            continue
        assert mask[slots[:, row].numpy()].all()
        expected = torch.softmax(logits[row].masked_fill(~torch.from_numpy(mask), float("-inf")), 0)
        observed = torch.bincount(slots[:, row], minlength=4) / len(draws)
        assert torch.allclose(observed, expected, atol=0.03)
        assert torch.allclose(log_probs[:, row].exp(), expected[slots[:, row]], atol=1e-6)

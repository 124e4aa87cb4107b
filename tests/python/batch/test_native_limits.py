"""What the native batch does at the edges of what the system and the integers allow: a refused
worker thread, integers that do not fit, a long play_random interrupted by Ctrl-C. It raises a
Python exception every time and leaves the interpreter able to go on."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from quellor_selfplay import GameBatch, _batch

UNDER_ASAN = bool(os.environ.get("QUELLOR_ASAN"))


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns the finished process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


# ---------------------------------------------------------------------------------------------
# A worker thread the system refuses

# The child lowers its own address-space limit once torch and the module are loaded, to what it
# uses plus 256 MiB: far too little for the stacks of a thousand threads, whatever the machine.
THREAD_START = """
    import json, os, resource
    from quellor_selfplay import GameBatch

    def threads():
        return len(os.listdir("/proc/self/task"))

    def vm_bytes():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    GameBatch(1000, threads=1)  # torch starts its own threads on the first large tensors
    before = threads()
    cap = vm_bytes() + (256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    report = {}
    try:
        GameBatch(1000, threads=1000)
        report["error"] = None
    except BaseException as e:
        report["error"] = [type(e).__name__, str(e)]
    report["threads_left"] = threads() - before
    sane = GameBatch(64, threads=2, seed=3)
    report["sane_plies"] = sane.play_random(5)["plies"]
    print(json.dumps(report))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit allows")
def test_refused_worker_thread_raises_and_leaves_nothing_running():
    proc = run_python(THREAD_START)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    kind, message = report["error"]
    # MemoryError when the thread's own bookkeeping found no memory before the system refused it.
    assert kind in ("RuntimeError", "MemoryError"), report
    if kind == "RuntimeError":
        assert message.startswith("could not start worker thread ") and message.endswith("; ask for fewer threads")
    assert report["threads_left"] == 0
    assert report["sane_plies"] == 64 * 5


# ---------------------------------------------------------------------------------------------
# Integers that do not fit

U64 = "18446744073709551615"


def native(n=1, max_plies=0, seed=0, threads=1):
    """The native constructor called directly, as GameBatch would but unchecked: every argument
    here is read before the output buffers are looked at."""
    return _batch.Batch(n, "dark", "own", "uint8", max_plies, seed, threads, None, False, ())


# (call, exception, message): the library's checks first, then the native layer's own, which
# must hold when called directly. None of these may wrap into a value that is accepted.
OUT_OF_RANGE = [
    (lambda: GameBatch(2**32), ValueError, "n must be at most 4294967295, got 4294967296"),
    (lambda: GameBatch(2**64 + 2), ValueError, "n must be at most 4294967295, got 18446744073709551618"),
    (lambda: GameBatch(1, max_plies=2**64), ValueError, "max_plies must be at most 2**64-1, got 18446744073709551616"),
    (lambda: GameBatch(1, max_plies=2**64 + 1), ValueError,
     "max_plies must be at most 2**64-1, got 18446744073709551617"),
    (lambda: GameBatch(1, seed=2**64), ValueError, "seed must be in 0..2**64-1, got 18446744073709551616"),
    (lambda: GameBatch(1, seed=-1), ValueError, "seed must be in 0..2**64-1, got -1"),
    (lambda: GameBatch(1, threads=-2**64), ValueError, "threads must be positive, got -18446744073709551616"),
    (lambda: GameBatch(1).reset(seed=2**64 + 1), ValueError, "seed must be in 0..2**64-1, got 18446744073709551617"),
    (lambda: GameBatch(1).play_random(2**64), ValueError, "steps must be at most 2**64-1, got 18446744073709551616"),
    (lambda: GameBatch(1).play_random(-2**64), ValueError, "steps must not be negative, got -18446744073709551616"),
    (lambda: GameBatch(2).fen(2**64), IndexError, "game index 18446744073709551616 out of range for 2 games"),
    (lambda: GameBatch(2).game(-2**64), IndexError, "game index -18446744073709551616 out of range for 2 games"),
    (lambda: GameBatch(2).legal_moves(2**63), IndexError, "game index 9223372036854775808 out of range for 2 games"),
    (lambda: native(n=0), ValueError, "n must be in 1..4294967295, got 0"),
    (lambda: native(n=2**32), ValueError, "n must be in 1..4294967295, got 4294967296"),
    (lambda: native(n=2**64), OverflowError, "n must be in 1..4294967295, got 18446744073709551616"),
    (lambda: native(max_plies=2**64 + 1), OverflowError, f"max_plies must be in 0..{U64}, got 18446744073709551617"),
    (lambda: native(max_plies=-1), OverflowError, f"max_plies must be in 0..{U64}, got -1"),
    (lambda: native(seed=2**64), OverflowError, f"seed must be in 0..{U64}, got 18446744073709551616"),
    (lambda: native(seed=-2**70), OverflowError, f"seed must be in 0..{U64}, got -1180591620717411303424"),
    (lambda: native(threads=0), ValueError, f"threads must be in 1..{U64}, got 0"),
    (lambda: native(threads=2**64), OverflowError, f"threads must be in 1..{U64}, got 18446744073709551616"),
    (lambda: native(n=True), TypeError, "n must be an int, not bool"),
    (lambda: native(seed=1.0), TypeError, "seed must be an int, not float"),
    (lambda: GameBatch(1)._core.play_random(2**64), OverflowError, f"steps must be in 0..{U64}, got 18446744073709551616"),
    (lambda: GameBatch(1)._core.play_random(-1), OverflowError, f"steps must be in 0..{U64}, got -1"),
    (lambda: GameBatch(1)._core.reset(2**64, None), OverflowError, f"seed must be in 0..{U64}, got 18446744073709551616"),
    (lambda: GameBatch(1)._core.reset(-1, None), OverflowError, f"seed must be in 0..{U64}, got -1"),
    (lambda: GameBatch(2)._core.fen(2**64), IndexError, "game index 18446744073709551616 out of range for 2 games"),
    (lambda: GameBatch(2)._core.planes(-1), IndexError, "game index -1 out of range for 2 games"),
]


@pytest.mark.parametrize("call, error, message", OUT_OF_RANGE)
def test_out_of_range_integers_are_refused(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("cap, plies", [(2**64 - 1, 6), (2**63, 6), (1, 1), (4, 4)])
def test_max_plies_is_kept_whole(cap, plies):
    """The largest caps are kept, not wrapped to small ones: a cap of 2**64-1 stops nothing."""
    batch = GameBatch(3, max_plies=cap, seed=5, fens="4k3/8/8/8/8/8/8/R3K3 w - - 0 1", rules="legal")
    batch.play_random(6)
    assert batch.plies.tolist() == [plies] * 3
    assert batch.truncated.tolist() == [plies < 6] * 3


@pytest.mark.parametrize("threads", [2**64, 10**30])
def test_threads_beyond_the_games_are_one_per_game(threads):
    batch = GameBatch(3, threads=threads, seed=2)
    assert batch.threads == 3
    assert batch.play_random(4)["plies"] == 12


# ---------------------------------------------------------------------------------------------
# Long play_random runs

# Games that never stop (auto_reset) played for 2**63 steps, interrupted by the parent. The child
# says when it is about to start, and reports what it caught and whether the batch still works.
INTERRUPTED = """
    import json, sys
    from quellor_selfplay import GameBatch

    batch = GameBatch(16, auto_reset=True, max_plies=50, seed=4, threads=2)
    print("ready", flush=True)
    try:
        batch.play_random(2**63)
        report = {"caught": None}
    except KeyboardInterrupt:
        report = {"caught": "KeyboardInterrupt"}
    report["played"] = int(batch.plies.sum()) > 0 or bool(batch.truncated.any())
    report["after"] = batch.play_random(3)["plies"]
    print(json.dumps(report), flush=True)
"""


def test_ctrl_c_stops_a_long_play_random():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPTED)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        # The child is in play_random, or about to enter it: either way the interrupt must end it.
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    report = json.loads(out)
    assert report["caught"] == "KeyboardInterrupt" and report["played"]
    # The batch is free again and plays on (a game that auto-resets in a step plays no ply in it).
    assert 16 * 2 <= report["after"] <= 16 * 3


# Without auto_reset, games that are over stay over: 2**63 steps must end as a handful would.
# In a child process, so that the old behaviour (the steps played one by one) fails by timeout
# rather than hanging the suite.
FINISHED = """
    import json, torch
    from quellor_selfplay import GameBatch

    asked = GameBatch(6, max_plies=5, seed=1, rules="legal", threads=2)
    stepped = asked.clone()
    counts = asked.play_random(2**63)
    for _ in range(6):
        stepped.step(stepped.random_actions())
    names = ["observation", "legal_action_mask", "to_move", "rewards", "terminated", "truncated", "plies",
             "last_move", "ending", "result"]
    print(json.dumps({"counts": counts,
                      "differ": [n for n in names if not torch.equal(getattr(asked, n), getattr(stepped, n))]}))
"""


def test_play_random_on_finished_games_returns_at_once():
    proc = run_python(FINISHED, timeout=60)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert report["differ"] == []
    assert report["counts"] == {"plies": 30, "white_wins": 0, "black_wins": 0, "draws": 0, "truncations": 6}

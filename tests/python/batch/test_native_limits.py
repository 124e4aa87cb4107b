"""What the native batch does at the edges of what the system and the integers allow: a refused
worker thread, integers that do not fit, a long play_random interrupted by Ctrl-C. It raises a
Python exception every time and leaves the interpreter able to go on."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

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

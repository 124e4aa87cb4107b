"""What the leak tests measure with, and how much drift they allow."""

import gc
import os
import sys

# A leak of one object per call shows as the number of calls; the counts may wander by a few dozen.
OBJECT_SLACK = 100
RSS_SLACK = 4 << 20
UNDER_ASAN = bool(os.environ.get("QUELLOR_ASAN"))


def rss():
    """This process's resident memory in bytes."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(work, warm, rounds):
    """Runs work(warm), then work(rounds): between the two the live objects and the
    interpreter's allocated blocks must stay within OBJECT_SLACK."""
    work(warm)
    gc.collect()
    objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
    work(rounds)
    gc.collect()
    assert len(gc.get_objects()) - objects < OBJECT_SLACK
    assert sys.getallocatedblocks() - blocks < OBJECT_SLACK

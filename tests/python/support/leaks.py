"""What the leak tests measure with, and how much drift they allow."""

import os

# A leak of one object per call shows as the number of calls; the counts may wander by a few dozen.
OBJECT_SLACK = 100
RSS_SLACK = 4 << 20
UNDER_ASAN = bool(os.environ.get("QUELLOR_ASAN"))


def rss():
    """This process's resident memory in bytes."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

// The worker pool: every job covers its range exactly once, and a pool whose threads the system
// refuses leaves nothing running behind its exception.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "workers.hpp"

namespace {

using quellor::batch::ThreadStartError;
using quellor::batch::WorkerPool;

// Threads of this process, the calling one included.
std::size_t live_threads() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// Runs one job on `pool` over [0, n); true when every index was visited exactly once.
bool covers_once(WorkerPool& pool, std::size_t n) {
    std::vector<std::atomic<int>> visits(n);
    pool.run(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1, std::memory_order_relaxed);
    });
    for (const auto& v : visits)
        if (v.load() != 1) return false;
    return true;
}

struct PoolCase {
    std::size_t threads;
    std::size_t n;
};

class WorkerPoolCoverage : public ::testing::TestWithParam<PoolCase> {};

TEST_P(WorkerPoolCoverage, EveryIndexOnceInEveryJob) {
    const PoolCase c = GetParam();
    WorkerPool pool(c.threads);
    EXPECT_EQ(pool.size(), c.threads == 0 ? 1u : c.threads);
    for (int job = 0; job < 20; ++job) ASSERT_TRUE(covers_once(pool, c.n)) << "job " << job;
}

// Fewer games than threads, as many, more, and an uneven split.
INSTANTIATE_TEST_SUITE_P(Splits, WorkerPoolCoverage,
                         ::testing::Values(PoolCase{0, 5}, PoolCase{1, 7}, PoolCase{4, 0}, PoolCase{4, 1},
                                           PoolCase{4, 3}, PoolCase{4, 4}, PoolCase{3, 1000}, PoolCase{8, 37}));

#if !defined(__SANITIZE_ADDRESS__)
// Under an address-space limit too small for a thousand thread stacks, the pool must throw with
// the workers it started already joined (a joinable std::thread destroyed by the unwinding
// ends the process), and a small pool must then work in the same process. Returns the exit
// status of the child process it runs in, since the limit cannot be lifted again: 0 when all
// of that held.
[[noreturn]] void start_under_limit() {
    const rlimit limit{512u << 20, 512u << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(10);
    const std::size_t before = live_threads();
    try {
        WorkerPool pool(1000);
        std::_Exit(11);  // the limit did not bite: the test would prove nothing
    } catch (const ThreadStartError& e) {
        if (std::string(e.what()).rfind("could not start worker thread ", 0) != 0) std::_Exit(12);
    } catch (const std::bad_alloc&) {
        // The thread's own bookkeeping may be what found no memory: as good a refusal.
    }
    if (live_threads() != before) std::_Exit(13);
    WorkerPool pool(4);
    std::_Exit(covers_once(pool, 1000) ? 0 : 14);
}
#endif

TEST(WorkerPoolStart, RefusedThreadLeavesNothingRunning) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#else
    EXPECT_EXIT(start_under_limit(), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace

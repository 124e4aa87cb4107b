#include "workers.hpp"

#include <chrono>
#include <string>
#include <system_error>

namespace {

// How long an idle worker keeps watching for the next job before it sleeps. A trainer's loop
// posts several jobs per step with a little Python in between; a worker that went to sleep
// would cost a wake-up (tens of microseconds) on each of them. While watching it yields its
// core at every look, so that on a machine with more busy threads than cores it does not
// keep the thread that would post the next job (or finish this one) from running.
constexpr auto SPIN_FOR = std::chrono::microseconds(100);

}  // namespace

namespace quellor::batch {

WorkerPool::WorkerPool(std::size_t threads) {
    if (threads < 1) threads = 1;
    workers_.reserve(threads - 1);
    // A constructor that throws runs no destructor, and a joinable std::thread destroyed with
    // the vector ends the process: the workers already running must be stopped here.
    try {
        for (std::size_t part = 1; part < threads; ++part)
            workers_.emplace_back([this, part] { worker_loop(part); });
    } catch (const std::system_error& e) {
        const std::size_t started = workers_.size();
        stop_workers();
        throw ThreadStartError("could not start worker thread " + std::to_string(started + 1) + " of " +
                               std::to_string(threads - 1) + " (" + e.code().message() + "); ask for fewer threads");
    } catch (...) {
        stop_workers();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() noexcept {
    stop_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    for (auto& t : workers_) t.join();
    workers_.clear();
}

void WorkerPool::dispatch(const Job& job) {
    job_ = job;
    pending_.store(job.parts - 1, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();

    job.fn(job.ctx, 0, bound(job, 1));

    // The other parts usually finish within microseconds: look a few times, yielding the
    // core in case a worker waits for it, before sleeping.
    for (int spin = 0; spin < 64; ++spin) {
        if (pending_.load(std::memory_order_acquire) == 0) return;
        std::this_thread::yield();
    }
    for (std::size_t left; (left = pending_.load(std::memory_order_acquire)) != 0;) pending_.wait(left);
}

void WorkerPool::worker_loop(std::size_t part) {
    std::uint64_t seen = 0;
    for (;;) {
        const auto until = std::chrono::steady_clock::now() + SPIN_FOR;
        for (int spin = 1; generation_.load(std::memory_order_acquire) == seen; ++spin) {
            std::this_thread::yield();
            if (spin % 16 == 0 && std::chrono::steady_clock::now() > until) {
                generation_.wait(seen, std::memory_order_acquire);
                break;
            }
        }
        seen = generation_.load(std::memory_order_acquire);
        if (stop_.load(std::memory_order_relaxed)) return;
        const Job job = job_;
        job.fn(job.ctx, bound(job, part), bound(job, part + 1));
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
    }
}

}  // namespace quellor::batch

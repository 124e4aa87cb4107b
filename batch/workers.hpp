// A fixed pool of worker threads that split one job over contiguous parts, the calling thread
// taking the first part. Built once with the batch; every job waits for all of its parts, so
// nothing runs between two calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quellor::batch {

// The system refused a worker thread (too many threads, too little address space for one more
// stack). The pool has stopped and joined the workers it had started by the time this leaves
// its constructor, so the caller may go on, with fewer threads or none.
class ThreadStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class WorkerPool {
public:
    // `threads` >= 1 counts the calling thread: threads - 1 workers are started. Throws
    // ThreadStartError when one cannot be, or std::bad_alloc, with no thread left running.
    explicit WorkerPool(std::size_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const { return workers_.size() + 1; }

    // Calls body(begin, end) over [0, n) split into size() contiguous ranges, one per thread
    // (some empty when n is small), and returns when all are done. `body` must not throw.
    // Every worker takes part in every job, so no worker can still be reading a job when the
    // next one is posted.
    template <class Body>
    void run(std::size_t n, Body&& body) {
        if (size() == 1 || n <= 1) {
            body(std::size_t{0}, n);
            return;
        }
        Job job{&call<Body>, &body, n, size()};
        dispatch(job);
    }

private:
    struct Job {
        void (*fn)(void* ctx, std::size_t begin, std::size_t end);
        void* ctx;
        std::size_t n;
        std::size_t parts;
    };

    template <class Body>
    static void call(void* ctx, std::size_t begin, std::size_t end) {
        (*static_cast<Body*>(ctx))(begin, end);
    }

    static std::size_t bound(const Job& job, std::size_t part) { return job.n * part / job.parts; }

    void dispatch(const Job& job);
    void worker_loop(std::size_t part);
    // Tells every started worker to return, and joins it.
    void stop_workers() noexcept;

    std::vector<std::thread> workers_;
    Job job_{};
    // Bumped once per job; workers wait on it. `stop_` is read after a bump.
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::size_t> pending_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace quellor::batch

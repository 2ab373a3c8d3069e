#include "kernels/thread_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>

namespace kernels {

struct ThreadPool::Loop {
    const std::function<void(std::size_t)>& task;
    std::size_t count;
    std::size_t next = 0;
    std::size_t done = 0;
};

namespace {

// The number of threads of a pool here: the CPUs of the affinity mask, capped
// by a positive CORVANE_THREADS.
unsigned configuredConcurrency() noexcept {
    unsigned cpus = 1;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        cpus = static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
    }
    const char* cap = std::getenv("CORVANE_THREADS");
    unsigned value = 0;
    if (cap != nullptr) {
        const char* end = cap + std::strlen(cap);
        const auto [rest, error] = std::from_chars(cap, end, value);
        if (error == std::errc{} && rest == end && value > 0) {
            cpus = std::min(cpus, value);
        }
    }
    return cpus;
}

}  // namespace

ThreadPool& ThreadPool::shared() {
    // Pools are never destroyed: a worker may still be waiting on one when the
    // process exits, and a parent's pool in a forked child may be locked.
    static std::atomic<ThreadPool*> current{nullptr};
    ThreadPool* pool = current.load(std::memory_order_acquire);
    while (pool == nullptr || pool->owner_ != getpid()) {
        auto* fresh = new ThreadPool(configuredConcurrency());
        if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) {
            return *fresh;
        }
        delete fresh;  // another thread was first; its workers have not started
    }
    return *pool;
}

ThreadPool::ThreadPool(unsigned concurrency) : concurrency_(concurrency), owner_(getpid()) {}

void ThreadPool::startWorkers() {
    started_ = true;
    for (unsigned i = 1; i < concurrency_; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            break;  // fewer workers; the callers still run every task
        }
    }
}

bool ThreadPool::claim(Loop& loop, std::size_t& index) {
    if (loop.next == loop.count) {
        return false;
    }
    index = loop.next++;
    if (loop.next == loop.count) {
        loops_.remove(&loop);
    }
    return true;
}

void ThreadPool::run(Loop& loop, std::size_t index, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    loop.task(index);
    lock.lock();
    if (++loop.done == loop.count) {
        loopDone_.notifyAll();
    }
}

void ThreadPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        tasksWaiting_.wait(lock, [this] { return !loops_.empty(); });
        Loop& loop = *loops_.front();
        std::size_t index = 0;
        claim(loop, index);  // a loop stays listed while it has tasks to claim
        run(loop, index, lock);
    }
}

void ThreadPool::forEach(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (concurrency_ == 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            task(i);
        }
        return;
    }
    Loop loop{task, count};
    std::unique_lock lock(mutex_);
    if (!started_) {
        startWorkers();
    }
    loops_.push_back(&loop);
    tasksWaiting_.notifyAll();
    for (std::size_t index = 0; claim(loop, index);) {
        run(loop, index, lock);
    }
    loopDone_.wait(lock, [&loop] { return loop.done == loop.count; });
}

}  // namespace kernels

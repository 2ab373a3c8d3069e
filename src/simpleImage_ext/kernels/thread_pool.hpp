// One pool of worker threads for the whole process, shared by every caller.
//
// Its size is the number of CPUs the process may run on (its affinity mask),
// capped by the environment variable CORVANE_THREADS when that holds a
// positive number. The caller of a loop always works on it too, so a pool of
// N threads has N - 1 workers, and CORVANE_THREADS=1 starts none. The workers
// start on first use. Several threads may run loops at once: their tasks share
// the workers, and each caller works on its own tasks until all are done.
//
// A child made by fork() gets a pool of its own on first use: the parent's
// workers do not exist in it, and the parent's pool, whose lock one of them
// may have held, is left untouched.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "kernels/condition.hpp"

namespace kernels {

class ThreadPool {
public:
    // The pool of this process.
    static ThreadPool& shared();

    // How many threads run a loop: the workers and the caller.
    unsigned concurrency() const noexcept { return concurrency_; }

    // Runs task(i) for every i below `count` on the workers and the calling
    // thread; returns when all have run. Tasks must not throw.
    void forEach(std::size_t count, const std::function<void(std::size_t)>& task);

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

private:
    struct Loop;

    explicit ThreadPool(unsigned concurrency);
    void startWorkers();
    void work();
    // Claims the next task of `loop` (the lock held); false when none is left.
    bool claim(Loop& loop, std::size_t& index);
    void run(Loop& loop, std::size_t index, std::unique_lock<std::mutex>& lock);

    const unsigned concurrency_;
    const pid_t owner_;
    std::mutex mutex_;
    Condition tasksWaiting_;
    Condition loopDone_;
    std::list<Loop*> loops_;  // loops with tasks not yet claimed, oldest first
    std::vector<std::thread> workers_;
    bool started_ = false;
};

}  // namespace kernels

// A condition variable for std::mutex, waited on with pthread's own wait.
//
// GCC 12's runtime binds std::condition_variable::wait to a new symbol version
// (GLIBCXX_3.4.30) that only systems of glibc 2.35 and later carry, so using it
// would narrow the systems the wheel installs on; pthread_cond_wait has been in
// every glibc. std::mutex is a pthread mutex on the platforms the module
// builds for.
#pragma once

#include <pthread.h>

#include <mutex>

namespace kernels {

class Condition {
public:
    Condition() = default;
    ~Condition() { pthread_cond_destroy(&condition_); }
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Releases the lock while waiting for a notification (or a spurious
    // wake-up) and holds it again on return.
    void wait(std::unique_lock<std::mutex>& lock) noexcept {
        pthread_cond_wait(&condition_, lock.mutex()->native_handle());
    }

    // Waits until ready() holds, the lock held whenever it is asked.
    template <class Ready>
    void wait(std::unique_lock<std::mutex>& lock, Ready ready) {
        while (!ready()) {
            wait(lock);
        }
    }

    void notifyAll() noexcept { pthread_cond_broadcast(&condition_); }

private:
    pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
};

}  // namespace kernels

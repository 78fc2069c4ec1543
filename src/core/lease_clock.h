// The lease of the running core: the last time the application showed it is still there.
#pragma once

#include <chrono>
#include <mutex>

namespace tavrel::core {

class LeaseClock {
 public:
  using Clock = std::chrono::steady_clock;

  LeaseClock() : last_contact_(Clock::now()) {}

  // Sets the lease to now. The time is read before the lock is taken.
  void renew() {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    last_contact_ = now;
  }

  Clock::duration elapsed() const {
    std::lock_guard lock(mutex_);
    return Clock::now() - last_contact_;
  }

 private:
  mutable std::mutex mutex_;
  Clock::time_point last_contact_;
};

}  // namespace tavrel::core

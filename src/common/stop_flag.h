// The one-way stop signal raised by the service control handler (or a console signal) and
// polled by the server.
#pragma once

#include <atomic>

namespace tavrel {

class StopFlag {
 public:
  // Lock-free, so it may be raised from a signal handler.
  void raise() { raised_.store(true); }
  bool raised() const { return raised_.load(); }

 private:
  std::atomic<bool> raised_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace tavrel

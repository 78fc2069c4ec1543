#include "server/sequence_queue.h"

namespace tavrel::server {

SequenceQueue::Ticket SequenceQueue::take() {
  std::lock_guard lock(mutex_);
  return Ticket(this, next_++);
}

void SequenceQueue::settle(std::uint64_t number, std::function<void()> job) {
  std::lock_guard lock(mutex_);
  // The common case, a status or version line giving its ticket back with nothing waiting
  // before it, needs no entry in the map.
  if (!job && number == head_ && settled_.empty()) {
    ++head_;
    return;
  }
  settled_.emplace(number, std::move(job));
  // Posting under the lock keeps the runner's queue in ticket order.
  for (auto it = settled_.begin(); it != settled_.end() && it->first == head_;
       it = settled_.erase(it), ++head_) {
    if (it->second) asio::post(runner_, std::move(it->second));
  }
}

}  // namespace tavrel::server

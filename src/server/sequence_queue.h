// The order in which start and stop requests take effect.
#pragma once

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace tavrel::server {

// Start and stop requests change the core, so they run one at a time on a thread of their
// own, in the order in which their request lines arrived: the last one sent decides what
// runs. Other requests never wait behind them.
//
// Every complete request line takes a ticket at once, before it is decoded (decoding a large
// line takes a while, and a short line behind it must not overtake it). A line that turns out
// not to be a start or a stop gives its ticket back by dropping it; a job waits only for the
// tickets taken before its own.
class SequenceQueue {
 public:
  class Ticket {
   public:
    Ticket(Ticket&& other) noexcept
        : queue_(std::exchange(other.queue_, nullptr)), number_(other.number_) {}
    Ticket& operator=(Ticket&&) = delete;
    ~Ticket() {
      if (queue_ != nullptr) queue_->settle(number_, {});
    }

   private:
    friend class SequenceQueue;
    Ticket(SequenceQueue* queue, std::uint64_t number) : queue_(queue), number_(number) {}

    SequenceQueue* queue_;
    std::uint64_t number_;
  };

  // `runner` has a single thread; jobs run there in ticket order.
  explicit SequenceQueue(asio::thread_pool& runner) : runner_(runner) {}
  SequenceQueue(const SequenceQueue&) = delete;
  SequenceQueue& operator=(const SequenceQueue&) = delete;

  Ticket take();

  // Runs `job` once every earlier ticket has been dropped or has had its job run.
  template <class Job>
  void run(Ticket ticket, Job job) {
    auto shared = std::make_shared<Job>(std::move(job));  // it may own a socket: not copyable
    settle(ticket.number_, [shared] { (*shared)(); });
    ticket.queue_ = nullptr;
  }

 private:
  void settle(std::uint64_t number, std::function<void()> job);

  asio::thread_pool& runner_;
  std::mutex mutex_;
  std::uint64_t next_ = 0;  // the next ticket handed out
  std::uint64_t head_ = 0;  // the earliest ticket not yet settled and passed on
  // Settled tickets waiting for an earlier one; an empty job is a ticket given back.
  std::map<std::uint64_t, std::function<void()>> settled_;
};

}  // namespace tavrel::server

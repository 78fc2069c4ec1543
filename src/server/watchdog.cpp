#include "server/watchdog.h"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <memory>

#include "files/service_log.h"

namespace tavrel::server {

asio::awaitable<void> lease_watchdog(SharedState state, SequenceQueue& sequence,
                                     std::chrono::milliseconds check_period,
                                     std::chrono::milliseconds timeout) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  // Set while a stop handed over has not run yet, so that a slow one is not handed over twice.
  auto stop_pending = std::make_shared<std::atomic<bool>>(false);
  for (;;) {
    timer.expires_after(check_period);
    co_await timer.async_wait(asio::use_awaitable);
    if (stop_pending->load() || !core::core_status(state->core)) continue;
    if (state->last_contact.elapsed() <= timeout) continue;
    stop_pending->store(true);
    // Decided again when its turn comes: a start queued before it may have renewed the lease
    // for a core of its own.
    sequence.run(sequence.take(), [state, stop_pending, timeout] {
      if (core::core_status(state->core) && state->last_contact.elapsed() > timeout) {
        files::log_line("lease expired (app gone?), stopping core");
        core::stop_core(state->core);
      }
      stop_pending->store(false);
    });
  }
}

}  // namespace tavrel::server

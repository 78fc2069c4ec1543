#include "server/watchdog.h"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "files/service_log.h"

namespace tavrel::server {

asio::awaitable<void> lease_watchdog(SharedState state, std::chrono::milliseconds check_period,
                                     std::chrono::milliseconds timeout) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    timer.expires_after(check_period);
    co_await timer.async_wait(asio::use_awaitable);
    if (!core::core_status(state->core)) continue;
    // The decision uses this reading; a renewal landing after it does not save the core.
    if (state->last_contact.elapsed() > timeout) {
      files::log_line("lease expired (app gone?), stopping core");
      core::stop_core(state->core);
    }
  }
}

}  // namespace tavrel::server

// Stops a running core whose application has gone quiet.
#pragma once

#include <asio/awaitable.hpp>

#include "server/options.h"
#include "server/service_state.h"

namespace tavrel::server {

// Every lease_check_period: when a core runs and the lease is strictly older than
// lease_timeout, logs the expiry and stops the core. Never ends by itself.
asio::awaitable<void> lease_watchdog(SharedState state, std::chrono::milliseconds check_period,
                                     std::chrono::milliseconds timeout);

}  // namespace tavrel::server

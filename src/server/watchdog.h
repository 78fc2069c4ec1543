// Stops a running core whose application has gone quiet.
#pragma once

#include <asio/awaitable.hpp>

#include "server/options.h"
#include "server/sequence_queue.h"
#include "server/service_state.h"

namespace tavrel::server {

// Every lease_check_period: when a core runs and the lease is strictly older than
// lease_timeout, hands the stop to `sequence`, where starts and stops run, so that no event
// loop thread waits through a core's grace period. There it logs the expiry and stops the core,
// unless a start or a renewal came first. Never ends by itself.
asio::awaitable<void> lease_watchdog(SharedState state, SequenceQueue& sequence,
                                     std::chrono::milliseconds check_period,
                                     std::chrono::milliseconds timeout);

}  // namespace tavrel::server

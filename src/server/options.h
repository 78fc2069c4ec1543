// Fixed constants of the server, and the internal seam through which tests shorten them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "core/core_process.h"
#include "core/singbox.h"
#include "protocol/protocol.h"

namespace tavrel::server {

using namespace std::chrono_literals;

// The port and the request line limit are the protocol's own.
using protocol::CONTROL_PORT;
using protocol::MAX_REQUEST_LINE;
inline constexpr std::chrono::milliseconds STOP_POLL_INTERVAL = 200ms;
inline constexpr int BIND_RETRY_ROUNDS = 25;
inline constexpr std::chrono::milliseconds ACCEPT_ERROR_PAUSE = 200ms;
inline constexpr std::chrono::seconds LEASE_CHECK_PERIOD = 5s;
inline constexpr std::chrono::seconds LEASE_TIMEOUT = 90s;
inline constexpr std::chrono::seconds READ_DEADLINE = 10s;
// At most this many connections are open at once; more wait in the listen backlog.
inline constexpr std::size_t MAX_OPEN_CONNECTIONS = 64;
inline constexpr int LISTEN_BACKLOG = 128;
inline constexpr int EVENT_LOOP_THREADS = 2;
inline constexpr int BLOCKING_POOL_THREADS = 16;
// The longest a server stop takes once the flag is raised: the core stopped by the server and
// one that a start past its check launched meanwhile, each through its whole grace period and
// the end of its tree and output, and the noticing of the flag.
inline constexpr std::chrono::milliseconds LONGEST_STOP =
    2 * (core::STOP_GRACE + core::TREE_END_WAIT + 1s) + STOP_POLL_INTERVAL;

// The shipped program always runs with the defaults; only tests change them.
struct ServerOptions {
  std::uint16_t port = CONTROL_PORT;  // 0 picks an ephemeral port (tests)
  std::chrono::milliseconds stop_poll = STOP_POLL_INTERVAL;
  std::chrono::milliseconds accept_error_pause = ACCEPT_ERROR_PAUSE;
  std::chrono::milliseconds lease_check_period = LEASE_CHECK_PERIOD;
  std::chrono::milliseconds lease_timeout = LEASE_TIMEOUT;
  std::chrono::milliseconds read_deadline = READ_DEADLINE;
  std::size_t max_open_connections = MAX_OPEN_CONNECTIONS;
  core::CoreTimings core_timings{};
  std::chrono::milliseconds check_time_limit = core::CHECK_TIME_LIMIT;
  // Told the bound port once the server listens (tests use it with port 0).
  std::function<void(std::uint16_t)> on_listening;
};

}  // namespace tavrel::server

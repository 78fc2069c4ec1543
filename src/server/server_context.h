// What the tasks of one server run share besides ServiceState: the event loop, the pool
// for blocking work and the timings.
#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include "server/options.h"

namespace tavrel::server {

struct ServerContext {
  asio::io_context& io;          // 2 worker threads: accept loop, watchdog, connections
  asio::thread_pool& blocking;   // request handlers
  const ServerOptions& options;
};

}  // namespace tavrel::server

// What the tasks of one server run share besides ServiceState: the event loop, the pool
// for blocking work, the queue of start and stop requests and the timings.
#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include "server/options.h"
#include "server/sequence_queue.h"

namespace tavrel::server {

struct ServerContext {
  asio::io_context& io;          // 2 worker threads: accept loop, watchdog, connections
  asio::thread_pool& blocking;   // request handlers other than start and stop
  const ServerOptions& options;
  SequenceQueue& sequence;       // start and stop, one at a time
};

}  // namespace tavrel::server

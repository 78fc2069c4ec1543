// The long-running server: start-up, the event loop and its tasks, and the stop.
#pragma once

#include <functional>
#include <memory>

#include "common/stop_flag.h"
#include "server/options.h"

namespace tavrel::server {

// Runs the whole server on the calling thread until `stop` is raised (or start-up fails,
// which it logs itself), then stops the core and shuts the event loop down. False when
// start-up failed. `running` is called once the token file is written, from then on a client
// can reach the server (it may still be waiting for the port).
bool run_server(std::shared_ptr<StopFlag> stop, const std::function<void()>& running = {});

// The same with other timings or port; only tests use it.
bool run_server(std::shared_ptr<StopFlag> stop, const ServerOptions& options,
                const std::function<void()>& running = {});

}  // namespace tavrel::server

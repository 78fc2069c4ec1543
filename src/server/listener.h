// The control port: binding it with retries, and the accept loop.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <optional>

#include "common/stop_flag.h"
#include "server/server_context.h"
#include "server/service_state.h"

namespace tavrel::server {

// Binds 127.0.0.1:port. Each failed attempt is logged and retried after 25 stop polls;
// returns nothing when `stop` is seen raised while waiting.
std::optional<asio::ip::tcp::acceptor> bind_listener(ServerContext& context, const StopFlag& stop);

// Accepts connections for ever, each served by its own handle_connection task.
asio::awaitable<void> accept_loop(asio::ip::tcp::acceptor listener, SharedState state, ServerContext& context);

}  // namespace tavrel::server

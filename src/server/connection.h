// One connection: one request line in, one response line out.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include "server/server_context.h"
#include "server/service_state.h"

namespace tavrel::server {

// Reads one line under the read deadline, decodes it, checks the token, runs the request on
// the blocking pool, writes the response line and closes. Never fails to its caller.
asio::awaitable<void> handle_connection(asio::ip::tcp::socket socket, SharedState state, ServerContext& context);

}  // namespace tavrel::server

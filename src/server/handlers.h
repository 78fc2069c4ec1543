// Where a decoded request becomes a response.
#pragma once

#include "protocol/protocol.h"
#include "server/service_state.h"

namespace tavrel::server {

// Runs on a blocking worker thread; always produces a response.
protocol::Response handle_request(protocol::Request request, SharedState state);

}  // namespace tavrel::server

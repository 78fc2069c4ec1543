// One connection: one request line in, one response line out.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstddef>
#include <memory>

#include "server/server_context.h"
#include "server/service_state.h"

namespace tavrel::server {

// Counts a connection as open for as long as it is held; it travels with the socket.
class ConnectionTicket {
 public:
  ConnectionTicket() = default;
  explicit ConnectionTicket(std::shared_ptr<std::atomic<std::size_t>> open) : open_(std::move(open)) { ++*open_; }
  ConnectionTicket(ConnectionTicket&&) noexcept = default;
  ConnectionTicket& operator=(ConnectionTicket&&) = delete;
  ~ConnectionTicket() {
    if (open_) --*open_;
  }

 private:
  std::shared_ptr<std::atomic<std::size_t>> open_;
};

// Reads one line under the read deadline, decodes it, checks the token, runs the request on
// the blocking pool (start and stop in their turn, on the sequence thread), writes the
// response line and closes. Never fails to its caller. The task may end before the
// connection does: the pool then finishes it.
asio::awaitable<void> handle_connection(asio::ip::tcp::socket socket, SharedState state, ServerContext& context,
                                        ConnectionTicket ticket);

}  // namespace tavrel::server

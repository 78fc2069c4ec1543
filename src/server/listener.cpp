#include "server/listener.h"

#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <thread>

#include "files/service_log.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "server/connection.h"

namespace tavrel::server {
namespace {

// Creates, binds and listens. A port held by another program is a failure, never shared.
asio::error_code try_bind(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint) {
  asio::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) {
    platform::make_socket_uninheritable(acceptor.native_handle());
    if (const int err = platform::set_listener_address_options(acceptor.native_handle()); err != 0) {
      ec = asio::error_code(err, asio::system_category());
    }
  }
  if (!ec) acceptor.non_blocking(true, ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(LISTEN_BACKLOG, ec);
  if (ec) {
    asio::error_code ignored;
    acceptor.close(ignored);
  }
  return ec;
}

}  // namespace

std::optional<asio::ip::tcp::acceptor> bind_listener(ServerContext& context, const StopFlag& stop) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), context.options.port);
  for (;;) {
    asio::ip::tcp::acceptor acceptor(context.io);
    const asio::error_code ec = try_bind(acceptor, endpoint);
    if (!ec) return acceptor;
    files::log_line("bind 127.0.0.1:" + std::to_string(context.options.port) +
                    " failed: " + platform::system_error_text(ec.value()) + "; retrying");
    for (int round = 0; round < BIND_RETRY_ROUNDS; ++round) {
      if (stop.raised()) return std::nullopt;
      std::this_thread::sleep_for(context.options.stop_poll);
    }
  }
}

asio::awaitable<void> accept_loop(asio::ip::tcp::acceptor listener, SharedState state, ServerContext& context) {
  auto open = std::make_shared<std::atomic<std::size_t>>(0);
  const auto executor = co_await asio::this_coro::executor;
  asio::steady_timer pause(executor);
  for (;;) {
    // A local user must not be able to make this service hold unbounded memory: past the
    // limit, new clients wait in the listen backlog until a connection ends.
    while (open->load() >= context.options.max_open_connections) {
      pause.expires_after(std::chrono::milliseconds(5));
      co_await pause.async_wait(asio::use_awaitable);
    }
    asio::ip::tcp::socket socket(executor);
    const asio::error_code ec = co_await platform::accept_connection(listener, socket);
    if (ec) {
      files::log_line("accept error: " + platform::system_error_text(ec.value()));
      pause.expires_after(context.options.accept_error_pause);
      co_await pause.async_wait(asio::use_awaitable);
      continue;
    }
    asio::co_spawn(executor, handle_connection(std::move(socket), state, context, ConnectionTicket(open)),
                   asio::detached);
  }
}

}  // namespace tavrel::server

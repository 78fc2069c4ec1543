#include "server/connection.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <exception>
#include <optional>
#include <string>

#include "common/text.h"
#include "protocol/protocol.h"
#include "server/handlers.h"

namespace tavrel::server {
namespace {

using namespace asio::experimental::awaitable_operators;

constexpr std::string_view READ_TIMEOUT = "读取请求超时";
constexpr std::string_view BAD_FORMAT = "请求格式错误: ";
constexpr std::string_view TOKEN_MISMATCH = "token 不匹配";
constexpr std::string_view INTERNAL = "internal: ";
constexpr std::size_t READ_CHUNK = 64 * 1024;

// Reads up to and including the first line feed, to the end of the stream, or to the size
// limit. Nothing when a read fails.
asio::awaitable<std::optional<std::string>> read_line(asio::ip::tcp::socket& socket) {
  std::string line;
  while (line.size() < MAX_REQUEST_LINE) {
    const std::size_t old_size = line.size();
    line.resize(old_size + std::min(READ_CHUNK, MAX_REQUEST_LINE - old_size));
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(line.data() + old_size, line.size() - old_size),
                                                   asio::experimental::as_tuple(asio::use_awaitable));
    line.resize(old_size + n);
    const std::size_t feed = line.find('\n', old_size);
    if (feed != std::string::npos) {
      line.resize(feed + 1);
      co_return line;
    }
    if (ec == asio::error::eof) co_return line;
    if (ec) co_return std::nullopt;
  }
  co_return line;
}

asio::awaitable<void> read_deadline(asio::steady_timer& timer) {
  co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
}

std::string describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return std::string("handler failed: ") + e.what();
  } catch (...) {
    return "handler failed";
  }
}

asio::awaitable<protocol::Response> handle_on_pool(protocol::Request request, SharedState state) {
  co_return handle_request(std::move(request), std::move(state));
}

// Runs the request on the blocking pool; the event-loop thread only waits. (A plain
// coroutine function rather than a capturing lambda: its arguments live in its own frame.)
asio::awaitable<protocol::Response> run_handler(protocol::Request request, SharedState state, ServerContext& context) {
  auto [failure, response] =
      co_await asio::co_spawn(context.blocking, handle_on_pool(std::move(request), std::move(state)),
                              asio::experimental::as_tuple(asio::use_awaitable));
  if (failure) co_return protocol::Response::failure(std::string(INTERNAL) + describe(failure));
  co_return response;
}

asio::awaitable<protocol::Response> answer(asio::ip::tcp::socket& socket, SharedState state, ServerContext& context) {
  asio::steady_timer deadline(socket.get_executor(), context.options.read_deadline);
  auto read = co_await (read_line(socket) || read_deadline(deadline));
  if (read.index() != 0) co_return protocol::Response::failure(std::string(READ_TIMEOUT));
  std::optional<std::string> line = std::get<0>(std::move(read));
  if (!line || !text::is_valid_utf8(*line)) co_return protocol::Response::failure(std::string(READ_TIMEOUT));

  auto envelope = protocol::decode_envelope(*line);
  line.reset();
  if (!envelope) co_return protocol::Response::failure(std::string(BAD_FORMAT) + envelope.error().message());
  if (envelope->token != state->token) co_return protocol::Response::failure(std::string(TOKEN_MISMATCH));
  co_return co_await run_handler(std::move(envelope->req), std::move(state), context);
}

}  // namespace

asio::awaitable<void> handle_connection(asio::ip::tcp::socket socket, SharedState state, ServerContext& context) {
  const std::string reply = protocol::encode_response(co_await answer(socket, std::move(state), context));
  // The client may be gone: write and shutdown failures are ignored.
  co_await asio::async_write(socket, asio::buffer(reply), asio::experimental::as_tuple(asio::use_awaitable));
  asio::error_code ignored;
  socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
}

}  // namespace tavrel::server

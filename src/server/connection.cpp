#include "server/connection.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "common/text.h"
#include "protocol/protocol.h"
#include "server/handlers.h"

namespace tavrel::server {
namespace {

constexpr std::string_view READ_TIMEOUT = "读取请求超时";
constexpr std::string_view BAD_FORMAT = "请求格式错误: ";
constexpr std::string_view TOKEN_MISMATCH = "token 不匹配";
constexpr std::string_view INTERNAL = "internal: ";
constexpr std::size_t FIRST_READ = 4 * 1024;
constexpr std::size_t READ_CHUNK = 64 * 1024;
constexpr std::chrono::seconds LINGER = 1s;

struct ReadResult {
  bool timed_out = false;
  asio::error_code ec;
  std::size_t size = 0;
};

// One read racing `deadline`; the loser is cancelled.
asio::awaitable<ReadResult> read_before(asio::ip::tcp::socket& socket, asio::mutable_buffer buffer,
                                        asio::steady_timer& deadline) {
  auto [order, ec, size, expired] =
      co_await asio::experimental::make_parallel_group(socket.async_read_some(buffer, asio::experimental::deferred),
                                                       deadline.async_wait(asio::experimental::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  co_return ReadResult{order[0] == 1, ec, size};
}

struct RequestLine {
  std::optional<std::string> text;  // nothing when a read failed or the deadline passed
  bool unread = false;              // cut short by the size limit or the deadline
};

// Reads up to and including the first line feed, to the end of the stream, or to the size
// limit. The buffer grows with the line, so a short request costs a small one.
asio::awaitable<RequestLine> read_line(asio::ip::tcp::socket& socket, asio::steady_timer& deadline) {
  std::string line;
  while (line.size() < MAX_REQUEST_LINE) {
    const std::size_t old_size = line.size();
    const std::size_t chunk = std::clamp(old_size, FIRST_READ, READ_CHUNK);
    line.resize(old_size + std::min(chunk, MAX_REQUEST_LINE - old_size));
    const ReadResult read =
        co_await read_before(socket, asio::buffer(line.data() + old_size, line.size() - old_size), deadline);
    if (read.timed_out) co_return RequestLine{std::nullopt, true};
    line.resize(old_size + read.size);
    const std::size_t feed = line.find('\n', old_size);
    if (feed != std::string::npos) {
      line.resize(feed + 1);
      co_return RequestLine{std::move(line)};
    }
    if (read.ec == asio::error::eof) co_return RequestLine{std::move(line)};
    if (read.ec) co_return RequestLine{};
  }
  co_return RequestLine{std::move(line), true};
}

// Reads and drops whatever the client still sends, until it closes or the time is up.
asio::awaitable<void> drain(asio::ip::tcp::socket& socket) {
  asio::steady_timer linger(socket.get_executor(), LINGER);
  char sink[4096];
  for (;;) {
    const ReadResult read = co_await read_before(socket, asio::buffer(sink), linger);
    if (read.timed_out || read.ec) co_return;
  }
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

// `unread` is set when the client may still be sending.
asio::awaitable<protocol::Response> answer(asio::ip::tcp::socket& socket, SharedState state, ServerContext& context,
                                           bool& unread) {
  asio::steady_timer deadline(socket.get_executor(), context.options.read_deadline);
  RequestLine line = co_await read_line(socket, deadline);
  unread = line.unread;
  if (!line.text || !text::is_valid_utf8(*line.text)) co_return protocol::Response::failure(std::string(READ_TIMEOUT));

  auto envelope = protocol::decode_envelope(*line.text);
  line.text.reset();
  if (!envelope) co_return protocol::Response::failure(std::string(BAD_FORMAT) + envelope.error().message());
  if (envelope->token != state->token) co_return protocol::Response::failure(std::string(TOKEN_MISMATCH));
  co_return co_await run_handler(std::move(envelope->req), std::move(state), context);
}

}  // namespace

asio::awaitable<void> handle_connection(asio::ip::tcp::socket socket, SharedState state, ServerContext& context) {
  bool unread = false;
  const std::string reply = protocol::encode_response(co_await answer(socket, std::move(state), context, unread));
  // The client may be gone: write and shutdown failures are ignored.
  co_await asio::async_write(socket, asio::buffer(reply), asio::experimental::as_tuple(asio::use_awaitable));
  asio::error_code ignored;
  socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  // Closing with unread input (the rest of an over-long line, a second line) resets the
  // connection, and on Windows a reset discards the response the client has not read yet.
  if (unread || socket.available(ignored) > 0) co_await drain(socket);
  socket.close(ignored);
}

}  // namespace tavrel::server

#include "server/connection.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <variant>

#include "common/text.h"
#include "platform/socket.h"
#include "protocol/protocol.h"
#include "server/handlers.h"

namespace tavrel::server {
namespace {

constexpr std::string_view READ_TIMEOUT = "读取请求超时";
constexpr std::string_view BAD_FORMAT = "请求格式错误: ";
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

// Writes the response line, shuts down the sending side and closes. The client may be gone:
// write and shutdown failures are ignored.
asio::awaitable<void> finish(asio::ip::tcp::socket socket, std::string reply, bool unread, ConnectionTicket) {
  co_await asio::async_write(socket, asio::buffer(reply), asio::experimental::as_tuple(asio::use_awaitable));
  asio::error_code ignored;
  socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  // Closing with unread input (the rest of an over-long line, a second line) resets the
  // connection, and on Windows a reset discards the response the client has not read yet.
  if (unread || socket.available(ignored) > 0) co_await drain(socket);
  socket.close(ignored);
}

asio::awaitable<void> drain_and_close(asio::ip::tcp::socket socket, ConnectionTicket) {
  co_await drain(socket);
  asio::error_code ignored;
  socket.close(ignored);
}

// Ends the connection on the pool thread that produced the reply, as finish does: a response
// line almost always fits the socket's send buffer, so the common case needs no trip back to
// the event loop. Whatever would have to wait goes back to it.
void finish_on_pool(asio::ip::tcp::socket socket, std::string reply, bool unread, ConnectionTicket ticket) {
  // Sent by the system call alone: the socket has been non-blocking since its accept.
  const platform::Sent now = platform::send_now(socket.native_handle(), reply.data(), reply.size());
  asio::error_code ec(now.error, asio::system_category());
  const std::size_t sent = now.bytes;
  const auto executor = socket.get_executor();
  if (!ec && sent == reply.size()) {
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    if (unread || socket.available(ec) > 0 || ec) {
      asio::co_spawn(executor, drain_and_close(std::move(socket), std::move(ticket)), asio::detached);
    } else {
      socket.close(ec);
    }
  } else if (ec) {
    socket.close(ec);
  } else {
    reply.erase(0, sent);
    asio::co_spawn(executor, finish(std::move(socket), std::move(reply), unread, std::move(ticket)), asio::detached);
  }
}

// A job that makes the response on the pool thread it runs on, then answers and ends the
// connection there.
template <class MakeResponse>
auto answering(asio::ip::tcp::socket socket, bool unread, ConnectionTicket ticket, MakeResponse make) {
  return [socket = std::move(socket), unread, ticket = std::move(ticket), make = std::move(make)]() mutable {
    protocol::Response response;
    try {
      response = make();
    } catch (const std::exception& e) {
      response = protocol::Response::failure(std::string(INTERNAL) + "handler failed: " + e.what());
    } catch (...) {
      response = protocol::Response::failure(std::string(INTERNAL) + "handler failed");
    }
    finish_on_pool(std::move(socket), protocol::encode_response(response), unread, std::move(ticket));
  };
}

// A start waits for its turn as text and is decoded in full only when it runs: a decoded
// configuration can take many times the bytes of its text.
protocol::Response start_in_turn(std::string line, SharedState state) {
  auto envelope = protocol::decode_envelope(line);
  std::string().swap(line);
  if (!envelope) return protocol::Response::failure(std::string(BAD_FORMAT) + envelope.error().message());
  return handle_request(std::move(envelope->req), std::move(state));
}

// Decodes and checks the line and hands the request on, socket and all; the failure to reply
// when it was not handed on. Never waits, so the line's turn is settled when it returns.
std::optional<std::string> dispatch(std::optional<std::string>& line, asio::ip::tcp::socket& socket, SharedState& state,
                                    bool unread, ServerContext& context, ConnectionTicket& ticket) {
  SequenceQueue::Ticket turn = context.sequence.take();
  if (!line || !text::is_valid_utf8(*line)) return std::string(READ_TIMEOUT);
  auto envelope = protocol::decode_envelope_shallow(*line);
  if (!envelope) return std::string(BAD_FORMAT) + envelope.error().message();
  if (envelope->token != state->token) return std::string(protocol::TOKEN_MISMATCH);

  if (std::holds_alternative<protocol::Request::Start>(envelope->req.kind)) {
    context.sequence.run(std::move(turn), answering(std::move(socket), unread, std::move(ticket),
                                                    [text = std::move(*line), state = std::move(state)]() mutable {
                                                      return start_in_turn(std::move(text), std::move(state));
                                                    }));
    return std::nullopt;
  }
  const bool stop = std::holds_alternative<protocol::Request::Stop>(envelope->req.kind);
  line.reset();
  auto job = answering(std::move(socket), unread, std::move(ticket),
                       [request = std::move(envelope->req), state = std::move(state)]() mutable {
                         return handle_request(std::move(request), std::move(state));
                       });
  if (stop) {
    context.sequence.run(std::move(turn), std::move(job));
  } else {
    asio::post(context.blocking, std::move(job));
  }
  return std::nullopt;
}

}  // namespace

asio::awaitable<void> handle_connection(asio::ip::tcp::socket socket, SharedState state, ServerContext& context,
                                        ConnectionTicket ticket) {
  asio::steady_timer deadline(socket.get_executor(), context.options.read_deadline);
  RequestLine line = co_await read_line(socket, deadline);
  std::optional<std::string> failure = dispatch(line.text, socket, state, line.unread, context, ticket);
  if (!failure) co_return;
  line.text.reset();
  co_await finish(std::move(socket), protocol::encode_response(protocol::Response::failure(std::move(*failure))),
                  line.unread, std::move(ticket));
}

}  // namespace tavrel::server

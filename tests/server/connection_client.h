// Helpers for the tests that talk to the control port over TCP: a client whose every wait
// has a limit, the server run in-process on an ephemeral port or as the built program, and
// the request and response lines they exchange.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/stop_flag.h"
#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "server/options.h"
#include "server/server.h"
#include "support/test_support.h"

namespace tavrel::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Polls `done` every 10 ms until it holds or `limit` has passed; whether it held.
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

inline std::string request_line(std::string_view token, std::string_view req) {
  return std::string(R"({"token":")") + std::string(token) + R"(","req":)" + std::string(req) + "}\n";
}

inline std::string failure_line(std::string_view message) {
  return std::string(R"({"ok":false,"error":")") + std::string(message) + "\"}\n";
}

// A path as it appears inside a JSON string of a response.
inline std::string json_text(const platform::Path& path) {
  std::string out;
  for (const char c : platform::to_utf8(path)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// One client connection on its own event loop, driven from the calling thread.
class Client {
 public:
  struct Received {
    std::string bytes;
    bool ended = false;      // the end of the stream was seen
    bool timed_out = false;  // the limit passed first
  };

  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connect(std::uint16_t port, std::chrono::milliseconds limit = 10s,
               const asio::ip::address& address = asio::ip::address_v4::loopback()) {
    asio::error_code result = asio::error::would_block;
    socket_.async_connect({address, port}, [&](asio::error_code ec) { result = ec; });
    run(limit, [&] { return result != asio::error::would_block; });
    return !result;
  }

  // Writes all of `bytes`; false when that failed or did not finish within `limit`.
  bool send(std::string_view bytes, std::chrono::milliseconds limit = 10s) {
    std::optional<asio::error_code> result;
    asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
                      [&](asio::error_code ec, std::size_t) { result = ec; });
    run(limit, [&] { return result.has_value(); });
    return result && !*result;
  }

  void shutdown_send() {
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  }

  void close() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  // Reads until the end of the stream, a failure or the limit.
  Received read_to_end(std::chrono::milliseconds limit = 10s) {
    Received received;
    bool finished = false;
    std::vector<char> chunk(64 * 1024);
    std::function<void()> next = [&] {
      socket_.async_read_some(asio::buffer(chunk), [&](asio::error_code ec, std::size_t n) {
        received.bytes.append(chunk.data(), n);
        if (!ec) return next();
        received.ended = ec == asio::error::eof;
        finished = true;
      });
    };
    next();
    received.timed_out = !run(limit, [&] { return finished; });
    return received;
  }

 private:
  // Runs the loop until `done` or the limit; a pending operation is then cancelled.
  bool run(std::chrono::milliseconds limit, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + limit;
    io_.restart();
    while (!done() && Clock::now() < deadline) {
      if (io_.run_one_until(deadline) == 0 && io_.stopped()) break;
    }
    if (done()) return true;
    asio::error_code ignored;
    socket_.cancel(ignored);
    io_.restart();
    io_.run();  // the cancelled operations complete at once
    return false;
  }

  asio::io_context io_;
  asio::ip::tcp::socket socket_{io_};
};

// Connects, sends `bytes`, optionally shuts down its sending side, and reads to the end.
inline Client::Received round_trip(std::uint16_t port, std::string_view bytes, bool half_close = false,
                                 std::chrono::milliseconds limit = 10s) {
  Client client;
  if (!client.connect(port, limit)) return {};
  client.send(bytes, limit);
  if (half_close) client.shutdown_send();
  return client.read_to_end(limit);
}

// A service directory whose path holds spaces and Chinese characters, named by
// TAVREL_SERVICE_DIR while the object lives, with the stand-in core installed as sing-box.
class ServiceDirFixture {
 public:
  ServiceDirFixture() : temp_("conn 服务 目录") {
    dir_ = platform::join(temp_.path(), "service dir 服务");
    (void)platform::create_directories(dir_);
    (void)platform::copy_file(helper_program("fake-core"), platform::join(dir_, platform::CORE_EXE_NAME));
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir_));
  }
  ~ServiceDirFixture() { platform::unset_env(files::SERVICE_DIR_VARIABLE); }

  const platform::Path& dir() const { return dir_; }
  std::string log() const { return read_file(platform::join(dir_, files::SERVICE_LOG_FILE)); }
  std::string token() const { return read_file(platform::join(dir_, files::TOKEN_FILE)); }

 private:
  TempDir temp_;
  platform::Path dir_;
};

// How often `text` occurs in `log` (a text ending in a line feed matches only at a line's end).
inline std::size_t count_lines(const std::string& log, std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

// A status request padded with an unknown key to exactly `size` bytes, line feed included;
// with a `cut` offset, the padding is Chinese text aligned so that the byte at offset `cut` is
// the second byte of a character.
inline std::string padded_status(std::string_view token, std::size_t size, std::size_t cut = 0) {
  const std::string head = R"({"token":")" + std::string(token) + R"(","req":{"cmd":"status","pad":")";
  const std::string tail = "\"}}\n";
  std::string line = head;
  line.reserve(size);
  if (cut > 0) {
    while ((cut - line.size()) % 3 != 1) line += 'a';
    while (line.size() + 3 + tail.size() <= size) line += "中";
  }
  line.append(size - line.size() - tail.size(), 'a');
  return line + tail;
}

inline server::ServerOptions fast_options() {
  server::ServerOptions options;
  options.port = 0;
  options.stop_poll = 20ms;
  options.read_deadline = 500ms;
  return options;
}

// run_server on a thread of its own with the given options; stopped by the destructor.
class InProcessServer {
 public:
  explicit InProcessServer(server::ServerOptions options = fast_options()) : options_(std::move(options)) {
    auto told = std::make_shared<std::promise<std::uint16_t>>();
    port_future_ = told->get_future();
    options_.on_listening = [told](std::uint16_t port) { told->set_value(port); };
    thread_ = std::thread([this] {
      server::run_server(flag_, options_);
      ended_ = Clock::now();
    });
  }
  ~InProcessServer() { stop(); }
  InProcessServer(const InProcessServer&) = delete;
  InProcessServer& operator=(const InProcessServer&) = delete;

  // The bound port once the server listens; 0 when it does not within `limit`.
  std::uint16_t port(std::chrono::milliseconds limit = 10s) {
    if (!port_) {
      if (port_future_.wait_for(limit) != std::future_status::ready) return 0;
      port_ = port_future_.get();
    }
    return *port_;
  }

  // Raises the stop flag and waits for run_server to return; the time from the raise to
  // the return.
  std::chrono::milliseconds stop() {
    if (!thread_.joinable()) return 0ms;
    const auto raised = Clock::now();
    flag_->raise(StopCause::ServiceStop);
    thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(ended_ - raised);
  }

 private:
  server::ServerOptions options_;
  std::shared_ptr<StopFlag> flag_ = std::make_shared<StopFlag>();
  std::future<std::uint16_t> port_future_;
  std::optional<std::uint16_t> port_;
  Clock::time_point ended_;
  std::thread thread_;
};

// The built program, run with `run` on the fixed control port; ended by the destructor.
class ProgramServer {
 public:
  explicit ProgramServer(const ServiceDirFixture& dir) : dir_(dir) {
    auto out = platform::open_output_file(platform::join(dir.dir(), "console.txt"));
    if (!out) return;
    auto started = platform::spawn(service_program(), {platform::Path("run")}, out.value(), out.value());
    if (!started) return;
    process_ = std::move(started).value();
    running_ = true;
  }
  ~ProgramServer() {
    if (running_) {
      process_.terminate();
      (void)process_.wait();
    }
  }
  ProgramServer(const ProgramServer&) = delete;
  ProgramServer& operator=(const ProgramServer&) = delete;

  // Whether the listening line appeared within `limit` while the program kept running.
  bool listening(std::chrono::milliseconds limit = 30s) {
    return running_ && wait_until(
                           [&] {
                             auto exited = process_.has_exited();
                             if (!exited || exited.value()) return true;
                             return count_lines(dir_.log(), "listening on 127.0.0.1:17895") > 0;
                           },
                           limit) &&
           count_lines(dir_.log(), "listening on 127.0.0.1:17895") > 0;
  }

  platform::Process& process() { return process_; }

 private:
  const ServiceDirFixture& dir_;
  platform::Process process_;
  bool running_ = false;
};

}  // namespace tavrel::testing

// Shared by the tests of the request handlers, the lease watchdog and the start sequence: a
// service directory with the stand-in core, a ServiceState on it, a way to tell whether a
// core process is still alive, and a small control-port client.
#pragma once

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "common/stop_flag.h"
#include "core/core_process.h"
#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "server/options.h"
#include "server/server.h"
#include "server/service_state.h"
#include "support/test_support.h"

namespace tavrel::server::fixture {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

// Wine, under which the Windows build's tests run, does not deliver Ctrl-Break: there a stop
// ends the stand-in core only after its grace period, and logs why it could not ask first.
inline const bool STOP_MAY_GO_UNHEARD = platform::SERVICE_EXE_NAME.ends_with(".exe");

// A stop that never needs its grace period where the stand-in core hears it: it ends at once.
inline core::CoreTimings fast_core_timings() {
  return {.stop_grace = STOP_MAY_GO_UNHEARD ? 300ms : 3s, .stop_poll = 10ms};
}

// Polls `done` every 10 ms until it holds or `limit` has passed; whether it held.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// `text` as a JSON string literal of a response line.
inline std::string json_quoted(std::string_view text) { return json(std::string(text)).dump(); }

// The line after the timestamp ("YYYY-MM-DD HH:MM:SS ") of each service log line.
inline std::vector<std::string> log_messages(const std::string& log) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < log.size()) {
    std::size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    out.push_back(line.size() > 20 ? line.substr(20) : line);
    at = end + 1;
  }
  return out;
}

// A core process that connected back to the test (the stand-in's run_connect_port): its
// process id, and its end seen as the end of the connection.
class CoreLink {
 public:
  CoreLink(asio::ip::tcp::socket socket, std::uint32_t pid) : socket_(std::move(socket)), pid_(pid) {}

  std::uint32_t pid() const { return pid_; }

  // Whether the process ended within `limit`. (Under an emulator the connection may close a
  // little after the process handle has signalled the end.)
  bool gone(std::chrono::milliseconds limit = 10s) {
    if (ended_) return true;
    char sink[64];
    const auto deadline = Clock::now() + limit;
    for (;;) {
      asio::error_code ec;
      socket_.read_some(asio::buffer(sink), ec);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return ended_ = true;
      if (Clock::now() >= deadline) return false;
      if (ec) std::this_thread::sleep_for(10ms);
    }
  }

 private:
  asio::ip::tcp::socket socket_;
  std::uint32_t pid_;
  bool ended_ = false;
};

// Where launched stand-in cores connect back to.
class CoreLinks {
 public:
  CoreLinks() {
    acceptor_.non_blocking(true);
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  // The next core that connects within `limit`, once it has sent its process id.
  std::optional<CoreLink> next(std::chrono::milliseconds limit = 20s) {
    const auto deadline = Clock::now() + limit;
    asio::ip::tcp::socket socket(io_);
    for (;;) {
      asio::error_code ec;
      acceptor_.accept(socket, ec);
      if (!ec) break;
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    socket.non_blocking(true);
    std::string line;
    char buf[64];
    while (line.find('\n') == std::string::npos) {
      asio::error_code ec;
      const std::size_t n = socket.read_some(asio::buffer(buf), ec);
      line.append(buf, n);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return std::nullopt;
      if (Clock::now() >= deadline) return std::nullopt;
      if (ec) std::this_thread::sleep_for(10ms);
    }
    return CoreLink(std::move(socket), static_cast<std::uint32_t>(std::stoul(line)));
  }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::address_v4::loopback(), 0}};
};

// A service directory whose path holds spaces and Chinese characters, named by
// TAVREL_SERVICE_DIR while the object lives, with the stand-in core installed, and a
// ServiceState on it. Any core still recorded is stopped at the end.
class StateFixture {
 public:
  explicit StateFixture(std::chrono::milliseconds check_time_limit = 20s)
      : temp_("svc state 状态"), dir_(platform::join(temp_.path(), "service dir 服务")) {
    EXPECT_TRUE(platform::create_directories(platform::join(dir_, files::WORK_DIR)));
    EXPECT_TRUE(platform::copy_file(testing::helper_program("fake-core"), core_exe()));
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir_));
    state_ = std::make_shared<ServiceState>(dir_, "0123456789abcdef0123456789abcdef", fast_core_timings(),
                                            check_time_limit);
  }
  ~StateFixture() {
    core::stop_core(state_->core);
    platform::unset_env(files::SERVICE_DIR_VARIABLE);
  }
  StateFixture(const StateFixture&) = delete;
  StateFixture& operator=(const StateFixture&) = delete;

  const platform::Path& dir() const { return dir_; }
  const SharedState& state() const { return state_; }
  platform::Path core_exe() const { return platform::join(dir_, platform::CORE_EXE_NAME); }
  platform::Path path(std::string_view name) const { return platform::join(dir_, name); }
  platform::Path work() const { return platform::join(dir_, files::WORK_DIR); }
  platform::Path rulesets() const { return platform::join(work(), files::RULESETS_DIR); }

  std::string log() const { return testing::read_file(path(files::SERVICE_LOG_FILE)); }
  // Where a stop may go unheard, its lines read as those of a stop that was heard.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    for (std::string& line : log_messages(log())) {
      if (STOP_MAY_GO_UNHEARD) {
        if (line.starts_with(core::CORE_ASK_FAILED_LINE)) continue;
        if (line.starts_with(core::CORE_KILLED_LINE)) {
          line = std::string(core::CORE_STOPPED_LINE) + line.substr(core::CORE_KILLED_LINE.size());
        }
      }
      lines.push_back(std::move(line));
    }
    return lines;
  }
  // What the stand-in core recorded when it was asked to stop; null when it was not.
  json stop_record() const {
    const std::string text = testing::read_file(platform::join(work(), "fake-core-stop.json"));
    return text.empty() ? json() : json::parse(text, nullptr, false);
  }
  // The log path of responses as it stands in a response line.
  std::string log_path_json() const { return json_quoted(platform::to_utf8(path(files::CORE_LOG_FILE))); }

  // Launches the stand-in core directly (not through a start) with `fake` as its steering.
  Status launch(json fake) {
    const platform::Path config = path("launch.json");
    if (auto written = platform::write_file(config, json{{"fake", std::move(fake)}}.dump()); !written) {
      return written;
    }
    return core::launch_core(state_->core, dir_, config, work());
  }

 private:
  testing::TempDir temp_;
  platform::Path dir_;
  SharedState state_;
};

// run_server on a thread of its own, on an ephemeral port; stopped by the destructor.
class ServerThread {
 public:
  explicit ServerThread(ServerOptions options) {
    auto told = std::make_shared<std::promise<std::uint16_t>>();
    port_ = told->get_future();
    options.on_listening = [told](std::uint16_t port) { told->set_value(port); };
    thread_ = std::thread([this, options] { run_server(stop_, options); });
  }
  ~ServerThread() {
    stop_->raise(StopCause::ServiceStop);
    thread_.join();
  }
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  // The bound port; 0 when the server does not listen within `limit`.
  std::uint16_t port(std::chrono::milliseconds limit = 30s) {
    if (!bound_ && port_.wait_for(limit) == std::future_status::ready) bound_ = port_.get();
    return bound_.value_or(0);
  }

 private:
  std::shared_ptr<StopFlag> stop_ = std::make_shared<StopFlag>();
  std::future<std::uint16_t> port_;
  std::optional<std::uint16_t> bound_;
  std::thread thread_;
};

// Connects to the control port, sends `line` and reads to the end of the stream; "" when the
// exchange fails or has not ended within `limit`.
inline std::string control_exchange(std::uint16_t port, std::string_view line, std::chrono::milliseconds limit = 30s) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  if (ec) return "";
  asio::write(socket, asio::buffer(line.data(), line.size()), ec);
  if (ec) return "";
  socket.non_blocking(true);
  const auto deadline = Clock::now() + limit;
  std::string received;
  char buf[4096];
  for (;;) {
    const std::size_t n = socket.read_some(asio::buffer(buf), ec);
    received.append(buf, n);
    if (ec == asio::error::eof) return received;
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return "";
    if (Clock::now() >= deadline) return "";
    if (ec) std::this_thread::sleep_for(5ms);
  }
}

}  // namespace tavrel::server::fixture

// Helpers of the core tests: a service directory with the stand-in core installed under the
// real core's name, and a loopback listener that tells which stand-in cores are alive.
#pragma once

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace tavrel::testing {

using namespace std::chrono_literals;

// Wine, under which the Windows build's tests run, does not deliver Ctrl-Break: there a stop
// ends the stand-in core only after its grace period.
inline const bool STOP_MAY_GO_UNHEARD = platform::SERVICE_EXE_NAME.ends_with(".exe");

// Polls `done` every 10 ms until it holds or `limit` has passed.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The service log is pointed here too, for as long as the object lives.
class FakeCoreDir {
 public:
  explicit FakeCoreDir(std::string_view name = "tavrel 服务 目录") : dir_(name) {
    EXPECT_TRUE(platform::copy_file(helper_program("fake-core"), core()));
    EXPECT_TRUE(platform::create_directories(work()));
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(path()));
    write_config(nlohmann::json::object());
  }
  ~FakeCoreDir() { platform::unset_env(files::SERVICE_DIR_VARIABLE); }

  const platform::Path& path() const { return dir_.path(); }
  platform::Path core() const { return file(platform::CORE_EXE_NAME); }
  platform::Path config() const { return file(files::CONFIG_FILE); }
  platform::Path work() const { return file(files::WORK_DIR); }
  platform::Path core_log() const { return file(files::CORE_LOG_FILE); }
  platform::Path file(std::string_view name) const { return platform::join(path(), name); }

  // The steering object of the stand-in core.
  void write_config(nlohmann::json fake) const {
    EXPECT_TRUE(platform::write_file(config(), nlohmann::json{{"fake", std::move(fake)}}.dump()));
  }

  // What the stand-in core recorded when it was asked to stop; null when it was not.
  nlohmann::json stop_record() const {
    const std::string text = read_file(platform::join(work(), "fake-core-stop.json"));
    return text.empty() ? nlohmann::json() : nlohmann::json::parse(text, nullptr, false);
  }

  // Messages of the service log, without their timestamps.
  std::vector<std::string> log_messages() const {
    std::vector<std::string> messages;
    const std::string log = read_file(file(files::SERVICE_LOG_FILE));
    std::size_t start = 0;
    while (start < log.size()) {
      const std::size_t end = log.find('\n', start);
      const std::string line = log.substr(start, end - start);
      messages.push_back(line.size() > 20 ? line.substr(20) : line);
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return messages;
  }

 private:
  TempDir dir_;
};

// Stand-in cores started with "run_connect_port" connect here and send their process id; the
// connection closes when the process ends, however it ends.
class CoreLinks {
 public:
  CoreLinks() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~CoreLinks() {
    io_.stop();
    thread_.join();
  }

  unsigned short port() const { return acceptor_.local_endpoint().port(); }

  // Process ids whose connection is still open (a pid may come again once reused).
  std::vector<std::uint32_t> alive() const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> pids;
    for (const auto& [id, link] : links_) {
      if (link.second) pids.push_back(link.first);
    }
    return pids;
  }

  std::size_t seen() const {
    std::lock_guard lock(mutex_);
    return links_.size();
  }

 private:
  struct Link {
    explicit Link(asio::io_context& io) : socket(io) {}
    asio::ip::tcp::socket socket;
    std::string line;
    std::array<char, 64> scratch{};
    std::uint32_t pid = 0;
    std::size_t id = 0;
  };

  void accept() {
    auto link = std::make_shared<Link>(io_);
    acceptor_.async_accept(link->socket, [this, link](asio::error_code ec) {
      if (ec) return;
      accept();
      asio::async_read_until(link->socket, asio::dynamic_buffer(link->line), '\n',
                             [this, link](asio::error_code ec2, std::size_t) {
                               if (ec2) return;
                               link->pid = static_cast<std::uint32_t>(std::stoul(link->line));
                               {
                                 std::lock_guard lock(mutex_);
                                 link->id = links_.size();
                                 links_[link->id] = {link->pid, true};
                               }
                               watch(link);
                             });
    });
  }

  void watch(const std::shared_ptr<Link>& link) {
    link->socket.async_read_some(asio::buffer(link->scratch),
                                 [this, link](asio::error_code ec, std::size_t) {
                                   if (!ec) return watch(link);
                                   std::lock_guard lock(mutex_);
                                   links_[link->id].second = false;
                                 });
  }

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  mutable std::mutex mutex_;
  std::map<std::size_t, std::pair<std::uint32_t, bool>> links_;  // connection -> (pid, open)
  std::thread thread_;
};

}  // namespace tavrel::testing

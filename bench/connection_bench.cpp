// Status requests over loopback TCP, one per connection (connect, one line, read to the end,
// close), from 8 client threads: against the server in this process and against a minimal
// responder that answers a fixed line with the same connection pattern.
//
// The two alternate in short runs, so that both see the same load of the machine; the medians
// over the rounds are printed at the end.
//
//   bench_connection [milliseconds per run, default 1000] [rounds, default 10]
#include <algorithm>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/stop_flag.h"
#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "server/options.h"
#include "server/server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

constexpr int CLIENT_THREADS = 8;

struct Figures {
  double per_second = 0;
  double p50_us = 0;
  double p99_us = 0;
  std::size_t wrong = 0;
};

// Every client thread repeats the whole connection cycle until the time is up.
Figures drive(std::uint16_t port, const std::string& request, const std::string& expected,
              std::chrono::milliseconds duration) {
  std::vector<std::vector<double>> latencies(CLIENT_THREADS);
  std::atomic<std::size_t> wrong{0};
  const auto end = Clock::now() + duration;
  std::vector<std::thread> threads;
  for (int t = 0; t < CLIENT_THREADS; ++t) {
    threads.emplace_back([&, t] {
      asio::io_context io;
      std::string reply;
      char chunk[4096];
      while (Clock::now() < end) {
        const auto start = Clock::now();
        tcp::socket socket(io);
        asio::error_code ec;
        socket.connect({asio::ip::address_v4::loopback(), port}, ec);
        if (!ec) asio::write(socket, asio::buffer(request), ec);
        reply.clear();
        while (!ec) {
          const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
          reply.append(chunk, n);
        }
        socket.close(ec);
        if (reply != expected) ++wrong;
        latencies[t].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Figures figures;
  if (all.empty()) return figures;
  figures.per_second = static_cast<double>(all.size()) / std::chrono::duration<double>(duration).count();
  figures.p50_us = all[all.size() / 2];
  figures.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  figures.wrong = wrong;
  return figures;
}

// Reads up to the first line feed, answers the fixed line, shuts down its sending side.
asio::awaitable<void> respond(tcp::socket socket, const std::string& reply) {
  std::string line;
  auto token = asio::experimental::as_tuple(asio::use_awaitable);
  co_await asio::async_read_until(socket, asio::dynamic_buffer(line), '\n', token);
  co_await asio::async_write(socket, asio::buffer(reply), token);
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
}

asio::awaitable<void> respond_all(tcp::acceptor acceptor, const std::string& reply) {
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
    if (ec) continue;
    asio::co_spawn(acceptor.get_executor(), respond(std::move(socket), reply), asio::detached);
  }
}

// The minimal responder: two event-loop threads, like the server.
class Responder {
 public:
  explicit Responder(std::string reply) : reply_(std::move(reply)) {
    tcp::acceptor acceptor(io_, {asio::ip::address_v4::loopback(), 0});
    acceptor.listen(128);
    port_ = acceptor.local_endpoint().port();
    asio::co_spawn(io_, respond_all(std::move(acceptor), reply_), asio::detached);
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~Responder() {
    io_.stop();
    for (auto& thread : threads_) thread.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  std::string reply_;
  asio::io_context io_{2};
  std::uint16_t port_ = 0;
  std::vector<std::thread> threads_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  namespace platform = tavrel::platform;
  const std::chrono::milliseconds duration(argc > 1 ? std::max(100, std::atoi(argv[1])) : 1000);
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;

  const platform::Path dir =
      std::filesystem::temp_directory_path() / ("tavrel connection bench " + std::to_string(platform::current_process_id()));
  (void)platform::create_directories(dir);
  platform::set_env(tavrel::files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir));

  auto stop = std::make_shared<tavrel::StopFlag>();
  std::promise<std::uint16_t> listening;
  auto port_future = listening.get_future();
  tavrel::server::ServerOptions options;
  options.port = 0;
  options.on_listening = [&](std::uint16_t port) { listening.set_value(port); };
  std::thread server([&] { tavrel::server::run_server(stop, options); });
  if (port_future.wait_for(10s) != std::future_status::ready) {
    std::fprintf(stderr, "the server did not start listening\n");
    stop->raise(tavrel::StopCause::ServiceStop);
    server.join();
    return 1;
  }
  const std::uint16_t server_port = port_future.get();

  const std::string token = platform::read_file(platform::join(dir, tavrel::files::TOKEN_FILE)).value();
  const std::string request = R"({"token":")" + token + R"(","req":{"cmd":"status"}})" "\n";
  std::string log_path;
  for (const char c : platform::to_utf8(platform::join(dir, tavrel::files::CORE_LOG_FILE))) {
    if (c == '\\' || c == '"') log_path += '\\';
    log_path += c;
  }
  const std::string reply = R"({"ok":true,"running":false,"log_path":")" + log_path + "\"}\n";
  Responder responder(reply);

  drive(server_port, request, reply, 300ms);  // warm-up
  drive(responder.port(), request, reply, 300ms);
  std::vector<double> server_rate, server_p50, server_p99, minimal_rate, minimal_p50, minimal_p99, ratio;
  std::size_t wrong = 0;
  for (int round = 0; round < rounds; ++round) {
    const Figures s = drive(server_port, request, reply, duration);
    const Figures m = drive(responder.port(), request, reply, duration);
    std::printf("round %d: server %.0f req/s (p50 %.0f us, p99 %.0f us), minimal %.0f req/s (p50 %.0f us, p99 %.0f us), ratio %.2f\n",
                round + 1, s.per_second, s.p50_us, s.p99_us, m.per_second, m.p50_us, m.p99_us,
                s.per_second / m.per_second);
    server_rate.push_back(s.per_second);
    server_p50.push_back(s.p50_us);
    server_p99.push_back(s.p99_us);
    minimal_rate.push_back(m.per_second);
    minimal_p50.push_back(m.p50_us);
    minimal_p99.push_back(m.p99_us);
    ratio.push_back(s.per_second / m.per_second);
    wrong += s.wrong + m.wrong;
  }
  std::printf("median of %d rounds, %d client threads, %lld ms each:\n", rounds, CLIENT_THREADS,
              static_cast<long long>(duration.count()));
  std::printf("  server   %8.0f req/s  p50 %6.0f us  p99 %6.0f us\n", median(server_rate), median(server_p50),
              median(server_p99));
  std::printf("  minimal  %8.0f req/s  p50 %6.0f us  p99 %6.0f us\n", median(minimal_rate), median(minimal_p50),
              median(minimal_p99));
  std::printf("  ratio    %.2f (server / minimal requests per second)\n", median(ratio));
  if (wrong) std::printf("  %zu replies differed from the expected line\n", wrong);

  stop->raise(tavrel::StopCause::ServiceStop);
  server.join();
  (void)platform::remove_all(dir);
  return wrong ? 1 : 0;
}

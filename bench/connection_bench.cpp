// Status requests over loopback TCP, one per connection (connect, one line, read to the end,
// close), from 8 client threads: against the server in this process, against a minimal Asio
// responder (two event-loop threads, like the server) and against a single-threaded blocking
// responder (accept4, read to the line feed, write, shutdown, close), each answering a fixed
// line with the same connection pattern. The blocking responder is the floor the loopback
// allows; the Asio one shows what the event loop alone costs.
//
// The three alternate in short runs, so that all see the same load of the machine; the
// medians over the rounds are printed at the end.
//
//   bench_connection [milliseconds per run, default 1000] [rounds, default 5]
#include <algorithm>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/stop_flag.h"
#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "server/options.h"
#include "server/server.h"

// Every allocation of the process, the clients' included: they make the same ones whichever
// responder they talk to, so the difference per request is the responder's.
std::atomic<std::uint64_t> allocations{0};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

constexpr int CLIENT_THREADS = 8;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  double per_second = 0;
  double cpu_us = 0;       // CPU time of the whole process per request
  double allocations = 0;  // allocations of the whole process per request
  double p50_us = 0;
  double p99_us = 0;
  std::size_t wrong = 0;
};

// Every client thread repeats the whole connection cycle until the time is up.
Figures drive(std::uint16_t port, const std::string& request, const std::string& expected,
              std::chrono::milliseconds duration) {
  std::vector<std::vector<double>> latencies(CLIENT_THREADS);
  std::atomic<std::size_t> wrong{0};
  const double cpu_before = cpu_seconds();
  const std::uint64_t allocations_before = allocations.load();
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
  const double cpu = cpu_seconds() - cpu_before;
  const auto allocated = static_cast<double>(allocations.load() - allocations_before);

  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Figures figures;
  if (all.empty()) return figures;
  figures.per_second = static_cast<double>(all.size()) / std::chrono::duration<double>(duration).count();
  figures.p50_us = all[all.size() / 2];
  figures.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  figures.wrong = wrong;
  figures.cpu_us = cpu * 1e6 / static_cast<double>(all.size());
  figures.allocations = allocated / static_cast<double>(all.size());
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

// The baseline: one thread, blocking calls, nothing but the connection's own system calls.
class BlockingResponder {
 public:
  explicit BlockingResponder(std::string reply) : reply_(std::move(reply)), acceptor_(io_) {
    acceptor_.open(tcp::v4());
    acceptor_.bind({asio::ip::address_v4::loopback(), 0});
    acceptor_.listen(128);
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { serve(); });
  }
  ~BlockingResponder() {
    stopping_ = true;
    {
      asio::error_code ignored;
      tcp::socket wake(io_);
      wake.connect({asio::ip::address_v4::loopback(), port_}, ignored);
    }
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  void serve() {
    const int listener = acceptor_.native_handle();
    char buffer[4096];
    while (!stopping_) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0 || std::memchr(buffer, '\n', static_cast<std::size_t>(n))) break;
      }
      (void)!::write(fd, reply_.data(), reply_.size());
      ::shutdown(fd, SHUT_WR);
      ::close(fd);
    }
  }

  std::string reply_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  namespace platform = tavrel::platform;
  const std::chrono::milliseconds duration(argc > 1 ? std::max(100, std::atoi(argv[1])) : 1000);
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

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
  BlockingResponder blocking(reply);

  struct Series {
    const char* name;
    std::uint16_t port;
    std::vector<double> rate, p50, p99, cpu, allocations;
  };
  std::vector<Series> series{{"server", server_port, {}, {}, {}, {}, {}},
                             {"asio", responder.port(), {}, {}, {}, {}, {}},
                             {"blocking", blocking.port(), {}, {}, {}, {}, {}}};
  for (const Series& s : series) drive(s.port, request, reply, 300ms);  // warm-up
  std::vector<double> against_asio, against_blocking;
  std::size_t wrong = 0;
  for (int round = 0; round < rounds; ++round) {
    std::printf("round %d:", round + 1);
    for (Series& s : series) {
      const Figures f = drive(s.port, request, reply, duration);
      std::printf(" %s %.0f req/s (p50 %.0f us, p99 %.0f us);", s.name, f.per_second, f.p50_us, f.p99_us);
      s.rate.push_back(f.per_second);
      s.p50.push_back(f.p50_us);
      s.p99.push_back(f.p99_us);
      s.cpu.push_back(f.cpu_us);
      s.allocations.push_back(f.allocations);
      wrong += f.wrong;
    }
    against_asio.push_back(series[0].rate.back() / series[1].rate.back());
    against_blocking.push_back(series[0].rate.back() / series[2].rate.back());
    std::printf(" ratios %.2f %.2f\n", against_asio.back(), against_blocking.back());
  }
  std::printf("median of %d rounds, %d client threads, %lld ms each:\n", rounds, CLIENT_THREADS,
              static_cast<long long>(duration.count()));
  for (const Series& s : series) {
    std::printf("  %-9s %8.0f req/s  p50 %6.0f us  p99 %6.0f us  cpu %5.1f us/req  %4.1f allocations/req\n", s.name,
                median(s.rate), median(s.p50), median(s.p99), median(s.cpu), median(s.allocations));
  }
  std::printf("  ratio    %.2f against the Asio responder, %.2f against the blocking one (requests per second)\n",
              median(against_asio), median(against_blocking));
  std::printf("  cpu      %.2f of the Asio responder's, %.2f of the blocking one's (per request, clients included)\n",
              median(series[0].cpu) / median(series[1].cpu), median(series[0].cpu) / median(series[2].cpu));
  if (wrong) std::printf("  %zu replies differed from the expected line\n", wrong);

  stop->raise(tavrel::StopCause::ServiceStop);
  server.join();
  (void)platform::remove_all(dir);
  return wrong ? 1 : 0;
}

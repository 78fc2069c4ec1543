// The built program under hostile load on the control port, with the stand-in core as its
// sing-box. Two runs, each on a fresh program:
//
//  1. queue: one start whose check takes 3 s, then 32 start requests of 4 MiB (each also with a
//     3 s check) sent at once; while they wait, 20 status requests one after another, each on
//     a fresh connection. Prints their latency (median, max) and the program's peak memory.
//  2. memory: 64 start requests of 4 MiB sent at once, of the shapes that cost the most: many
//     empty objects (with a check of 1 s), nested arrays whose indentation would make config.json
//     hundreds of MiB, and nested arrays that stay just under the limit. Prints the peak
//     memory, the largest config.json seen on disk and how many requests were answered.
//
//   flock /tmp/tavrel-port.lock <build>/bench/bench_load [check ms, default 1000]
#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/process_stats.h"
#include "platform/system.h"
#include "server/options.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
namespace fs = std::filesystem;
namespace platform = tavrel::platform;
namespace files = tavrel::files;

constexpr std::size_t LINE = 4'194'304;  // the line feed included

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// `head` + `element` repeated (comma-separated) + `tail`, filled to one byte under the limit.
std::string filled(const std::string& head, std::string_view element, const std::string& tail) {
  std::string line = head;
  line.reserve(LINE);
  for (bool first = true; line.size() + element.size() + 1 + tail.size() + 1 < LINE; first = false) {
    if (!first) line += ',';
    line += element;
  }
  return line + tail + "\n";
}

std::string start_head(const std::string& token) {
  return R"({"token":")" + token + R"(","req":{"cmd":"start","config":)";
}

// {"fake":{...},"pad":<depth brackets>[{},{},...]<depth brackets>}
std::string empty_objects(const std::string& token, int check_ms, int depth) {
  return filled(start_head(token) + R"({"fake":{"check_sleep_ms":)" + std::to_string(check_ms) + R"(},"pad":)" +
                    std::string(depth + 1, '['),
                "{}", std::string(depth + 1, ']') + "}}}");
}

// <depth brackets>0,0,...<depth brackets>: every element a line of 2 * depth spaces and more.
std::string nested_zeros(const std::string& token, int depth) {
  return filled(start_head(token) + std::string(depth, '['), "0", std::string(depth, ']') + "}}");
}

// Sends `line` on a fresh connection and reads the reply to the end; "" on failure.
std::string exchange(const std::string& line) {
  try {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({asio::ip::address_v4::loopback(), tavrel::server::CONTROL_PORT});
    asio::write(socket, asio::buffer(line));
    std::string reply;
    asio::error_code ec;
    char buf[4096];
    for (;;) {
      const std::size_t n = socket.read_some(asio::buffer(buf), ec);
      reply.append(buf, n);
      if (ec) break;
    }
    return ec == asio::error::eof ? reply : "";
  } catch (const std::exception&) {
    return "";
  }
}

std::string read_text(const fs::path& file) {
  auto text = platform::read_file(platform::from_utf8(file.string()));
  return text ? text.value() : std::string();
}

// The built program with `run` in a service directory of its own; killed at the end.
class Program {
 public:
  explicit Program(const fs::path& dir) : dir_(dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path build = fs::path(platform::current_exe().value().string()).parent_path().parent_path();
    fs::copy_file(build / "tests" / "fake-core", dir / "sing-box");
    platform::set_env(files::SERVICE_DIR_VARIABLE, dir.string());
    auto out = platform::open_output_file(platform::from_utf8((dir / "console.txt").string()));
    auto started = platform::spawn(platform::from_utf8((build / "tavrel-service").string()), {platform::Path("run")},
                                   out.value(), out.value());
    if (!started) {
      std::fprintf(stderr, "cannot start the program: %s\n", started.error().chain().c_str());
      std::exit(1);
    }
    process_ = std::move(started).value();
    for (int i = 0; i < 3000 && read_text(dir / "service.log").find("listening on") == std::string::npos; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    token_ = read_text(dir / "token");
  }
  ~Program() {
    process_.terminate();
    (void)process_.wait();
  }

  const std::string& token() const { return token_; }
  double peak_mib() {
    const auto peak = platform::peak_memory_bytes(process_);
    return peak ? static_cast<double>(*peak) / (1 << 20) : -1;
  }

 private:
  fs::path dir_;
  platform::Process process_;
  std::string token_;
};

struct Sent {
  std::vector<std::thread> threads;
  std::vector<std::string> replies;
  std::atomic<int> written{0};

  explicit Sent(std::size_t n) : replies(n) {}
  void send(std::size_t i, const std::string& line) {
    threads.emplace_back([this, i, &line] {
      replies[i] = exchange(line);
      ++written;
    });
  }
  void join() {
    for (auto& t : threads) t.join();
  }
  std::size_t answered() const {
    return static_cast<std::size_t>(std::count_if(replies.begin(), replies.end(),
                                                  [](const std::string& r) { return !r.empty(); }));
  }
};

void queue_run(const fs::path& dir) {
  constexpr int QUEUED = 32, PROBES = 20, CHECK_MS = 3000;
  std::optional<Program> program(std::in_place, dir);
  const std::string slow = start_head(program->token()) + R"({"fake":{"check_sleep_ms":3000}}}})" "\n";
  const std::string big = empty_objects(program->token(), CHECK_MS, 0);
  const std::string status = R"({"token":")" + program->token() + R"(","req":{"cmd":"status"}})" "\n";

  Sent sent(QUEUED + 1);
  sent.send(0, slow);
  std::this_thread::sleep_for(200ms);
  for (int i = 1; i <= QUEUED; ++i) sent.send(i, big);
  std::this_thread::sleep_for(1500ms);  // the lines are read by now

  std::vector<double> latencies;
  std::size_t wrong = 0;
  for (int i = 0; i < PROBES; ++i) {
    const auto asked = Clock::now();
    if (exchange(status).find(R"("ok":true)") == std::string::npos) ++wrong;
    latencies.push_back(ms_since(asked));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("queue: %d starts of %zu bytes behind a %d ms check\n", QUEUED, big.size(), CHECK_MS);
  std::printf("  status latency, %d tries: median %.1f ms, max %.1f ms, %zu not ok\n", PROBES,
              (latencies[PROBES / 2 - 1] + latencies[PROBES / 2]) / 2, latencies.back(), wrong);
  std::printf("  peak memory of the program: %.0f MiB\n", program->peak_mib());
  std::fflush(stdout);
  // The rest of the queue would take minutes: the program is ended, and the clients with it.
  program.reset();
  sent.join();
}

void memory_run(const fs::path& dir, int check_ms) {
  constexpr int CLIENTS = 64;
  Program program(dir);
  const std::string token = program.token();
  const struct {
    const char* name;
    std::string line;
    int count;
  } shapes[] = {
      {"empty objects, checked", empty_objects(token, check_ms, 0), 32},
      {"empty objects in 40 arrays (text > 64 MiB)", empty_objects(token, check_ms, 40), 12},
      {"zeros in 120 arrays (text ~490 MiB)", nested_zeros(token, 120), 12},
      {"zeros in 13 arrays (text just under 64 MiB)", nested_zeros(token, 13), 8},
  };

  std::atomic<bool> done{false};
  std::uintmax_t largest = 0;
  std::thread watcher([&] {
    while (!done) {
      std::error_code ec;
      largest = std::max<std::uintmax_t>(largest, fs::file_size(dir / "config.json", ec) * !ec);
      std::this_thread::sleep_for(2ms);
    }
  });

  Sent sent(CLIENTS);
  std::size_t i = 0;
  // Interleaved, so that every shape waits in the queue beside the others.
  for (int round = 0; i < CLIENTS; ++round) {
    for (const auto& shape : shapes) {
      if (round < shape.count && i < CLIENTS) sent.send(i++, shape.line);
    }
  }
  const auto started = Clock::now();
  sent.join();
  const double took = ms_since(started);
  done = true;
  watcher.join();

  std::size_t refused_size = 0, ok = 0;
  for (const auto& reply : sent.replies) {
    if (reply.find("配置过大：config.json 将超过 64 MiB") != std::string::npos) ++refused_size;
    if (reply.find(R"("ok":true)") != std::string::npos) ++ok;
  }
  std::printf("memory: %d starts of 4 MiB at once, check %d ms\n", CLIENTS, check_ms);
  for (const auto& shape : shapes) std::printf("  %2d x %s\n", shape.count, shape.name);
  std::printf("  answered %zu of %d in %.1f s: %zu started, %zu refused as too large\n", sent.answered(), CLIENTS,
              took / 1000, ok, refused_size);
  std::printf("  peak memory of the program: %.0f MiB\n", program.peak_mib());
  std::printf("  largest config.json seen: %.1f MiB (limit 64 MiB)\n", static_cast<double>(largest) / (1 << 20));
}

}  // namespace

int main(int argc, char** argv) {
  const int check_ms = argc > 1 ? std::atoi(argv[1]) : 1000;
  const fs::path dir = fs::temp_directory_path() / ("tavrel-load-bench-" + std::to_string(platform::current_process_id()));
  queue_run(dir);
  memory_run(dir, check_ms);
  fs::remove_all(dir);
  platform::unset_env(files::SERVICE_DIR_VARIABLE);
  return 0;
}

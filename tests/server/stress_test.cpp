// Many clients at once against the built program: idle ones, ones sending lines at the size
// limit and ordinary status requests, all answered, within a bounded memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <memory>
#include <thread>

#include "platform/process_stats.h"
#include "server/connection_client.h"

namespace tavrel::testing {
namespace {

enum class Role { Idle, Large, Status };

struct Outcome {
  Role role = Role::Status;
  Client::Received received;
};

// The program's peak memory stayed under `ceiling` and only its listening socket is left
// open; the peak as text for the figures line.
std::string expect_bounded_and_closed(ProgramServer& program, std::uint64_t ceiling) {
  const auto peak = platform::peak_memory_bytes(program.process());
  if (peak) {
    EXPECT_LT(*peak, ceiling);
  }
  if (platform::open_socket_count(program.process())) {
    EXPECT_TRUE(wait_until([&] { return platform::open_socket_count(program.process()) == 1u; }, 5s))
        << *platform::open_socket_count(program.process()) << " sockets open";
  }
  return peak ? std::to_string(*peak >> 20) + " MiB" : "unknown";
}

TEST(ConnectionStress, TwoHundredClientsAtOnce) {
  constexpr std::size_t CLIENTS = 200, IDLE = 40, LARGE = 20;
  constexpr std::uint64_t MEMORY_CEILING = 300ull << 20;

  ServiceDirFixture dir;
  ProgramServer program(dir);
  ASSERT_TRUE(program.listening()) << dir.log();
  const std::string token = dir.token();
  const std::string status = request_line(token, R"({"cmd":"status"})");
  const std::string large = padded_status(token, 4'194'304);
  const std::string status_reply =
      R"({"ok":true,"running":false,"log_path":")" + json_text(platform::join(dir.dir(), "core.log")) + "\"}\n";

  std::vector<Outcome> outcomes(CLIENTS);
  std::latch ready(CLIENTS);
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < CLIENTS; ++i) {
    outcomes[i].role = i < IDLE ? Role::Idle : i < IDLE + LARGE ? Role::Large : Role::Status;
    clients.emplace_back([&, i] {
      Client client;
      ready.arrive_and_wait();
      if (!client.connect(server::CONTROL_PORT, 30s)) return;
      const Role role = outcomes[i].role;
      if (role != Role::Idle && !client.send(role == Role::Large ? large : status, 30s)) return;
      outcomes[i].received = client.read_to_end(40s);
    });
  }
  for (auto& client : clients) client.join();
  const auto took = since(start);

  std::size_t answered = 0;
  for (std::size_t i = 0; i < CLIENTS; ++i) {
    const Outcome& outcome = outcomes[i];
    SCOPED_TRACE(i);
    EXPECT_TRUE(outcome.received.ended);
    EXPECT_EQ(outcome.received.bytes, outcome.role == Role::Idle ? failure_line("读取请求超时") : status_reply);
    if (outcome.received.ended) ++answered;
  }
  EXPECT_EQ(answered, CLIENTS);
  EXPECT_LT(took, 60s);

  const std::string peak = expect_bounded_and_closed(program, MEMORY_CEILING);
  std::printf("[ figures  ] %zu clients in %lld ms, peak memory %s\n", CLIENTS, static_cast<long long>(took.count()),
              peak.c_str());
}

// A start request line whose config is `config`.
std::string start_line(std::string_view token, std::string_view config) {
  return request_line(token, R"({"cmd":"start","config":)" + std::string(config) + "}");
}

// A 4 MiB start line whose config holds `depth` + 1 arrays around empty objects: decoded, it
// takes about 28 bytes per byte of text; from depth 40 its config.json would pass 64 MiB.
std::string empty_objects_start(std::string_view token, int depth) {
  const std::string head = R"({"fake":{"check_sleep_ms":0},"pad":)" + std::string(depth + 1, '[');
  const std::string tail = std::string(depth + 1, ']') + "}";
  std::string config = head;
  const std::size_t room = 4'194'304 - start_line(token, head + tail).size();
  for (config += "{}"; config.size() - head.size() + 3 <= room; config += ",{}") {
  }
  return start_line(token, config + tail);
}

struct Exchange {
  Client::Received received;
  Clock::time_point answered;
};

// Sends `line` on a new connection from a thread of its own and reads to the end.
std::thread send_from_thread(std::uint16_t port, std::string line, Exchange& out) {
  return std::thread([port, line = std::move(line), &out] {
    out.received = round_trip(port, line, false, 60s);
    out.answered = Clock::now();
  });
}

// Starts and stops wait for their turn without holding up status requests, and take effect
// one at a time in the order they were sent.
TEST(ConnectionStress, StatusIsAnsweredAtOnceWhileStartsQueueInOrder) {
  constexpr int QUEUED = 32, STOP_AT = 16, PROBES = 20;
  ServiceDirFixture dir;
  InProcessServer server;
  const std::uint16_t port = server.port();
  ASSERT_NE(port, 0);
  const std::string token = dir.token();

  Exchange slow;
  std::thread slow_client =
      send_from_thread(port, start_line(token, R"({"fake":{"check_sleep_ms":4000,"check_exit":1}})"), slow);
  std::this_thread::sleep_for(100ms);
  // Sent one after the other from this thread, each line whole before the next connection.
  std::vector<std::unique_ptr<Client>> queued;
  for (int i = 1; i <= QUEUED; ++i) {
    // Each check records its number: replies on separate connections may arrive in any order.
    const std::string n = std::to_string(i);
    const std::string fake = R"({"fake":{"check_sleep_ms":20,"check_append_line":")" + n + R"("},"n":)" + n + "}";
    queued.push_back(std::make_unique<Client>());
    ASSERT_TRUE(queued.back()->connect(port));
    ASSERT_TRUE(queued.back()->send(i == STOP_AT ? request_line(token, R"({"cmd":"stop"})") : start_line(token, fake)));
    std::this_thread::sleep_for(30ms);
  }

  std::vector<std::chrono::milliseconds> waits;
  for (int i = 0; i < PROBES; ++i) {
    const auto asked = Clock::now();
    const Client::Received got = round_trip(port, request_line(token, R"({"cmd":"status"})"));
    waits.push_back(since(asked));
    EXPECT_TRUE(got.bytes.starts_with(R"({"ok":true,"running":)")) << got.bytes;
  }
  const auto probes_done = Clock::now();
  slow_client.join();

  std::sort(waits.begin(), waits.end());
  EXPECT_LT(waits[PROBES / 2], 1s);
  EXPECT_LT(waits.back(), 1s);
  EXPECT_GT(slow.answered, probes_done) << "the probes did not wait behind the slow check";
  std::string in_order;
  for (int i = 1; i <= QUEUED; ++i) {
    SCOPED_TRACE(i);
    const Client::Received got = queued[static_cast<std::size_t>(i - 1)]->read_to_end(60s);
    EXPECT_TRUE(got.bytes.starts_with(R"({"ok":true,"running":)")) << got.bytes;
    if (i != STOP_AT) in_order += std::to_string(i) + "\n";
  }
  EXPECT_EQ(read_file(platform::join(dir.dir(), "fake-core-checks.txt")), in_order);
  EXPECT_NE(read_file(platform::join(dir.dir(), "config.json")).find("\"n\": " + std::to_string(QUEUED)),
            std::string::npos);
  std::printf("[ figures  ] status behind %d queued starts: median %lld ms, max %lld ms\n", QUEUED,
              static_cast<long long>(waits[PROBES / 2].count()), static_cast<long long>(waits.back().count()));
}

// Large starts that wait for their turn behind a slow check hold their text, not their decoded
// value; none writes a config.json past 64 MiB.
TEST(ConnectionStress, QueuedLargeStartsStayWithinMemoryAndDisk) {
  constexpr int LARGE = 32;
#if defined(__SANITIZE_ADDRESS__)
  // Under ASan every small allocation carries redzones and freed memory sits in quarantine.
  constexpr std::uint64_t MEMORY_CEILING = 1024ull << 20;
#else
  constexpr std::uint64_t MEMORY_CEILING = 512ull << 20;
#endif
  ServiceDirFixture dir;
  ProgramServer program(dir);
  ASSERT_TRUE(program.listening()) << dir.log();
  const std::string token = dir.token();
  const std::string slow_config = R"({"fake":{"check_sleep_ms":2000},"slow":true})";
  // Most decode to about 116 MB and are then refused for the size of their text; some would
  // make config.json hundreds of MiB from a small decoded value.
  const std::string refused = empty_objects_start(token, 40);
  std::string zeros = std::string(120, '[') + "0";
  while (zeros.size() < 4'000'000) zeros += ",0";
  const std::string deep = start_line(token, zeros + std::string(120, ']'));
  const std::string too_large = failure_line("配置过大：config.json 将超过 64 MiB");

  std::vector<Exchange> exchanges(LARGE + 1);
  std::vector<std::thread> clients;
  clients.push_back(send_from_thread(server::CONTROL_PORT, start_line(token, slow_config), exchanges[0]));
  std::this_thread::sleep_for(200ms);
  for (int i = 1; i <= LARGE; ++i) {
    clients.push_back(send_from_thread(server::CONTROL_PORT, i % 4 == 0 ? deep : refused, exchanges[i]));
  }
  for (auto& client : clients) client.join();

  EXPECT_TRUE(exchanges[0].received.bytes.starts_with(R"({"ok":true,"running":true,)")) << exchanges[0].received.bytes;
  for (int i = 1; i <= LARGE; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(exchanges[i].received.ended);
    EXPECT_EQ(exchanges[i].received.bytes, too_large);
  }
  EXPECT_NE(read_file(platform::join(dir.dir(), "config.json")).find("\"slow\": true"), std::string::npos);
  const std::string peak = expect_bounded_and_closed(program, MEMORY_CEILING);
  std::printf("[ figures  ] %d queued 4 MiB starts: peak memory %s\n", LARGE, peak.c_str());
}

}  // namespace
}  // namespace tavrel::testing

// Many clients at once against the built program: idle ones, ones sending lines at the size
// limit and ordinary status requests, all answered, within a bounded memory.
#include <gtest/gtest.h>

#include <latch>
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

  const auto peak = platform::peak_memory_bytes(program.process());
  if (peak) {
    EXPECT_LT(*peak, MEMORY_CEILING);
  }
  // Only the listening socket stays open.
  if (platform::open_socket_count(program.process())) {
    EXPECT_TRUE(wait_until([&] { return platform::open_socket_count(program.process()) == 1u; }, 5s))
        << *platform::open_socket_count(program.process()) << " sockets open";
  }
  std::printf("[ figures  ] %zu clients in %lld ms, peak memory %s\n", CLIENTS, static_cast<long long>(took.count()),
              peak ? (std::to_string(*peak >> 20) + " MiB").c_str() : "unknown");
}

}  // namespace
}  // namespace tavrel::testing

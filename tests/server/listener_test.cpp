// The control port: binding with retries while the port is taken, the loopback-only
// listener, and the cap on open connections.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <thread>

#include "platform/error.h"
#include "server/connection_client.h"

namespace tavrel::testing {
namespace {

// Another socket listening on an ephemeral loopback port, as another program would.
class PortHolder {
 public:
  PortHolder() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {}
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  void release() {
    asio::error_code ignored;
    acceptor_.close(ignored);
  }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
};

std::string retry_line(std::uint16_t port) {
  return "bind 127.0.0.1:" + std::to_string(port) + " failed: " +
         platform::system_error_text(asio::error::address_in_use) + "; retrying\n";
}

TEST(Listener, RetriesWhilePortIsTakenThenListens) {
  ServiceDirFixture dir;
  PortHolder holder;
  const std::uint16_t port = holder.port();
  server::ServerOptions options = fast_options();
  options.port = port;  // a retry every 25 polls of 20 ms
  InProcessServer server(options);

  const std::string retry = retry_line(port);
  const std::string listening = "listening on 127.0.0.1:" + std::to_string(port) + "\n";
  ASSERT_TRUE(wait_until([&] { return count_lines(dir.log(), retry) >= 2; }, 5s)) << dir.log();
  EXPECT_EQ(count_lines(dir.log(), "listening on"), 0u);

  holder.release();
  const auto freed = Clock::now();
  ASSERT_TRUE(wait_until([&] { return dir.log().find(listening) != std::string::npos; }, 3s)) << dir.log();
  EXPECT_LT(since(freed), 1500ms);
  ASSERT_EQ(server.port(), port);
  EXPECT_EQ(round_trip(server.port(), request_line(dir.token(), R"({"cmd":"stop"})")).bytes,
            "{\"ok\":true,\"running\":false}\n");
}

TEST(Listener, StopWhileRetryingEndsTheServerPromptly) {
  ServiceDirFixture dir;
  PortHolder holder;
  server::ServerOptions options = fast_options();
  options.port = holder.port();
  options.stop_poll = server::STOP_POLL_INTERVAL;
  InProcessServer server(options);
  ASSERT_TRUE(wait_until([&] { return count_lines(dir.log(), retry_line(holder.port())) == 1; }, 5s));
  std::this_thread::sleep_for(330ms);  // somewhere inside a poll interval

  // The flag is read before every 200 ms sleep; the rest is thread scheduling.
  EXPECT_LT(server.stop(), 260ms);
  const std::string log = dir.log();
  EXPECT_EQ(count_lines(log, "shutting down"), 0u);
  EXPECT_EQ(count_lines(log, "stop requested"), 0u);
  EXPECT_EQ(count_lines(log, "listening on"), 0u);
}

TEST(Listener, ListensOnIpv4LoopbackOnly) {
  ServiceDirFixture dir;
  InProcessServer server;
  ASSERT_NE(server.port(), 0);
  const std::array<asio::ip::address, 2> elsewhere = {asio::ip::make_address("127.0.0.2"),
                                                      asio::ip::make_address("::1")};
  for (const auto& address : elsewhere) {
    Client client;
    EXPECT_FALSE(client.connect(server.port(), 3s, address)) << address.to_string();
  }
  Client client;
  EXPECT_TRUE(client.connect(server.port()));
}

// Past the cap a new client waits in the backlog, unrefused, until an open connection ends.
TEST(Listener, CapsOpenConnections) {
  ServiceDirFixture dir;
  server::ServerOptions options = fast_options();
  options.read_deadline = 10s;
  InProcessServer server(options);
  ASSERT_NE(server.port(), 0);

  std::vector<std::unique_ptr<Client>> idle;
  for (std::size_t i = 0; i < server::MAX_OPEN_CONNECTIONS; ++i) {
    idle.push_back(std::make_unique<Client>());
    ASSERT_TRUE(idle.back()->connect(server.port()));
  }
  std::this_thread::sleep_for(300ms);  // all of them accepted

  Client late;
  ASSERT_TRUE(late.connect(server.port()));
  ASSERT_TRUE(late.send(request_line(dir.token(), R"({"cmd":"stop"})")));
  const Client::Received held = late.read_to_end(500ms);
  EXPECT_TRUE(held.timed_out);
  EXPECT_EQ(held.bytes, "");

  idle.front()->close();
  const Client::Received answered = late.read_to_end(3s);
  EXPECT_EQ(answered.bytes, "{\"ok\":true,\"running\":false}\n");
  EXPECT_TRUE(answered.ended);
}

}  // namespace
}  // namespace tavrel::testing

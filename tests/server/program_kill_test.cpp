#include <gtest/gtest.h>

#include <asio.hpp>
#include <istream>
#include <optional>
#include <string>

#include "server/connection_client.h"

namespace tavrel::testing {
namespace {

const bool WINDOWS = platform::SERVICE_EXE_NAME.ends_with(".exe");

// A port that a process of the core's tree connects to, sending its process id first, and
// keeps the connection for life. The process itself is watched from then on, as Wine may keep
// a killed process's socket open for a while.
class PidWatch {
 public:
  explicit PidWatch(asio::io_context& io)
      : io_(io), acceptor_(io, {asio::ip::address_v4::loopback(), 0}), peer_(io) {}
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  std::optional<std::uint32_t> accept_pid(std::chrono::milliseconds limit) {
    asio::error_code accepted = asio::error::would_block;
    acceptor_.async_accept(peer_, [&](asio::error_code ec) { accepted = ec; });
    io_.restart();
    io_.run_for(limit);
    if (accepted == asio::error::would_block) {
      acceptor_.cancel();
      io_.restart();
      io_.run();
    }
    if (accepted) return std::nullopt;
    asio::streambuf line;
    asio::error_code read_error;
    asio::read_until(peer_, line, '\n', read_error);
    if (read_error) return std::nullopt;
    std::string pid_text;
    std::getline(std::istream(&line), pid_text);
    return static_cast<std::uint32_t>(std::stoul(pid_text));
  }

 private:
  asio::io_context& io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::tcp::socket peer_;
};

// A killed service (SIGKILL, TerminateProcess) must leave nothing of its SYSTEM core running:
// the core dies with it, and what the core started dies too, at once (Windows: the job) or at
// the next start-up of the service in the same directory (POSIX).
TEST(ProgramKill, KilledServiceLeavesNothingOfItsCoreRunning) {
  asio::io_context io;
  PidWatch core_watch(io), helper_watch(io);

  ServiceDirFixture dir;
  ProgramServer program(dir);
  ASSERT_TRUE(program.listening()) << dir.log();

  const std::string start = request_line(
      dir.token(), R"({"cmd":"start","config":{"fake":{"run_connect_port":)" +
                       std::to_string(core_watch.port()) + R"(,"run_child_connect_port":)" +
                       std::to_string(helper_watch.port()) + "}}}");
  const Client::Received reply = round_trip(server::CONTROL_PORT, start, false, 60s);
  ASSERT_TRUE(reply.bytes.starts_with(R"({"ok":true,"running":true)")) << reply.bytes << dir.log();
  const auto core = core_watch.accept_pid(30s);
  const auto helper = helper_watch.accept_pid(30s);
  ASSERT_TRUE(core && helper);
  ASSERT_FALSE(process_has_ended(*core));
  ASSERT_FALSE(process_has_ended(*helper));

  program.process().terminate();
  (void)program.process().wait();
  EXPECT_TRUE(wait_until([&] { return process_has_ended(*core); }, 15s))
      << "the core outlived the killed service";

  ProgramServer next(dir);
  // The first run's listening line is there already.
  ASSERT_TRUE(
      wait_until([&] { return count_lines(dir.log(), "listening on 127.0.0.1:17895") == 2; }, 30s))
      << dir.log();
  EXPECT_TRUE(wait_until([&] { return process_has_ended(*helper); }, 15s))
      << "what the core started outlived the killed service and its next start";
  EXPECT_EQ(count_lines(dir.log(), "ended 1 leftover processes of a previous run\n"),
            WINDOWS ? 0u : 1u)
      << dir.log();
}

}  // namespace
}  // namespace tavrel::testing

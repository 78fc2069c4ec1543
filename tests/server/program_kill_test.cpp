#include <gtest/gtest.h>

#include <asio.hpp>
#include <istream>
#include <string>

#include "server/connection_client.h"

namespace tavrel::testing {
namespace {

// A killed service (SIGKILL, TerminateProcess) must not leave its SYSTEM core behind.
TEST(ProgramKill, KilledServiceTakesItsCoreAlong) {
  asio::io_context io;
  asio::ip::tcp::acceptor watch(io, {asio::ip::address_v4::loopback(), 0});
  const std::uint16_t watch_port = watch.local_endpoint().port();

  ServiceDirFixture dir;
  ProgramServer program(dir);
  ASSERT_TRUE(program.listening()) << dir.log();

  const std::string start = request_line(
      dir.token(), R"({"cmd":"start","config":{"fake":{"run_connect_port":)" + std::to_string(watch_port) + "}}}");
  const Client::Received reply = round_trip(server::CONTROL_PORT, start, false, 60s);
  ASSERT_TRUE(reply.bytes.starts_with(R"({"ok":true,"running":true)")) << reply.bytes << dir.log();

  // The core connects back and keeps the connection open for as long as it lives.
  asio::ip::tcp::socket core(io);
  asio::error_code accepted = asio::error::would_block;
  watch.async_accept(core, [&](asio::error_code ec) { accepted = ec; });
  io.run_for(30s);
  ASSERT_FALSE(accepted) << accepted.message();

  // The core's first line is its process id; the process itself is watched from here on, as
  // Wine may keep a killed process's socket open for a while.
  asio::streambuf line;
  asio::error_code read_error;
  asio::read_until(core, line, '\n', read_error);
  ASSERT_FALSE(read_error) << read_error.message();
  std::string pid_text;
  std::getline(std::istream(&line), pid_text);
  const auto pid = static_cast<std::uint32_t>(std::stoul(pid_text));
  ASSERT_FALSE(process_has_ended(pid));

  program.process().terminate();
  (void)program.process().wait();

  EXPECT_TRUE(wait_until([&] { return process_has_ended(pid); }, 15s)) << "the core outlived the killed service";
}

}  // namespace
}  // namespace tavrel::testing

#include <gtest/gtest.h>

#include <string>

#include "server/connection_client.h"
#include "server/state_fixture.h"

namespace tavrel::testing {
namespace {

const bool WINDOWS = platform::SERVICE_EXE_NAME.ends_with(".exe");

// A killed service (SIGKILL, TerminateProcess) must leave nothing of its SYSTEM core running:
// the core dies with it, and what the core started dies too, at once (Windows: the job) or at
// the next start-up of the service in the same directory (POSIX). The processes themselves
// are watched, as Wine may keep a killed process's socket open for a while. The next start
// binds the port again, though the killed one held it exclusively.
TEST(ProgramKill, KilledServiceLeavesNothingOfItsCoreRunning) {
  server::fixture::CoreLinks cores, helpers;
  ServiceDirFixture dir;
  ProgramServer program(dir);
  ASSERT_TRUE(program.listening()) << dir.log();

  const std::string start =
      request_line(dir.token(), R"({"cmd":"start","config":{"fake":{"run_connect_port":)" +
                                    std::to_string(cores.port()) + R"(,"run_child_connect_port":)" +
                                    std::to_string(helpers.port()) + "}}}");
  const Client::Received reply = round_trip(server::CONTROL_PORT, start, false, 60s);
  ASSERT_TRUE(reply.bytes.starts_with(R"({"ok":true,"running":true)")) << reply.bytes << dir.log();
  const auto core = cores.next(30s);
  const auto helper = helpers.next(30s);
  ASSERT_TRUE(core && helper);
  ASSERT_FALSE(process_has_ended(core->pid()));

  program.process().terminate();
  (void)program.process().wait();
  EXPECT_TRUE(wait_until([&] { return process_has_ended(core->pid()); }, 15s))
      << "the core outlived the killed service";

  ProgramServer next(dir);
  // The first run's listening line is there already.
  ASSERT_TRUE(
      wait_until([&] { return count_lines(dir.log(), "listening on 127.0.0.1:17895") == 2; }, 30s))
      << dir.log();
  EXPECT_TRUE(wait_until([&] { return process_has_ended(helper->pid()); }, 15s))
      << "what the core started outlived the killed service and its next start";
  EXPECT_EQ(count_lines(dir.log(), "ended 1 leftover processes of a previous run\n"),
            WINDOWS ? 0u : 1u)
      << dir.log();
}

}  // namespace
}  // namespace tavrel::testing

#include "server/handlers.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "protocol/protocol.h"
#include "server/state_fixture.h"

namespace tavrel::server {
namespace {

using namespace fixture;
using protocol::Request;

const std::string WAKE_DECLINED = "这个系统上由应用自己唤醒电脑";

std::string answer(const StateFixture& f, Request request) {
  return protocol::encode_response(handle_request(std::move(request), f.state()));
}

TEST(Handlers, VersionReportsTheProbedCoreOrLeavesItOut) {
  StateFixture f;
  const std::string tail = R"(,"log_path":)" + f.log_path_json() + "}\n";
  EXPECT_EQ(answer(f, Request{Request::Version{}}),
            R"({"ok":true,"version":"1.1.1","protocol":2,"singbox_version":"1.11.4-fake")" + tail);

  ASSERT_TRUE(platform::remove_all(f.core_exe()));
  EXPECT_EQ(answer(f, Request{Request::Version{}}), R"({"ok":true,"version":"1.1.1","protocol":2)" + tail);
}

TEST(Handlers, StatusStopAndScheduleWakeWithoutACore) {
  StateFixture f;
  const struct {
    const char* name;
    Request request;
    std::string line;
  } cases[] = {
      {"status", Request{Request::Status{}}, R"({"ok":true,"running":false,"log_path":)" + f.log_path_json() + "}\n"},
      {"stop", Request{Request::Stop{}}, "{\"ok\":true,\"running\":false}\n"},
      {"wake without at", Request{Request::ScheduleWake{}},
       R"({"ok":false,"error":")" + WAKE_DECLINED + "\"}\n"},
      {"wake with at", Request{Request::ScheduleWake{1700000000}},
       R"({"ok":false,"error":")" + WAKE_DECLINED + "\"}\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(answer(f, c.request), c.line) << c.name;
  EXPECT_EQ(f.log(), "");
}

TEST(Handlers, StatusOfARunningCoreThenStop) {
  StateFixture f;
  CoreLinks links;
  ASSERT_TRUE(f.launch({{"run_connect_port", links.port()}}));
  // Asked at once, before the core could have run a second.
  const std::string status = answer(f, Request{Request::Status{}});
  auto core = links.next();
  ASSERT_TRUE(core);
  const std::string pid = std::to_string(core->pid());
  EXPECT_EQ(status, R"({"ok":true,"running":true,"pid":)" + pid + R"(,"uptime_secs":0,"log_path":)" +
                        f.log_path_json() + "}\n");

  EXPECT_EQ(answer(f, Request{Request::Stop{}}), "{\"ok\":true,\"running\":false}\n");
  EXPECT_TRUE(core->gone());
  EXPECT_EQ(f.log_lines(), (std::vector<std::string>{"core started, pid " + pid, "core stopped, pid " + pid}));
  EXPECT_EQ(answer(f, Request{Request::Status{}}),
            R"({"ok":true,"running":false,"log_path":)" + f.log_path_json() + "}\n");
}

TEST(Handlers, UptimeIsWholeSecondsRoundedDown) {
  StateFixture f;
  const auto before = Clock::now();
  ASSERT_TRUE(f.launch({}));
  const auto after = Clock::now();
  // The launch instant lies between `before` and `after`; ask once that is at least one
  // and less than two seconds ago, whichever it was.
  ASSERT_LT(after - before, 400ms) << "launch took too long to bound the uptime";
  std::this_thread::sleep_until(before + 1500ms);
  const Request status{Request::Status{}};
  const auto response = handle_request(status, f.state());
  ASSERT_LT(Clock::now() - after, 1900ms);
  ASSERT_TRUE(response.uptime_secs);
  EXPECT_EQ(*response.uptime_secs, 1u);
}

TEST(Handlers, StatusTellsHowACoreThatEndedByItselfEndedUntilAStop) {
  StateFixture f;
  CoreLinks links;
  ASSERT_TRUE(f.launch({{"run_connect_port", links.port()}, {"run_exit_after_ms", 0}, {"run_exit_code", 7}}));
  auto core = links.next();
  ASSERT_TRUE(core);
  ASSERT_TRUE(core->gone());

  // The core closes its end of the link just before it exits.
  const std::string exited = R"({"ok":true,"running":false,"exit_code":7,"log_path":)" + f.log_path_json() + "}\n";
  EXPECT_TRUE(eventually([&] { return answer(f, Request{Request::Status{}}) == exited; }, 5s));
  EXPECT_EQ(answer(f, Request{Request::Status{}}), exited);
  // Forgotten, so a stop has nothing to stop and nothing to log; it clears the exit code.
  EXPECT_EQ(answer(f, Request{Request::Stop{}}), "{\"ok\":true,\"running\":false}\n");
  EXPECT_EQ(answer(f, Request{Request::Status{}}),
            R"({"ok":true,"running":false,"log_path":)" + f.log_path_json() + "}\n");
  const std::string pid = std::to_string(core->pid());
  EXPECT_EQ(f.log_lines(), (std::vector<std::string>{"core started, pid " + pid, "core exited with code 7, pid " + pid}));
}

TEST(Handlers, StartRepliesRunningOrTheErrorChain) {
  StateFixture f;
  EXPECT_EQ(answer(f, Request{Request::Start{json::object(), {}}}),
            R"({"ok":true,"running":true,"log_path":)" + f.log_path_json() + "}\n");

  const json refused = {{"fake", {{"check_exit", 1}, {"check_stderr", {"FATAL[0000] bad \"inbound\""}}}}};
  EXPECT_EQ(answer(f, Request{Request::Start{refused, {}}}),
            R"({"ok":false,"error":"配置校验失败：FATAL[0000] bad \"inbound\""})"
            "\n");

  EXPECT_EQ(answer(f, Request{Request::Start{json::object(), {{"a b.srs", "AQ=="}}}}),
            R"({"ok":false,"error":"非法的规则集文件名：a b.srs"})"
            "\n");
}

// Only a status request and a successful start renew the lease.
TEST(Handlers, WhichRequestsRenewTheLease) {
  StateFixture f;
  const json refused = {{"fake", {{"check_exit", 1}}}};
  const struct {
    const char* name;
    Request request;
    bool renews;
  } cases[] = {
      {"version", Request{Request::Version{}}, false},
      {"stop", Request{Request::Stop{}}, false},
      {"schedule_wake", Request{Request::ScheduleWake{}}, false},
      {"failed start", Request{Request::Start{refused, {}}}, false},
      {"status", Request{Request::Status{}}, true},
      {"start", Request{Request::Start{json::object(), {}}}, true},
      {"stop after start", Request{Request::Stop{}}, false},
  };
  for (const auto& c : cases) {
    std::this_thread::sleep_for(300ms);
    const auto before = f.state()->last_contact.elapsed();
    ASSERT_GE(before, 300ms);
    const auto started = Clock::now();
    handle_request(c.request, f.state());
    const auto ended = Clock::now();
    const auto after = f.state()->last_contact.elapsed();
    if (c.renews) {
      EXPECT_LE(after, Clock::now() - started) << c.name;
    } else {
      EXPECT_GE(after, before + (ended - started)) << c.name;
    }
  }
}

}  // namespace
}  // namespace tavrel::server

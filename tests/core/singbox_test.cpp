#include "core/singbox.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/fake_core_dir.h"
#include "platform/error.h"
#include "platform/process.h"

namespace tavrel::core {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

TEST(RunCheck, AcceptsWithExitCodeZeroAndPassesTheArguments) {
  testing::FakeCoreDir dir;
  dir.write_config({{"check_stderr", {"a warning"}}});
  auto check = run_check(dir.path(), dir.config(), dir.work());
  ASSERT_TRUE(check) << check.error().chain();
  EXPECT_EQ(check->exit_code, 0);
  EXPECT_FALSE(check->timed_out);
  EXPECT_EQ(check->stderr_bytes, "a warning\n");
  const auto record =
      json::parse(testing::read_file(platform::join(dir.work(), "fake-core-check.json")));
  EXPECT_EQ(record["args"],
            json({platform::to_utf8(dir.core()), "check", "--disable-color", "-c",
                  platform::to_utf8(dir.config()), "-D", platform::to_utf8(dir.work())}));
  // Only the system's own directories: a program or library found along PATH never comes
  // from a directory an ordinary user may write.
  EXPECT_EQ(record["path"], platform::to_utf8(platform::system_search_path(dir.core())));
#ifdef _WIN32
  EXPECT_EQ(record["path"].get<std::string>().find(platform::to_utf8(dir.path()) + ";"), 0u);
#else
  EXPECT_EQ(record["path"], "/usr/sbin:/usr/bin:/sbin:/bin");
#endif
}

TEST(RunCheck, RefusalKeepsTheErrorOutputAsWritten) {
  testing::FakeCoreDir dir;
  dir.write_config({{"check_exit", 1},
                    {"check_stdout", {"not shown"}},
                    {"check_stderr", {"line one\r", "", "  line two  "}},
                    {"check_stderr_raw", "tail without line feed"}});
  auto check = run_check(dir.path(), dir.config(), dir.work());
  ASSERT_TRUE(check) << check.error().chain();
  EXPECT_EQ(check->exit_code, 1);
  EXPECT_EQ(check->stderr_bytes, "line one\r\n\n  line two  \ntail without line feed");
}

// Given up at its time limit, or at once when the service stops: either way refused, with a
// last line that says why.
TEST(RunCheck, ACheckGivenUpIsRefusedWithALineThatSaysWhy) {
  for (const bool stopping : {false, true}) {
    SCOPED_TRACE(stopping ? "service stops" : "time limit");
    testing::FakeCoreDir dir;
    dir.write_config({{"check_sleep_ms", 20000}});
    StopFlag stop;
    std::thread stopper([&] {
      std::this_thread::sleep_for(300ms);
      if (stopping) stop.raise(StopCause::ServiceStop);
    });
    const auto start = Clock::now();
    auto check = run_check(dir.path(), dir.config(), dir.work(), stopping ? 60s : 300ms, &stop);
    const auto took = Clock::now() - start;
    stopper.join();
    ASSERT_TRUE(check) << check.error().chain();
    EXPECT_LT(took, stopping ? 3s : 10s);
    EXPECT_TRUE(check->timed_out);
    EXPECT_NE(check->exit_code, 0);
    EXPECT_EQ(check->stderr_bytes, stopping ? CHECK_CANCELLED_LINE : CHECK_TIMED_OUT_LINE);
  }
}

TEST(RunCheck, MissingCoreCannotBeRun) {
  testing::TempDir dir("tavrel 无核心");
  auto check = run_check(dir.path(), platform::join(dir.path(), "config.json"),
                         platform::join(dir.path(), "work"));
  ASSERT_FALSE(check);
  EXPECT_EQ(check.error().chain(),
            std::string(CHECK_START_FAILED) + ": " + platform::system_error_text(2));
}

}  // namespace
}  // namespace tavrel::core

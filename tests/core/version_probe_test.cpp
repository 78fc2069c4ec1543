#include "core/version_probe.h"

#include <gtest/gtest.h>

#include "core/fake_core_dir.h"

namespace tavrel::core {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ParseVersionOutput, TakesTheThirdWordOfTheFirstLine) {
  struct Case {
    std::string output;
    std::optional<std::string> version;
  };
  const Case cases[] = {
      {"sing-box version 1.11.4\nEnvironment: go1.23\n", "1.11.4"},
      {"sing-box  version\t1.12.0-beta.1 extra\n", "1.12.0-beta.1"},
      {"anything at all 2.0\n", "all"},
      {"sing-box version 1.11.4\r\nnext\r\n", "1.11.4"},
      {"sing-box version 1.11.4\r", "1.11.4"},  // no line feed: CR is white space then
      {"  sing-box version 1.11.4  ", "1.11.4"},
      {"sing-box\u3000version\u00a01.11.4\n", "1.11.4"},  // Unicode white space separates
      {"sing-box version\n1.11.4 a b\n", std::nullopt},
      {"\nsing-box version 1.11.4\n", std::nullopt},
      {"", std::nullopt},
      {"a b c\xff\n", "c\xef\xbf\xbd"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_version_output(c.output), c.version) << c.output;
  }
}

TEST(ProbeCoreVersion, NothingWithoutACore) {
  testing::TempDir dir;
  EXPECT_EQ(probe_core_version(dir.path()), std::nullopt);
}

TEST(ProbeCoreVersion, RunsTheInstalledCore) {
  testing::FakeCoreDir dir;
  EXPECT_EQ(probe_core_version(dir.path()), "1.11.4-fake");
  ASSERT_TRUE(
      platform::write_file(dir.file("fake-version.txt"), "sing-box version 1.12.1\r\nmore\r\n"));
  EXPECT_EQ(probe_core_version(dir.path()), "1.12.1");
  ASSERT_TRUE(platform::write_file(dir.file("fake-version.txt"), "sing-box version\n1.12.1\n"));
  EXPECT_EQ(probe_core_version(dir.path()), std::nullopt);
}

TEST(ProbeCoreVersion, IgnoresTheExitCode) {
  testing::FakeCoreDir dir;
  ASSERT_TRUE(platform::write_file(dir.file("fake-core.json"), R"({"fake":{"version_exit":5}})"));
  EXPECT_EQ(probe_core_version(dir.path()), "1.11.4-fake");
}

TEST(ProbeCoreVersion, GivesUpAtItsTimeLimit) {
  testing::FakeCoreDir dir;
  ASSERT_TRUE(
      platform::write_file(dir.file("fake-core.json"), R"({"fake":{"version_sleep_ms":20000}})"));
  const auto start = Clock::now();
  EXPECT_EQ(probe_core_version(dir.path(), 300ms), std::nullopt);
  EXPECT_LT(Clock::now() - start, 10s);

  // A stop of the service ends it at once.
  StopFlag stop;
  stop.raise(StopCause::ServiceStop);
  const auto stopped_at = Clock::now();
  EXPECT_EQ(probe_core_version(dir.path(), 60s, &stop), std::nullopt);
  EXPECT_LT(Clock::now() - stopped_at, 3s);
}

}  // namespace
}  // namespace tavrel::core

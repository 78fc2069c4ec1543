#include "files/service_dir.h"

#include <gtest/gtest.h>

#include <regex>

#include "files/service_log.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "support/test_support.h"

namespace tavrel::files {
namespace {

const bool WINDOWS = platform::SERVICE_EXE_NAME.ends_with(".exe");

class EnvGuard {
 public:
  ~EnvGuard() {
    platform::unset_env(SERVICE_DIR_VARIABLE);
    platform::unset_env("ProgramFiles");
  }
};

TEST(ServiceDir, Resolution) {
  EnvGuard guard;
  const std::string sep = WINDOWS ? "\\" : "/";
  const std::string apps = "E:" + sep + "Apps" + sep;
  struct Case {
    const char* override_dir;  // nullptr: absent
    const char* program_files;
    std::string expected;
  } cases[] = {
      {"D:\\svc", nullptr, "D:\\svc"},
      {"D:\\svc\\", nullptr, "D:\\svc\\"},
      {"", nullptr, ""},
      {nullptr, apps.c_str(), apps + "Tavrel" + sep + "service"},
      {nullptr, "", "Tavrel" + sep + "service"},
      {nullptr, nullptr, std::string(platform::DEFAULT_PROGRAM_FILES) + sep + "Tavrel" + sep + "service"},
  };
  for (const auto& c : cases) {
    if (c.override_dir) platform::set_env(SERVICE_DIR_VARIABLE, c.override_dir);
    else platform::unset_env(SERVICE_DIR_VARIABLE);
    if (c.program_files) platform::set_env("ProgramFiles", c.program_files);
    else platform::unset_env("ProgramFiles");
    EXPECT_EQ(platform::to_utf8(service_dir()), c.expected);
  }
}

TEST(ServiceDir, InvalidUnicodeFallsBack) {
  EnvGuard guard;
  platform::set_env_invalid_unicode(SERVICE_DIR_VARIABLE);
  platform::set_env("ProgramFiles", "X");
  const std::string sep = WINDOWS ? "\\" : "/";
  EXPECT_EQ(platform::to_utf8(service_dir()), "X" + sep + "Tavrel" + sep + "service");
  platform::set_env_invalid_unicode("ProgramFiles");
  EXPECT_EQ(platform::to_utf8(service_dir()),
            std::string(platform::DEFAULT_PROGRAM_FILES) + sep + "Tavrel" + sep + "service");
}

TEST(ServiceLog, AppendsTimestampedLinesToTheDirectoryOfTheMoment) {
  EnvGuard guard;
  testing::TempDir temp("日志 log");
  const platform::Path first = platform::join(temp.path(), "one");
  const platform::Path second = platform::join(temp.path(), "two");

  platform::set_env(SERVICE_DIR_VARIABLE, platform::to_utf8(first));
  log_line("lost: no directory yet");
  EXPECT_FALSE(platform::exists(first));

  ASSERT_TRUE(platform::create_directories(first).ok());
  log_line("中文 message");
  log_line("");
  platform::set_env(SERVICE_DIR_VARIABLE, platform::to_utf8(second));
  ASSERT_TRUE(platform::create_directories(second).ok());
  log_line("elsewhere");

  const std::string content = testing::read_file(platform::join(first, SERVICE_LOG_FILE));
  const std::regex shape("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} 中文 message\n"
                         "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \n");
  EXPECT_TRUE(std::regex_match(content, shape)) << content;
  EXPECT_TRUE(testing::read_file(platform::join(second, SERVICE_LOG_FILE)).ends_with(" elsewhere\n"));
}

// Whole lines move to service.log.1 before the log would pass its limit; the older half goes.
TEST(ServiceLog, BecomesTheOldLogBeforeItPassesItsLimit) {
  testing::TempDir temp("日志 rotation");
  const platform::Path log = platform::join(temp.path(), SERVICE_LOG_FILE);
  const platform::Path old = platform::join(temp.path(), SERVICE_LOG_OLD_FILE);
  const struct {
    std::string line;
    std::string log, old;
  } steps[] = {
      {"aaaa\n", "aaaa\n", ""},
      {"bbbb\n", "aaaa\nbbbb\n", ""},  // exactly the limit
      {"c\n", "c\n", "aaaa\nbbbb\n"},
      {"dddddddddddddd\n", "dddddddddddddd\n", "c\n"},  // longer than the limit alone
      {"e\n", "e\n", "dddddddddddddd\n"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.line);
    append_bounded(log, old, s.line, 10);
    EXPECT_EQ(testing::read_file(log), s.log);
    EXPECT_EQ(platform::exists(old) ? testing::read_file(old) : "", s.old);
  }
}

}  // namespace
}  // namespace tavrel::files

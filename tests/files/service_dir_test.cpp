#include "files/service_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
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

// What each path of the service directory is given: config.json, work and the start's places
// for SYSTEM and Administrators only, the logs also for interactive users to read, the token
// as well but not for low integrity, the programs for users to run.
TEST(ServiceDirAccess, EachPathGetsTheAccessOfItsKind) {
  const std::string PRIVATE_DIR = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  const std::string PRIVATE_FILE = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
  const std::string LOG = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;IU)";
  const std::string PROGRAM = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  const struct {
    const char* name;
    bool directory;
    std::string sddl;
    std::optional<unsigned> mode;
  } cases[] = {
      {"", true, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;IU)(A;OINPIO;FR;;;IU)", std::nullopt},
      {"config.json", false, PRIVATE_FILE, 0600},
      {"work", true, PRIVATE_DIR, 0700},
      {"staging", true, PRIVATE_DIR, 0700},
      {"swap", true, PRIVATE_DIR, 0700},
      {"children", true, PRIVATE_DIR, 0700},
      {"token", false, LOG + "S:(ML;;NR;;;ME)", 0640},
      {"service.log", false, LOG, 0640},
      {"service.log.1", false, LOG, 0640},
      {"core.log", false, LOG, 0640},
      {"core.log.1", false, LOG, 0640},
      {"tavrel-service.exe", false, PROGRAM, std::nullopt},
      {"sing-box.exe", false, PROGRAM, std::nullopt},
      {"wintun.dll", false, PROGRAM, std::nullopt},
  };
  EXPECT_FALSE(access_of("rulesets")) << "below work: inherited";

  testing::TempDir temp("权限 access");
  const platform::Path dir = platform::join(temp.path(), "svc");
  ASSERT_TRUE(platform::create_directories(dir));
  for (const auto& c : cases) {
    if (*c.name == 0) continue;
    const platform::Path path = platform::join(dir, c.name);
    ASSERT_TRUE(c.directory ? platform::create_directories(path) : platform::write_file(path, "x"));
  }
  auto secured = secure_service_files(dir);
  ASSERT_TRUE(secured) << secured.error().chain();
  auto dir_access = platform::file_access_text(dir);
  ASSERT_TRUE(dir_access);
  const std::string dir_group = dir_access->substr(dir_access->find(" group ") + 1);

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto kind = access_of(c.name);
    ASSERT_TRUE(kind);
    EXPECT_EQ(platform::access_sddl(*kind), c.sddl);
    EXPECT_EQ(platform::access_mode(*kind), c.mode);
    const platform::Path path = *c.name == 0 ? dir : platform::join(dir, c.name);
    auto access = platform::file_access_text(path);
    ASSERT_TRUE(access) << access.error().chain();
    if (WINDOWS) {
      // Windows keeps the DACL as given. Wine keeps none, and shows one derived from the mode
      // bits of the file as it was made: there is nothing to read back.
      if (access->starts_with("D:P")) {
        EXPECT_NE(access->find(c.sddl.substr(3, c.sddl.find("S:") - 3)), std::string::npos) << *access;
      }
    } else if (c.mode) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", *c.mode);
      EXPECT_TRUE(access->starts_with("mode " + std::string(mode))) << *access;
      if (*c.mode == 0640) {
        EXPECT_TRUE(access->ends_with(dir_group)) << *access;
      }
    }
  }
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

#include "platform/program_lookup.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "support/test_support.h"

namespace tavrel::platform {
namespace {

const bool WINDOWS = SERVICE_EXE_NAME.ends_with(".exe");

// Sets PATH for one test and puts the old value back.
class PathGuard {
 public:
  explicit PathGuard(const std::string& value) : saved_(env_path("PATH")) {
    set_env("PATH", value);
  }
  ~PathGuard() {
    if (saved_)
      set_env("PATH", to_utf8(*saved_));
    else
      unset_env("PATH");
  }

 private:
  std::optional<Path> saved_;
};

class CurrentDirGuard {
 public:
  explicit CurrentDirGuard(const Path& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirGuard() { std::filesystem::current_path(saved_); }

 private:
  Path saved_;
};

std::string exe_name(const std::string& base) { return WINDOWS ? base + ".exe" : base; }

// A program file in `dir`, executable on POSIX (the stand-in core copied under another name).
Path plant(const Path& dir, const std::string& name) {
  const Path file = join(dir, name);
  EXPECT_TRUE(platform::copy_file(testing::helper_program("fake-core"), file));
  return file;
}

TEST(FindProgram, LooksBesideTheProgramFirst) {
  PathGuard path("");
  auto found = find_program(exe_name("fake-sc"));
  ASSERT_TRUE(found) << found.error().chain();
  EXPECT_EQ(found.value(), testing::helper_program("fake-sc"));
}

TEST(FindProgram, SearchesPathButNeverTheCurrentDirectory) {
  testing::TempDir listed("tavrel 路径 listed");
  testing::TempDir current("tavrel cwd");
  const std::string name = exe_name("tavrel-lookup-probe");
  const Path in_path = plant(listed.path(), name);
  plant(current.path(), name);

  CurrentDirGuard cwd(current.path());
  const std::string sep = WINDOWS ? ";" : ":";
  {
    PathGuard path("." + sep + sep + to_utf8(listed.path()));
    auto found = find_program(name);
    ASSERT_TRUE(found) << found.error().chain();
    EXPECT_EQ(found.value(), in_path);
  }
  {
    PathGuard path(".");
    auto found = find_program(name);
    ASSERT_FALSE(found) << to_utf8(found.value());
    EXPECT_EQ(found.error().chain(), system_error_text(2));
  }
}

TEST(FindProgram, WindowsFindsItsOwnToolsWithoutPath) {
  if (!WINDOWS) GTEST_SKIP() << "only Windows searches a system directory";
  PathGuard path("");
  auto found = find_program("sc.exe");
  ASSERT_TRUE(found) << found.error().chain();
  EXPECT_TRUE(platform::is_regular_file(found.value()));
}

}  // namespace
}  // namespace tavrel::platform

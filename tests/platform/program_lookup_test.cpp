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

// A program file in `dir`, executable on POSIX (the stand-in core copied under another name).
Path plant(const Path& dir, const std::string& name) {
  const Path file = join(dir, name);
  EXPECT_TRUE(platform::copy_file(testing::helper_program("fake-core"), file));
  return file;
}

TEST(FindTool, PosixLooksBesideTheProgramFirst) {
  if (WINDOWS) GTEST_SKIP() << "Windows looks only in its system directory";
  PathGuard path("");
  auto found = find_tool("fake-sc");
  ASSERT_TRUE(found) << found.error().chain();
  EXPECT_EQ(found->program, testing::helper_program("fake-sc"));
  EXPECT_TRUE(found->working_dir.empty());
}

TEST(FindTool, PosixSearchesPathButNeverTheCurrentDirectory) {
  if (WINDOWS) GTEST_SKIP() << "Windows looks only in its system directory";
  testing::TempDir listed("tavrel 路径 listed");
  testing::TempDir current("tavrel cwd");
  const std::string name = "tavrel-lookup-probe";
  const Path in_path = plant(listed.path(), name);
  plant(current.path(), name);

  CurrentDirGuard cwd(current.path());
  {
    PathGuard path(".::" + to_utf8(listed.path()));
    auto found = find_tool(name);
    ASSERT_TRUE(found) << found.error().chain();
    EXPECT_EQ(found->program, in_path);
  }
  {
    PathGuard path(".");
    auto found = find_tool(name);
    ASSERT_FALSE(found) << to_utf8(found->program);
    EXPECT_EQ(found.error().chain(), system_error_text(2));
  }
}

// An elevated install run from a download folder must not run what was planted there.
TEST(FindTool, WindowsRunsOnlyTheSystemDirectorysTool) {
  if (!WINDOWS) GTEST_SKIP() << "only Windows has a system directory";
  testing::TempDir listed("tavrel 路径 listed");
  testing::TempDir current("tavrel cwd");
  plant(listed.path(), "sc.exe");
  plant(current.path(), "sc.exe");
  CurrentDirGuard cwd(current.path());
  PathGuard path(to_utf8(listed.path()) + ";.");
  // Beside this program, where a lookup of the program's own directory would find it.
  const Path beside = plant(testing::helper_program("fake-sc").parent_path(), "tavrel-probe.exe");
  auto probe = find_tool("tavrel-probe.exe");
  EXPECT_TRUE(platform::remove_all(beside));
  EXPECT_FALSE(probe) << to_utf8(probe->program);

  auto found = find_tool("sc.exe");
  ASSERT_TRUE(found) << found.error().chain();
  EXPECT_EQ(found->program, join(found->working_dir, "sc.exe"));
  EXPECT_TRUE(platform::is_regular_file(found->program));
  EXPECT_NE(found->working_dir, listed.path());
  EXPECT_NE(found->working_dir, current.path());
}

}  // namespace
}  // namespace tavrel::platform

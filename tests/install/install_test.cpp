// install and uninstall, run as a child: a copy of the program, the stand-in sc where the
// program looks for it, and the service directory in a temporary place.
#include "install/install.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "files/service_dir.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/program_lookup.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace tavrel::install {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::Path;

const bool WINDOWS = platform::SERVICE_EXE_NAME.ends_with(".exe");
constexpr std::string_view SC_DIR_VARIABLE = "TAVREL_FAKE_SC_DIR";

struct ScCall {
  std::vector<std::string> args;
  long long ms = 0;
  std::string cwd;
  std::string exe_dir;
};

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::copy_file(testing::service_program(), program_));
    // POSIX looks beside the program first: the stand-in goes there. Windows runs only the
    // system directory's sc.exe, the stand-in in the prefix these tests run in; a decoy
    // planted beside the program must never run.
    ASSERT_TRUE(platform::copy_file(testing::helper_program(WINDOWS ? "fake-core" : "fake-sc"),
                                    join(bin_.path(), platform::SC_EXE_NAME)));
    if (WINDOWS) {
      auto sc = platform::find_tool(platform::SC_EXE_NAME);
      ASSERT_TRUE(sc && testing::read_file(sc->program) ==
                            testing::read_file(testing::helper_program("fake-sc")))
          << "run by tests/install/wine_sc_prefix.sh, in a prefix whose sc.exe is the stand-in";
    }
    platform::set_env(SC_DIR_VARIABLE, platform::to_utf8(sc_dir_.path()));
    ASSERT_TRUE(platform::write_file(core_, "core bytes"));
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir_));
  }
  void TearDown() override {
    platform::unset_env(files::SERVICE_DIR_VARIABLE);
    platform::unset_env(SC_DIR_VARIABLE);
  }

  static Path join(const Path& dir, std::string_view name) { return platform::join(dir, name); }

  void script(const json& answers) {
    ASSERT_TRUE(platform::write_file(join(sc_dir_.path(), "fake-sc-script.json"), answers.dump()));
  }

  platform::CapturedRun run(const std::vector<std::string>& args) {
    std::vector<Path> native;
    for (const auto& a : args) native.push_back(platform::from_utf8(a));
    auto ran = platform::run_captured(program_, native, 60s);
    EXPECT_TRUE(ran) << ran.error().chain();
    if (!ran) return {};
    EXPECT_FALSE(ran->timed_out);
    return std::move(ran).value();
  }

  std::vector<ScCall> calls() const {
    std::vector<ScCall> out;
    const std::string text = testing::read_file(calls_file());
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      const json line = json::parse(text.substr(start, end - start));
      out.push_back({line["args"].get<std::vector<std::string>>(), line["ms"].get<long long>(),
                     line["cwd"].get<std::string>(), line["exe_dir"].get<std::string>()});
    }
    return out;
  }

  Path calls_file() const { return join(sc_dir_.path(), "fake-sc-calls.jsonl"); }

  std::vector<std::vector<std::string>> call_args() const {
    std::vector<std::vector<std::string>> out;
    for (auto& c : calls()) out.push_back(c.args);
    return out;
  }

  std::string dir_text() const { return platform::to_utf8(dir_); }
  std::string bin_path() const {
    return "\"" + platform::to_utf8(join(dir_, platform::SERVICE_EXE_NAME)) + "\" run";
  }
  std::string log() const { return testing::read_file(join(dir_, files::SERVICE_LOG_FILE)); }

  testing::TempDir bin_{"tavrel install bin"};
  // The stand-in's script and calls, apart from those of any test running beside this one.
  testing::TempDir sc_dir_{"tavrel install sc"};
  testing::TempDir root_{"tavrel install root"};
  testing::TempDir source_{"tavrel 内核 source"};
  const Path program_ = join(bin_.path(), platform::SERVICE_EXE_NAME);
  // Not there yet: the first install creates it.
  const Path dir_ = join(root_.path(), "Tavrel 服务");
  const Path core_ = join(source_.path(), "core-build");
};

const std::vector<std::string> DESCRIPTION_CALL = {"description", "TavrelService",
                                                   "Tavrel TUN helper (runs sing-box as SYSTEM)"};
const std::vector<std::string> FAILURE_CALL = {
    "failure", "TavrelService", "reset=",
    "86400",   "actions=",      "restart/5000/restart/5000/restart/60000"};
const std::vector<std::string> FAILUREFLAG_CALL = {"failureflag", "TavrelService", "1"};
const std::vector<std::string> START_CALL = {"start", "TavrelService"};

TEST_F(Install, FirstInstallCreatesAndStartsTheService) {
  script({{"query",
           {{"exit", 1060}, {"stdout", "[SC] EnumQueryServicesStatus:OpenService FAILED 1060"}}}});
  ASSERT_TRUE(platform::write_file(join(source_.path(), "wintun.dll"), "driver bytes"));

  // Operands after the first are ignored.
  const auto result = run({"install", platform::to_utf8(core_), "second", "third"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "installed to " + dir_text() + "\n");
  EXPECT_EQ(result.err, "");

  const std::vector<std::vector<std::string>> expected = {
      {"query", "TavrelService"},
      {"create", "TavrelService", "binPath=", bin_path(), "start=", "auto",
       "DisplayName=", "Tavrel Service"},
      DESCRIPTION_CALL,
      FAILURE_CALL,
      FAILUREFLAG_CALL,
      START_CALL,
  };
  EXPECT_EQ(call_args(), expected);
  // Windows starts sc.exe in its own directory, not where the install was started.
  if (WINDOWS) {
    for (const ScCall& call : calls()) EXPECT_EQ(call.cwd, call.exe_dir) << call.args[0];
  }

  EXPECT_EQ(testing::read_file(join(dir_, platform::SERVICE_EXE_NAME)),
            testing::read_file(program_));
  EXPECT_EQ(testing::read_file(join(dir_, platform::CORE_EXE_NAME)), "core bytes");
  EXPECT_EQ(testing::read_file(join(dir_, "wintun.dll")), "driver bytes");
  EXPECT_TRUE(platform::exists(join(dir_, "work")));
  EXPECT_FALSE(platform::is_regular_file(join(dir_, "work")));
  for (const char* transient : {"tavrel-service.tmp", "sing-box.tmp", "wintun.tmp"}) {
    EXPECT_FALSE(platform::exists(join(dir_, transient))) << transient;
  }
}

TEST_F(Install, ReinstallStopsPausesAndReconfigures) {
  script({{"query", {{"exit", 0}}}, {"stop", {{"exit", 1062}, {"stderr", "not started"}}}});
  ASSERT_TRUE(platform::create_directories(dir_));
  ASSERT_TRUE(platform::write_file(join(dir_, platform::SERVICE_EXE_NAME), "old service"));
  ASSERT_TRUE(platform::write_file(join(dir_, platform::CORE_EXE_NAME), "old core"));
  ASSERT_TRUE(platform::write_file(join(dir_, "sing-box.tmp"), "left by an earlier failure"));

  const auto result = run({"install", platform::to_utf8(core_)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "installed to " + dir_text() + "\n");

  const auto recorded = calls();
  const std::vector<std::vector<std::string>> expected = {
      {"query", "TavrelService"},
      {"stop", "TavrelService"},
      {"config", "TavrelService", "binPath=", bin_path(), "start=", "auto"},
      DESCRIPTION_CALL,
      FAILURE_CALL,
      FAILUREFLAG_CALL,
      START_CALL,
  };
  EXPECT_EQ(call_args(), expected);
  ASSERT_GE(recorded.size(), 3u);
  EXPECT_GE(recorded[2].ms - recorded[1].ms, 2000);

  EXPECT_EQ(testing::read_file(join(dir_, platform::SERVICE_EXE_NAME)),
            testing::read_file(program_));
  EXPECT_EQ(testing::read_file(join(dir_, platform::CORE_EXE_NAME)), "core bytes");
  EXPECT_FALSE(platform::exists(join(dir_, "sing-box.tmp")));
  // No wintun.dll beside the core: none installed, nothing said about it.
  EXPECT_FALSE(platform::exists(join(dir_, "wintun.dll")));
}

TEST_F(Install, MissingCoreFailsAfterTheServiceProgramIsCopied) {
  script({{"query", {{"exit", 1060}}}});
  const std::string missing = platform::to_utf8(join(source_.path(), "no-such-core"));
  const std::string directory = platform::to_utf8(source_.path());
  for (const std::string& operand : {missing, directory}) {
    const auto result = run({"install", operand});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "错误：文件不存在：" + operand + "\n");
    // The log line goes to the file and to standard output.
    EXPECT_TRUE(result.out.ends_with(" install failed: 文件不存在：" + operand + "\n"))
        << result.out;
    EXPECT_NE(log().find(result.out), std::string::npos) << log();
  }
  EXPECT_TRUE(platform::is_regular_file(join(dir_, platform::SERVICE_EXE_NAME)));
  EXPECT_FALSE(platform::exists(join(dir_, platform::CORE_EXE_NAME)));
  const std::vector<std::vector<std::string>> expected = {{"query", "TavrelService"},
                                                          {"query", "TavrelService"}};
  EXPECT_EQ(call_args(), expected);
}

TEST_F(Install, RejectedStepFailsWithScErrorText) {
  struct Case {
    json script;
    std::vector<std::string> rejected;
    std::string message_tail;
  } cases[] = {
      {{{"query", {{"exit", 1060}}},
        {"start",
         {{"exit", 1053},
          {"stderr", "\r\n[SC] StartService 失败 1053:\r\n\r\n服务没有及时响应。\r\n\r\n"}}}},
       START_CALL,
       "[SC] StartService 失败 1053:\r\n\r\n服务没有及时响应。"},
      // A display name with a space shows unquoted, though sc got it as one argument.
      {{{"query", {{"exit", 1060}}}, {"create", {{"exit", 1073}}}},
       {"create", "TavrelService", "binPath=", bin_path(), "start=", "auto",
        "DisplayName=", "Tavrel Service"},
       ""},
      // The system's sc.exe says why on standard output.
      {{{"query", {{"exit", 1060}}},
        {"start",
         {{"exit", 1058},
          {"stdout", "[SC] StartService FAILED 1058:\r\n\r\nThe service is disabled.\r\n"},
          {"stderr", " \r\n"}}}},
       START_CALL,
       "[SC] StartService FAILED 1058:\r\n\r\nThe service is disabled."},
      {{{"query", {{"exit", 0}}}, {"config", {{"exit", 1}, {"stderr_hex", "ff206261640a"}}}},
       {"config", "TavrelService", "binPath=", bin_path(), "start=", "auto"},
       // Not UTF-8: read in the console's code page (POSIX: U+FFFD).
       std::string(text::trim_unicode_space(
           platform::decode_console_output("\xff bad\n", platform::console_code_page())))},
  };
  for (const Case& c : cases) {
    script(c.script);
    std::string joined = "sc.exe";
    for (const auto& a : c.rejected) joined += " " + a;
    const std::string message = joined + " 失败: " + c.message_tail;

    const auto result = run({"install", platform::to_utf8(core_)});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "错误：" + message + "\n");
    EXPECT_TRUE(result.out.ends_with(" install failed: " + message + "\n")) << result.out;
    EXPECT_NE(log().find(result.out), std::string::npos) << log();
    const auto recorded = call_args();
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back(), c.rejected);
    ASSERT_TRUE(platform::remove_all(calls_file()));
  }
}

// Without recovery the service still runs: a warning with the reason, and the install goes on.
TEST_F(Install, RejectedRecoveryWarnsAndTheInstallSucceeds) {
  std::string failure_joined = "sc.exe";
  for (const auto& a : FAILURE_CALL) failure_joined += " " + a;
  struct Case {
    json script;
    std::vector<std::string> last_recovery_call;
    std::string reason;
  } cases[] = {
      // sc's text may run over several lines; the warning stays one.
      {{{"query", {{"exit", 1060}}},
        {"failure", {{"exit", 1}, {"stderr", "Usage:\r\n  sc failure <name>\r\n"}}}},
       FAILURE_CALL,
       failure_joined + " 失败: Usage:    sc failure <name>"},
      {{{"query", {{"exit", 1060}}}, {"failureflag", {{"exit", 1}}}},
       FAILUREFLAG_CALL,
       "sc.exe failureflag TavrelService 1 失败: "},
  };
  for (const Case& c : cases) {
    script(c.script);
    const auto result = run({"install", platform::to_utf8(core_)});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "installed to " + dir_text() + "\n");
    EXPECT_EQ(result.err, "警告：无法设置服务的故障恢复：" + c.reason + "\n");
    const auto recorded = call_args();
    ASSERT_GE(recorded.size(), 2u);
    EXPECT_EQ(recorded[recorded.size() - 2], c.last_recovery_call);
    EXPECT_EQ(recorded.back(), START_CALL);
    ASSERT_TRUE(platform::remove_all(calls_file()));
  }
}

TEST_F(Install, FailedRenameLeavesTheTransientCopy) {
  script({{"query", {{"exit", 1060}}}});
  // A directory in the way of the service program: the copy succeeds, the move over it fails.
  const Path blocked = join(dir_, platform::SERVICE_EXE_NAME);
  ASSERT_TRUE(platform::create_directories(blocked));
  ASSERT_TRUE(platform::write_file(join(blocked, "inside"), "x"));

  const auto result = run({"install", platform::to_utf8(core_)});
  EXPECT_EQ(result.exit_code, 1);
  const std::string prefix = "错误：安装 " + platform::to_utf8(blocked) + " 失败: ";
  EXPECT_TRUE(result.err.starts_with(prefix)) << result.err;
  EXPECT_TRUE(result.err.ends_with(")\n")) << result.err;
  EXPECT_NE(result.err.find(" (os error "), std::string::npos) << result.err;
  EXPECT_EQ(testing::read_file(join(dir_, "tavrel-service.tmp")), testing::read_file(program_));
  const std::vector<std::vector<std::string>> expected = {{"query", "TavrelService"}};
  EXPECT_EQ(call_args(), expected);
}

// A directory that another user made first would let them replace what runs as SYSTEM.
TEST_F(Install, RefusesAnExistingDirectoryOfAnotherUser) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine shows every file as the running user's own";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a directory to another user";
  script({{"query", {{"exit", 1060}}}});
  constexpr uid_t OTHER = 65534;
  ASSERT_TRUE(platform::create_directories(dir_));
  ASSERT_EQ(::chown(dir_.c_str(), OTHER, OTHER), 0);
  const passwd* other = ::getpwuid(OTHER);
  const std::string owner = other != nullptr ? other->pw_name : std::to_string(OTHER);

  const auto result = run({"install", platform::to_utf8(core_)});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "错误：服务目录 " + dir_text() + " 的所有者是 " + owner +
                            "，不是 Administrators 或 SYSTEM，不能安装到这里\n");
  EXPECT_FALSE(platform::exists(join(dir_, "work")));
  EXPECT_FALSE(platform::exists(join(dir_, platform::SERVICE_EXE_NAME)));
#endif
}

TEST_F(Install, UninstallStopsDeletesAndRemovesTheDirectory) {
  ASSERT_TRUE(platform::create_directories(join(dir_, "work")));
  ASSERT_TRUE(platform::write_file(join(dir_, "work/config.json"), "{}"));
  ASSERT_TRUE(platform::write_file(join(dir_, platform::CORE_EXE_NAME), "core"));

  const auto result = run({"uninstall", "extra"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "uninstalled\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(platform::exists(dir_));

  const auto recorded = calls();
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].args, (std::vector<std::string>{"stop", "TavrelService"}));
  EXPECT_EQ(recorded[1].args, (std::vector<std::string>{"delete", "TavrelService"}));
  EXPECT_GE(recorded[1].ms - recorded[0].ms, 2000);
}

TEST_F(Install, UninstallWithNothingInstalledStillSucceeds) {
  script({{"stop", {{"exit", 1060}, {"stderr", "not installed"}}},
          {"delete", {{"exit", 1060}, {"stderr", "x"}}}});
  const auto result = run({"uninstall"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "uninstalled\n");
  EXPECT_EQ(result.err, "");
  // Uninstall writes no log line, so nothing creates the directory.
  EXPECT_FALSE(platform::exists(dir_));
}

// Only POSIX can take the tool away entirely: Windows also searches its system directory.
TEST_F(Install, WithoutScInstallFailsAndUninstallSucceeds) {
  if (WINDOWS) GTEST_SKIP() << "the system directory always holds sc.exe";
  ASSERT_TRUE(platform::remove_all(join(bin_.path(), platform::SC_EXE_NAME)));
  testing::TempDir empty("tavrel empty path");
  const auto saved_path = platform::env_path("PATH");
  platform::set_env("PATH", platform::to_utf8(empty.path()));

  const auto installed = run({"install", platform::to_utf8(core_)});
  const auto uninstalled = run({"uninstall"});
  if (saved_path) platform::set_env("PATH", platform::to_utf8(*saved_path));

  EXPECT_EQ(installed.exit_code, 1);
  EXPECT_EQ(installed.err, "错误：无法运行 sc.exe: No such file or directory (os error 2)\n");
  EXPECT_FALSE(platform::exists(dir_));
  EXPECT_EQ(uninstalled.exit_code, 0);
  EXPECT_EQ(uninstalled.out, "uninstalled\n");
  EXPECT_EQ(uninstalled.err, "");
}

}  // namespace
}  // namespace tavrel::install

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
  // The installed core at that moment.
  std::string core;
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
  // What each query answers in turn; "1060" is a service that is not registered.
  void states(const std::vector<std::string>& each) {
    std::string lines;
    for (const auto& state : each) lines += state + "\n";
    ASSERT_TRUE(platform::write_file(join(sc_dir_.path(), "fake-sc-states.txt"), lines));
  }
  void forget_calls() { ASSERT_TRUE(platform::remove_all(calls_file())); }

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
                     line["cwd"].get<std::string>(), line["exe_dir"].get<std::string>(),
                     line["core"].is_string() ? line["core"].get<std::string>() : ""});
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

const std::vector<std::string> QUERY_CALL = {"query", "TavrelService"};
const std::vector<std::string> STOP_CALL = {"stop", "TavrelService"};

std::string joined(const std::vector<std::string>& args) {
  std::string text = "sc.exe";
  for (const auto& a : args) text += " " + a;
  return text;
}

TEST_F(Install, FirstInstallCreatesAndStartsTheService) {
  states({"1060", "START_PENDING", "RUNNING"});
  ASSERT_TRUE(platform::write_file(join(source_.path(), "wintun.dll"), "driver bytes"));

  // Operands after the first are ignored.
  const auto result = run({"install", platform::to_utf8(core_), "second", "third"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "installed to " + dir_text() + "\n");
  EXPECT_EQ(result.err, "");

  const std::vector<std::vector<std::string>> expected = {
      QUERY_CALL,
      {"create", "TavrelService", "binPath=", bin_path(), "start=", "auto",
       "DisplayName=", "Tavrel Service"},
      DESCRIPTION_CALL,
      FAILURE_CALL,
      FAILUREFLAG_CALL,
      START_CALL,
      QUERY_CALL,
      QUERY_CALL,
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

// An upgrade over an installed service: files are replaced only once the old service has
// stopped, and any failure after that brings the old files and the old service back.
TEST_F(Install, UpgradeReplacesTheFilesAfterTheStopOrBringsTheOldVersionBack) {
  const std::string config_args_text =
      joined({"config", "TavrelService", "binPath=", bin_path(), "start=", "auto"});
  const std::string runs_again = "\n原有版本已重新运行。";
  struct Case {
    const char* name;
    json script;
    std::vector<std::string> states;
    bool blocked_core = false;
    // Empty: the upgrade succeeds.
    std::string error_head;
    std::string error_tail;
    std::vector<std::string> words;
  } cases[] = {
      // Still starting, then running: the stop is sent again once it can be taken.
      {"slow stop",
       {{"stop", {{"exit", 1061}, {"stderr", "cannot accept control"}, {"call", 1}}}},
       {"START_PENDING", "START_PENDING", "RUNNING", "STOP_PENDING", "STOP_PENDING", "STOPPED",
        "START_PENDING", "RUNNING"},
       false,
       "",
       "",
       {"query", "stop", "query", "query", "stop", "query", "query", "query", "config",
        "description", "failure", "failureflag", "start", "query", "query"}},
      {"already stopped",
       {},
       {"STOPPED", "RUNNING"},
       false,
       "",
       "",
       {"query", "config", "description", "failure", "failureflag", "start", "query"}},
      {"core cannot be moved",
       {},
       {"RUNNING", "STOPPED", "RUNNING"},
       true,
       "安装 " + platform::to_utf8(join(dir_, platform::CORE_EXE_NAME)) + " 失败: ",
       runs_again,
       {"query", "stop", "query", "start", "query"}},
      {"config refused",
       {{"config", {{"exit", 1}, {"stderr", "不支持"}}}},
       {"RUNNING", "STOPPED", "START_PENDING", "RUNNING"},
       false,
       config_args_text + " 失败: 不支持",
       runs_again,
       {"query", "stop", "query", "config", "start", "query", "query"}},
      {"start refused",
       {{"start", {{"exit", 1053}, {"stderr", "no answer"}, {"call", 1}}}},
       {"RUNNING", "STOPPED", "STOPPED", "RUNNING"},
       false,
       "sc.exe start TavrelService 失败: no answer",
       runs_again,
       {"query", "stop", "query", "config", "description", "failure", "failureflag", "start",
        "query", "start", "query"}},
      {"new version stops",
       {},
       {"RUNNING", "STOPPED", "START_PENDING", "STOPPED", "STOPPED", "RUNNING"},
       false,
       "服务启动后未能运行（状态：STOPPED）",
       runs_again,
       {"query", "stop", "query", "config", "description", "failure", "failureflag", "start",
        "query", "query", "query", "start", "query"}},
      {"old version does not start again",
       {{"config", {{"exit", 1}, {"stderr", "不支持"}}},
        {"start", {{"exit", 1058}, {"stderr", "disabled"}}}},
       {"RUNNING", "STOPPED"},
       false,
       config_args_text + " 失败: 不支持",
       "\n原有版本的文件已恢复，但它未能重新启动：sc.exe start TavrelService 失败: disabled",
       {"query", "stop", "query", "config", "start"}},
      {"stopped before, config refused",
       {{"config", {{"exit", 1}, {"stderr", "不支持"}}}},
       {"STOPPED"},
       false,
       config_args_text + " 失败: 不支持",
       "\n原有版本的文件已恢复；它此前未在运行，未启动。",
       {"query", "config"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (platform::exists(dir_)) ASSERT_TRUE(platform::remove_all(dir_));
    ASSERT_TRUE(platform::create_directories(dir_));
    ASSERT_TRUE(platform::write_file(join(dir_, platform::SERVICE_EXE_NAME), "old service"));
    ASSERT_TRUE(platform::write_file(join(dir_, platform::CORE_EXE_NAME), "old core"));
    ASSERT_TRUE(platform::write_file(join(dir_, "wintun.dll"), "old driver"));
    ASSERT_TRUE(platform::write_file(join(dir_, "sing-box.tmp"), "left by an earlier failure"));
    const Path blocker = join(dir_, "sing-box.old");
    if (c.blocked_core) {
      // A directory with something in it where the old core would be set aside.
      ASSERT_TRUE(platform::create_directories(blocker));
      ASSERT_TRUE(platform::write_file(join(blocker, "inside"), "x"));
    }
    script(c.script);
    states(c.states);

    const auto result = run({"install", platform::to_utf8(core_)});
    const auto recorded = calls();
    std::vector<std::string> words;
    for (const auto& call : recorded) words.push_back(call.args.empty() ? "" : call.args[0]);
    EXPECT_EQ(words, c.words);
    for (const auto& call : recorded) {
      if (call.args == STOP_CALL || call.args == START_CALL) continue;
      // Until the old service has stopped, and again once it is started back, the old core is
      // in place.
      const bool new_in_place = call.args[0] == "config" || call.args[0] == "description" ||
                                call.args[0] == "failure" || call.args[0] == "failureflag";
      if (new_in_place) EXPECT_EQ(call.core, "core bytes") << call.args[0];
    }
    // The first start after the recovery settings starts the new version; any other start
    // the old one, put back.
    bool started = false, configured = false;
    for (const auto& call : recorded) {
      if (call.args[0] == "failureflag") configured = true;
      if (call.args[0] != "start") continue;
      EXPECT_EQ(call.core, !started && configured ? "core bytes" : "old core");
      started = true;
    }
    // Nothing is replaced before STOPPED has been read.
    for (std::size_t i = 0; i < recorded.size() && recorded[i].args[0] != "config"; ++i) {
      if (recorded[i].args[0] != "start") EXPECT_EQ(recorded[i].core, "old core") << i;
    }

    if (c.error_head.empty()) {
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(result.out, "installed to " + dir_text() + "\n");
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(testing::read_file(join(dir_, platform::SERVICE_EXE_NAME)),
                testing::read_file(program_));
      EXPECT_EQ(testing::read_file(join(dir_, platform::CORE_EXE_NAME)), "core bytes");
    } else {
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_TRUE(result.err.starts_with("错误：" + c.error_head)) << result.err;
      EXPECT_TRUE(result.err.ends_with(c.error_tail + "\n")) << result.err;
      EXPECT_EQ(testing::read_file(join(dir_, platform::SERVICE_EXE_NAME)), "old service");
      EXPECT_EQ(testing::read_file(join(dir_, platform::CORE_EXE_NAME)), "old core");
    }
    // No wintun.dll beside the new core: the installed one stays as it is.
    EXPECT_EQ(testing::read_file(join(dir_, "wintun.dll")), "old driver");
    EXPECT_EQ(platform::exists(blocker), c.blocked_core);
    for (const char* gone : {"tavrel-service.old", "sing-box.tmp", "tavrel-service.tmp"}) {
      EXPECT_FALSE(platform::exists(join(dir_, gone))) << gone;
    }
    forget_calls();
  }
}

// The one case that costs the whole wait.
TEST_F(Install, StopThatNeverCompletesChangesNothing) {
  states({"RUNNING", "STOP_PENDING"});
  ASSERT_TRUE(platform::create_directories(dir_));
  ASSERT_TRUE(platform::write_file(join(dir_, platform::SERVICE_EXE_NAME), "old service"));
  ASSERT_TRUE(platform::write_file(join(dir_, platform::CORE_EXE_NAME), "old core"));

  const auto result = run({"install", platform::to_utf8(core_)});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "错误：服务在 30 秒内未停止（状态：STOP_PENDING），未更改任何文件\n");
  const auto recorded = calls();
  ASSERT_GE(recorded.size(), 3u);
  EXPECT_EQ(recorded[1].args, STOP_CALL);
  EXPECT_EQ(recorded.back().args, QUERY_CALL);
  EXPECT_GE(recorded.back().ms - recorded[1].ms, 30000);
  // It never turned RUNNING again: one stop, and nothing after the queries.
  for (std::size_t i = 2; i < recorded.size(); ++i) EXPECT_EQ(recorded[i].args, QUERY_CALL) << i;
  EXPECT_EQ(testing::read_file(join(dir_, platform::SERVICE_EXE_NAME)), "old service");
  EXPECT_EQ(testing::read_file(join(dir_, platform::CORE_EXE_NAME)), "old core");
  EXPECT_FALSE(platform::exists(join(dir_, "sing-box.tmp")));
  EXPECT_FALSE(platform::exists(join(dir_, "work")));
}

TEST_F(Install, MissingCoreFailsBeforeAnythingIsInstalled) {
  states({"1060"});
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
  for (const char* absent : {"tavrel-service", "tavrel-service.tmp", "sing-box"}) {
    EXPECT_FALSE(platform::exists(join(dir_, absent))) << absent;
  }
  EXPECT_FALSE(platform::exists(join(dir_, platform::SERVICE_EXE_NAME)));
  const std::vector<std::vector<std::string>> expected = {QUERY_CALL, QUERY_CALL};
  EXPECT_EQ(call_args(), expected);
}

TEST_F(Install, RejectedStepFailsWithScErrorText) {
  struct Case {
    json script;
    std::vector<std::string> states;
    std::vector<std::string> rejected;
    std::string message_tail;
  } cases[] = {
      {{{"start",
         {{"exit", 1053},
          {"stderr", "\r\n[SC] StartService 失败 1053:\r\n\r\n服务没有及时响应。\r\n\r\n"}}}},
       {"1060"},
       START_CALL,
       "[SC] StartService 失败 1053:\r\n\r\n服务没有及时响应。"},
      // A display name with a space shows unquoted, though sc got it as one argument.
      {{{"create", {{"exit", 1073}}}},
       {"1060"},
       {"create", "TavrelService", "binPath=", bin_path(), "start=", "auto",
        "DisplayName=", "Tavrel Service"},
       ""},
      // Still marked for deletion: sc's text alone does not say what clears it.
      {{{"create",
         {{"exit", 1072},
          {"stderr", "[SC] CreateService FAILED 1072:\r\n\r\nmarked for deletion."}}}},
       {"1060"},
       {"create", "TavrelService", "binPath=", bin_path(), "start=", "auto",
        "DisplayName=", "Tavrel Service"},
       "[SC] CreateService FAILED 1072:\r\n\r\nmarked for deletion.\n"
       "该服务仍被标记为待删除：请关闭占用它的程序（例如“服务”管理控制台），或重新启动 Windows。"},
      {{{"config", {{"exit", 1}, {"stderr_hex", "ff206261640a"}}}},
       {"STOPPED"},
       {"config", "TavrelService", "binPath=", bin_path(), "start=", "auto"},
       // Not UTF-8: read in the console's code page (POSIX: U+FFFD).
       std::string(text::trim_unicode_space(
           platform::decode_console_output("\xff bad\n", platform::console_code_page()))) +
           "\n原有版本的文件已恢复；它此前未在运行，未启动。"},
      // The system's sc.exe says why on standard output.
      {{{"start",
         {{"exit", 1058},
          {"stdout", "[SC] StartService FAILED 1058:\r\n\r\nThe service is disabled.\r\n"},
          {"stderr", " \r\n"}}}},
       {"1060"},
       START_CALL,
       "[SC] StartService FAILED 1058:\r\n\r\nThe service is disabled."},
  };
  for (const Case& c : cases) {
    script(c.script);
    states(c.states);
    const std::string message = joined(c.rejected) + " 失败: " + c.message_tail;

    const auto result = run({"install", platform::to_utf8(core_)});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "错误：" + message + "\n");
    EXPECT_TRUE(result.out.ends_with(" install failed: " + message + "\n")) << result.out;
    EXPECT_NE(log().find(result.out), std::string::npos) << log();
    const auto recorded = call_args();
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back(), c.rejected);
    forget_calls();
  }
}

// Without recovery the service still runs: a warning with the reason, and the install goes on.
TEST_F(Install, RejectedRecoveryWarnsAndTheInstallSucceeds) {
  struct Case {
    json script;
    std::vector<std::string> last_recovery_call;
    std::string reason;
  } cases[] = {
      // sc's text may run over several lines; the warning stays one.
      {{{"failure", {{"exit", 1}, {"stderr", "Usage:\r\n  sc failure <name>\r\n"}}}},
       FAILURE_CALL,
       joined(FAILURE_CALL) + " 失败: Usage:    sc failure <name>"},
      {{{"failureflag", {{"exit", 1}}}},
       FAILUREFLAG_CALL,
       "sc.exe failureflag TavrelService 1 失败: "},
  };
  for (const Case& c : cases) {
    script(c.script);
    states({"1060", "RUNNING"});
    const auto result = run({"install", platform::to_utf8(core_)});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "installed to " + dir_text() + "\n");
    EXPECT_EQ(result.err, "警告：无法设置服务的故障恢复：" + c.reason + "\n");
    const auto recorded = call_args();
    ASSERT_GE(recorded.size(), 3u);
    EXPECT_EQ(recorded[recorded.size() - 3], c.last_recovery_call);
    EXPECT_EQ(recorded[recorded.size() - 2], START_CALL);
    forget_calls();
  }
}

TEST_F(Install, FailedMoveOnAFirstInstallLeavesNothingHalfInstalled) {
  states({"1060"});
  // A directory in the way of the service program, and another where it would be set aside.
  const Path blocked = join(dir_, platform::SERVICE_EXE_NAME);
  for (const Path& in_the_way : {blocked, join(dir_, "tavrel-service.old")}) {
    ASSERT_TRUE(platform::create_directories(in_the_way));
    ASSERT_TRUE(platform::write_file(join(in_the_way, "inside"), "x"));
  }

  const auto result = run({"install", platform::to_utf8(core_)});
  EXPECT_EQ(result.exit_code, 1);
  const std::string prefix = "错误：安装 " + platform::to_utf8(blocked) + " 失败: ";
  EXPECT_TRUE(result.err.starts_with(prefix)) << result.err;
  EXPECT_TRUE(result.err.ends_with(")\n")) << result.err;
  EXPECT_NE(result.err.find(" (os error "), std::string::npos) << result.err;
  EXPECT_EQ(testing::read_file(join(blocked, "inside")), "x");
  for (const char* absent : {"tavrel-service.tmp", "sing-box.tmp"}) {
    EXPECT_FALSE(platform::exists(join(dir_, absent))) << absent;
  }
  EXPECT_FALSE(platform::exists(join(dir_, platform::CORE_EXE_NAME)));
  const std::vector<std::vector<std::string>> expected = {QUERY_CALL};
  EXPECT_EQ(call_args(), expected);
}

// A directory that another user made first would let them replace what runs as SYSTEM.
TEST_F(Install, RefusesAnExistingDirectoryOfAnotherUser) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine shows every file as the running user's own";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a directory to another user";
  states({"1060"});
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

TEST_F(Install, UninstallWaitsForTheStopThenDeletesAndRemovesTheDirectory) {
  states({"STOP_PENDING", "STOP_PENDING", "STOPPED"});
  ASSERT_TRUE(platform::create_directories(join(dir_, "work")));
  ASSERT_TRUE(platform::write_file(join(dir_, "work/config.json"), "{}"));
  ASSERT_TRUE(platform::write_file(join(dir_, platform::CORE_EXE_NAME), "core"));

  const auto result = run({"uninstall", "extra"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "uninstalled\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(platform::exists(dir_));

  const auto recorded = calls();
  const std::vector<std::vector<std::string>> expected = {
      STOP_CALL, QUERY_CALL, QUERY_CALL, QUERY_CALL, {"delete", "TavrelService"}};
  EXPECT_EQ(call_args(), expected);
  ASSERT_EQ(recorded.size(), expected.size());
  EXPECT_GE(recorded[3].ms - recorded[1].ms, 400);
}

TEST_F(Install, UninstallWithNothingInstalledStillSucceeds) {
  script({{"stop", {{"exit", 1060}, {"stderr", "not installed"}}},
          {"delete", {{"exit", 1060}, {"stderr", "x"}}}});
  states({"1060"});
  const auto result = run({"uninstall"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "uninstalled\n");
  EXPECT_EQ(result.err, "");
  // Uninstall writes no log line, so nothing creates the directory.
  EXPECT_FALSE(platform::exists(dir_));
}
// A program still running from the directory: Windows keeps its file, POSIX would remove it.
TEST_F(Install, UninstallNamesWhatItLeftBehind) {
  if (!WINDOWS) GTEST_SKIP() << "POSIX removes a file that is in use";
  states({"1060"});
  ASSERT_TRUE(platform::create_directories(dir_));
  const Path held = join(dir_, "held.exe");
  ASSERT_TRUE(platform::copy_file(testing::helper_program("fake-core"), held));
  ASSERT_TRUE(
      platform::write_file(join(dir_, "fake-core.json"), R"({"fake":{"version_sleep_ms":60000}})"));
  ASSERT_TRUE(platform::write_file(join(dir_, "config.json"), "{}"));
  auto out = platform::open_output_file(join(root_.path(), "held.log"));
  ASSERT_TRUE(out);
  auto running = platform::spawn(held, {platform::from_utf8("version")}, *out, *out);
  ASSERT_TRUE(running) << running.error().chain();

  const auto result = run({"uninstall"});
  running->terminate();
  (void)running->wait();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "uninstalled\n");
  EXPECT_TRUE(
      result.err.starts_with("警告：服务目录未能完全删除，留下了 " + dir_text() + "（held.exe）："))
      << result.err;
  EXPECT_TRUE(result.err.ends_with(")\n")) << result.err;
  EXPECT_FALSE(platform::exists(join(dir_, "config.json")));
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

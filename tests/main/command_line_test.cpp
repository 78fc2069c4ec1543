// The command table and its error path, through the built program.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using platform::Path;

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir_.path()));
  }
  void TearDown() override { platform::unset_env(files::SERVICE_DIR_VARIABLE); }

  platform::CapturedRun run(const std::vector<std::string>& args) {
    std::vector<Path> native;
    for (const auto& a : args) native.push_back(platform::from_utf8(a));
    auto ran = platform::run_captured(testing::service_program(), native, 60s);
    EXPECT_TRUE(ran) << ran.error().chain();
    if (!ran) return {};
    EXPECT_FALSE(ran->timed_out);
    return std::move(ran).value();
  }

  std::string log() const {
    return testing::read_file(platform::join(dir_.path(), files::SERVICE_LOG_FILE));
  }

  testing::TempDir dir_{"tavrel 命令 test"};
};

TEST_F(CommandLine, UnknownWordsFailWithTheirName) {
  for (const std::string word : {"Install", "INSTALL", "install-x", "", "VERSION", "卸载"}) {
    const auto result = run({word, "operand"});
    EXPECT_EQ(result.exit_code, 1) << word;
    EXPECT_EQ(result.err, "错误：未知命令 " + word + "\n");
    // The log line goes to the file and to standard output.
    EXPECT_TRUE(result.out.ends_with(" " + word + " failed: 未知命令 " + word + "\n"))
        << result.out;
    EXPECT_NE(log().find(result.out), std::string::npos) << log();
  }
}

TEST_F(CommandLine, VersionPrintsTheBannerWhateverFollows) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"version"}, {"version", "extra", "words"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "tavrel-service 1.1.1 (protocol 2)\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandLine, HelpListsTheCommandsWithoutALogLine) {
  for (const std::string word : {"help", "--help", "-h"}) {
    const auto result = run({word});
    EXPECT_EQ(result.exit_code, 0) << word;
    EXPECT_TRUE(result.out.starts_with("用法：tavrel-service [命令]\n")) << result.out;
    for (const std::string command : {"\n  run ", "\n  install <sing-box 路径> ", "\n  uninstall ",
                                      "\n  version ", "\n不带命令时与 run 相同。"}) {
      EXPECT_NE(result.out.find(command), std::string::npos) << command;
    }
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(platform::exists(platform::join(dir_.path(), files::SERVICE_LOG_FILE)));
  }
}

TEST_F(CommandLine, InstallWithoutOperandShowsUsage) {
  const auto result = run({"install"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "错误：用法：tavrel-service install <sing-box 路径>\n");
  EXPECT_TRUE(
      result.out.ends_with(" install failed: 用法：tavrel-service install <sing-box 路径>\n"))
      << result.out;
  EXPECT_NE(log().find(result.out), std::string::npos) << log();
}

TEST_F(CommandLine, FailureWithoutServiceDirReachesStandardErrorOnly) {
  const Path missing = platform::join(dir_.path(), "not yet");
  platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(missing));
  const auto result = run({"bogus"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "错误：未知命令 bogus\n");
  EXPECT_FALSE(platform::exists(missing));
}

// No word and "run" both start the server (in the console: no service manager started us).
// Its start line shows that; the port may be held by someone else, so the test does not wait
// for the listener.
TEST_F(CommandLine, NoWordRunsTheServer) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"run"}}) {
    ASSERT_TRUE(platform::remove_all(dir_.path()));
    testing::TempDir output_dir;
    auto output = platform::open_output_file(platform::join(output_dir.path(), "out.txt"));
    ASSERT_TRUE(output);
    std::vector<Path> native(args.begin(), args.end());
    auto child =
        platform::spawn(testing::service_program(), native, output.value(), output.value());
    ASSERT_TRUE(child) << child.error().chain();

    // Under Wine the failed connection to the service manager alone takes some 10 s.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    bool started = false;
    while (!started && std::chrono::steady_clock::now() < deadline) {
      started = log().find(" tavrel-service 1.1.1 starting, dir " +
                           platform::to_utf8(dir_.path())) != std::string::npos;
      if (!started) std::this_thread::sleep_for(50ms);
    }
    auto exited = child->has_exited();
    child->terminate();
    (void)child->wait();
    EXPECT_TRUE(started) << log();
    ASSERT_TRUE(exited);
    EXPECT_FALSE(exited.value()) << "the server ended by itself";
    EXPECT_TRUE(platform::exists(platform::join(dir_.path(), files::TOKEN_FILE)));
  }
}

}  // namespace
}  // namespace tavrel

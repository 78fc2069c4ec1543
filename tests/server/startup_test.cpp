#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <future>
#include <regex>
#include <set>
#include <thread>

#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "server/server.h"
#include "server/token.h"
#include "support/test_support.h"

namespace tavrel::server {
namespace {

using namespace std::chrono_literals;

std::string service_log(const platform::Path& dir) {
  return testing::read_file(platform::join(dir, files::SERVICE_LOG_FILE));
}

// Runs the server on its own thread; `stop` ends it.
// Also tells whether the token file was there when the server said it runs.
struct RunningServer {
  std::shared_ptr<StopFlag> stop = std::make_shared<StopFlag>();
  std::promise<std::uint16_t> listening;
  std::atomic<int> running_calls{0};
  std::atomic<bool> token_at_running{false};
  std::thread thread;

  explicit RunningServer(ServerOptions options) {
    options.on_listening = [this](std::uint16_t port) { listening.set_value(port); };
    thread = std::thread([this, options] {
      run_server(stop, options, [this] {
        token_at_running = platform::exists(platform::join(files::service_dir(), files::TOKEN_FILE));
        ++running_calls;
      });
    });
  }
  ~RunningServer() {
    stop->raise(StopCause::ServiceStop);
    if (thread.joinable()) thread.join();
  }
};

ServerOptions test_options() {
  ServerOptions options;
  options.port = 0;
  options.stop_poll = 20ms;
  return options;
}

TEST(Token, ThirtyTwoLowerHexAndFreshEachTime) {
  std::set<std::string> seen;
  const std::regex shape("[0-9a-f]{32}");
  for (int i = 0; i < 50; ++i) {
    const std::string token = generate_token();
    EXPECT_TRUE(std::regex_match(token, shape)) << token;
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(Startup, WritesTokenStartLineAndShutsDownWithinAPoll) {
  // An empty directory value is the empty path: every name resolves in the current directory.
  for (const bool empty_value : {false, true}) {
    SCOPED_TRACE(empty_value ? "empty directory value" : "named directory");
    testing::TempDir temp("启动 start up");
    const platform::Path named = platform::join(temp.path(), "svc 服务");
    const platform::Path dir = empty_value ? platform::Path() : named;
    const platform::Path files_at = empty_value ? temp.path() : named;
    struct CurrentDir {
      platform::Path saved = std::filesystem::current_path();
      ~CurrentDir() { std::filesystem::current_path(saved); }
    } restore_cwd;
    if (empty_value) std::filesystem::current_path(temp.path());
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir));
    ServerOptions options = test_options();
    options.stop_poll = 200ms;
    std::chrono::steady_clock::duration stop_took{};
    int server_running_calls = 0;
    bool token_at_running = false;
    {
      RunningServer server(options);
      auto port = server.listening.get_future();
      ASSERT_EQ(port.wait_for(20s), std::future_status::ready);
      const auto raised = std::chrono::steady_clock::now();
      server.stop->raise(StopCause::ServiceStop);
      server.thread.join();
      stop_took = std::chrono::steady_clock::now() - raised;
      server_running_calls = server.running_calls;
      token_at_running = server.token_at_running;
    }
    platform::unset_env(files::SERVICE_DIR_VARIABLE);
    EXPECT_LT(stop_took, 400ms);
    EXPECT_EQ(server_running_calls, 1);
    EXPECT_TRUE(token_at_running) << "the server said it runs before its token was written";
    EXPECT_TRUE(platform::exists(platform::join(files_at, files::WORK_DIR)));
    const std::string token = testing::read_file(platform::join(files_at, files::TOKEN_FILE));
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32}"))) << token;

    const std::string log = service_log(files_at);
    const std::string stamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} ";
    const std::regex shape(stamp + "tavrel-service 1\\.1\\.1 starting, dir [^\n]*, sing-box missing\n" +
                           stamp + "listening on 127\\.0\\.0\\.1:\\d+\n" + stamp +
                           "stop requested \\(service stop\\)\n" + stamp + "shutting down \\(signal 0\\)\n");
    EXPECT_TRUE(std::regex_match(log, shape)) << log;
    EXPECT_NE(log.find("starting, dir " + platform::to_utf8(dir) + ", sing-box missing"), std::string::npos)
        << log;
  }
}

TEST(Token, ReplacesAnOlderFileWithRestrictedAccessAndLeavesNoPart) {
  testing::TempDir temp("令牌 token");
  const platform::Path file = platform::join(temp.path(), files::TOKEN_FILE);
  ASSERT_TRUE(platform::write_file(file, "an older token, readable by all").ok());
  // A link planted at the temporary name is replaced, not written through.
  const platform::Path elsewhere = platform::join(temp.path(), "elsewhere");
  ASSERT_TRUE(platform::write_file(elsewhere, "not the token's").ok());
  std::error_code link_failed;
  std::filesystem::create_symlink(elsewhere, platform::join(temp.path(), std::string(files::TOKEN_FILE) + ".tmp"),
                                  link_failed);
  ASSERT_TRUE(write_token_file(file, "0123456789abcdef0123456789abcdef").ok());
  EXPECT_EQ(testing::read_file(file), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(testing::read_file(elsewhere), "not the token's");
  EXPECT_FALSE(platform::exists(platform::join(temp.path(), std::string(files::TOKEN_FILE) + ".tmp")));
  auto access = platform::file_access_text(file);
  ASSERT_TRUE(access) << access.error().chain();
#ifdef _WIN32
  // Windows keeps the protected DACL as given; Wine keeps no DACL of its own and shows one
  // derived from the file's mode bits. Either way neither everyone, nor users, nor service
  // accounts may read the file, as they could the older one.
  if (access->starts_with("D:P")) {
    EXPECT_EQ(access->rfind("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;IU)", 0), 0u) << *access;
  }
  for (const char* wider : {";;;WD)", ";;;BU)", ";;;AU)", ";;;NS)", ";;;LS)"}) {
    EXPECT_EQ(access->find(wider), std::string::npos) << *access;
  }
  EXPECT_NE(access->find("(A;;FA;;;SY)"), std::string::npos) << *access;
#else
  auto dir_access = platform::file_access_text(temp.path());
  ASSERT_TRUE(dir_access);
  const std::string group = dir_access->substr(dir_access->find(" group "));
  EXPECT_EQ(*access, "mode 0640" + group);
#endif
}

// A reader that keeps the old token open without sharing its deletion (Windows' C runtime
// opens so) only delays the replacement; a start-up must not fail for it.
TEST(Token, ReplacesAFileAReaderHoldsOpenForAMoment) {
  testing::TempDir temp;
  const platform::Path file = platform::join(temp.path(), files::TOKEN_FILE);
  ASSERT_TRUE(write_token_file(file, "00000000000000000000000000000000").ok());
  auto reader = std::make_unique<std::ifstream>(file, std::ios::binary);
  ASSERT_TRUE(reader->is_open());
  std::thread release([&] {
    std::this_thread::sleep_for(1s);
    reader.reset();
  });
  auto written = write_token_file(file, "0123456789abcdef0123456789abcdef");
  release.join();
  ASSERT_TRUE(written.ok()) << written.error().chain();
  EXPECT_EQ(testing::read_file(file), "0123456789abcdef0123456789abcdef");
}

TEST(Startup, EveryRunWritesANewToken) {
  testing::TempDir temp;
  platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(temp.path()));
  std::string tokens[2];
  for (auto& token : tokens) {
    RunningServer server(test_options());
    ASSERT_EQ(server.listening.get_future().wait_for(20s), std::future_status::ready);
    token = testing::read_file(platform::join(temp.path(), files::TOKEN_FILE));
  }
  EXPECT_EQ(tokens[0].size(), 32u);
  EXPECT_NE(tokens[0], tokens[1]);
  platform::unset_env(files::SERVICE_DIR_VARIABLE);
}

TEST(Startup, FatalFailuresLogOneLineAndEndTheServer) {
  struct Case {
    const char* name;
    void (*prepare)(const platform::Path& dir);
    std::string expected_prefix;
  } cases[] = {
      {"work is a file",
       [](const platform::Path& dir) {
         ASSERT_TRUE(platform::create_directories(dir).ok());
         ASSERT_TRUE(platform::write_file(platform::join(dir, files::WORK_DIR), "").ok());
       },
       "fatal: create service dir: "},
      {"token is a directory",
       [](const platform::Path& dir) {
         ASSERT_TRUE(platform::create_directories(platform::join(dir, files::TOKEN_FILE)).ok());
       },
       "fatal: write "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir temp;
    const platform::Path dir = platform::join(temp.path(), "svc");
    c.prepare(dir);
    platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir));
    auto stop = std::make_shared<StopFlag>();
    std::atomic<bool> said_running{false};
    auto done = std::async(std::launch::async, [stop, &said_running] {
      return run_server(stop, test_options(), [&said_running] { said_running = true; });
    });
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);  // ends by itself, no stop needed
    EXPECT_FALSE(done.get()) << "a failed start-up is told apart from a stop";
    EXPECT_FALSE(said_running);
    const std::string log = service_log(dir);
    const auto space = log.find(' ', 11);
    ASSERT_NE(space, std::string::npos) << log;
    const std::string message = log.substr(space + 1);
    EXPECT_EQ(message.rfind(c.expected_prefix, 0), 0u) << log;
    EXPECT_NE(message.find(" (os error "), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    if (c.expected_prefix == "fatal: write ") {
      EXPECT_NE(message.find(platform::to_utf8(platform::join(dir, files::TOKEN_FILE)) + ": "), std::string::npos);
    } else {
      EXPECT_FALSE(platform::exists(platform::join(dir, files::TOKEN_FILE)));
    }
  }
  platform::unset_env(files::SERVICE_DIR_VARIABLE);
}

}  // namespace
}  // namespace tavrel::server

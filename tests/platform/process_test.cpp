#include "platform/process.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/leftovers.h"
#include "support/test_support.h"

namespace tavrel::platform {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

Path fake_core() { return testing::helper_program("fake-core"); }

// Polls `done` every 20 ms until it holds or `limit` has passed.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

json read_json(const Path& file) { return json::parse(testing::read_file(file), nullptr, false); }

// A fake-core config in `dir` whose "fake" object is `fake`.
Path write_config(const Path& dir, json fake) {
  const Path config = join(dir, "config.json");
  EXPECT_TRUE(write_file(config, json{{"fake", std::move(fake)}}.dump()));
  return config;
}

std::vector<Path> run_args(const Path& config, const Path& dir) {
  return {"run", "-c", config, "-D", dir, "--disable-color"};
}

TEST(QuoteCommandLine, FollowsTheRuntimeRules) {
  struct Case {
    std::wstring arg;
    std::wstring quoted;
  };
  const Case cases[] = {
      {L"plain", L"plain"},
      {L"", L"\"\""},
      {L"a b", L"\"a b\""},
      {L"tab\there", L"\"tab\there\""},
      {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
      {L"C:\\dir\\", L"C:\\dir\\"},
      {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
      {L"a\\\\b c", L"\"a\\\\b c\""},
      {L"a\\\"b", L"\"a\\\\\\\"b\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::quote_command_line(L"C:\\p q\\x.exe", {c.arg}),
              L"\"C:\\p q\\x.exe\" " + c.quoted)
        << std::string(c.arg.begin(), c.arg.end());
  }
}

TEST(RunCaptured, ArgumentsArriveIntact) {
  const std::vector<std::string> args = {
      "a b",       "say \"hi\"",          "trailing\\", "with space\\", "",
      "中文 参数", "\\\\server\\share\\", "x\\\"y",     "tab\there",    "--flag=1"};
  std::vector<Path> paths = {"args"};
  for (const auto& a : args) paths.push_back(from_utf8(a));
  auto run = run_captured(fake_core(), paths, 30s);
  ASSERT_TRUE(run) << run.error().chain();
  EXPECT_EQ(run->exit_code, 0);
  EXPECT_EQ(json::parse(run->out, nullptr, false), json(args));
}

TEST(RunCaptured, ReadsBothPipesToTheirEnd) {
  // Far more than a pipe buffer on each stream: reading one pipe at a time would hang.
  testing::TempDir dir;
  json out_lines = json::array(), err_lines = json::array();
  std::size_t out_size = 0, err_size = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string o = "out line " + std::to_string(i) + std::string(60, 'o');
    const std::string e = "err line " + std::to_string(i) + std::string(60, 'e');
    out_lines.push_back(o);
    err_lines.push_back(e);
    out_size += o.size() + 1;
    err_size += e.size() + 1;
  }
  const Path config = write_config(
      dir.path(), {{"check_stdout", out_lines}, {"check_stderr", err_lines}, {"check_exit", 7}});
  auto run =
      run_captured(fake_core(), {"check", "--disable-color", "-c", config, "-D", dir.path()}, 30s);
  ASSERT_TRUE(run) << run.error().chain();
  EXPECT_FALSE(run->timed_out);
  EXPECT_EQ(run->exit_code, 7);
  EXPECT_EQ(run->out.size(), out_size);
  EXPECT_EQ(run->err.size(), err_size);
  EXPECT_TRUE(run->err.starts_with("err line 0eee"));
  EXPECT_TRUE(run->out.ends_with("out line 3999" + std::string(60, 'o') + "\n"));
}

TEST(RunCaptured, EndsAChildAtTheTimeLimit) {
  testing::TempDir dir;
  const Path config =
      write_config(dir.path(), {{"check_sleep_ms", 20000}, {"check_stderr", {"never"}}});
  const auto start = Clock::now();
  auto run = run_captured(fake_core(), {"check", "-c", config}, 300ms);
  ASSERT_TRUE(run) << run.error().chain();
  EXPECT_TRUE(run->timed_out);
  EXPECT_NE(run->exit_code, 0);
  EXPECT_EQ(run->err, "");
  EXPECT_LT(Clock::now() - start, 10s);
}

TEST(Spawn, MissingProgramFailsWithTheSystemError) {
  testing::TempDir dir;
  const Path missing = join(dir.path(), "no such program");
  auto captured = run_captured(missing, {"version"}, std::nullopt);
  ASSERT_FALSE(captured);
  EXPECT_EQ(captured.error().chain(), system_error_text(2));

  auto out = open_output_file(join(dir.path(), "out.log"));
  ASSERT_TRUE(out);
  auto spawned = spawn(missing, {}, out.value(), out.value());
  ASSERT_FALSE(spawned);
  EXPECT_EQ(spawned.error().chain(), system_error_text(2));
}

TEST(Spawn, BothStreamsShareOneTruncatedFile) {
  testing::TempDir dir("tavrel 输出 test");
  const Path log = join(dir.path(), "core.log");
  ASSERT_TRUE(write_file(log, std::string(10000, 'x')));
  const Path config = write_config(dir.path(), {{"run_stdout", {"to stdout"}},
                                                {"run_stderr", {"to stderr"}},
                                                {"run_exit_after_ms", 0},
                                                {"run_exit_code", 4}});
  auto out = open_output_file(log);
  ASSERT_TRUE(out) << out.error().chain();
  auto err = duplicate_handle(out.value());
  ASSERT_TRUE(err) << err.error().chain();
  auto child = spawn(fake_core(), run_args(config, dir.path()), out.value(), err.value(),
                     {.no_window = true});
  ASSERT_TRUE(child) << child.error().chain();
  out->reset();
  err->reset();
  auto code = child->wait();
  ASSERT_TRUE(code);
  EXPECT_EQ(code.value(), 4);
  EXPECT_EQ(child->exit_code(), 4);
  EXPECT_EQ(testing::read_file(log), "to stdout\nto stderr\n");
  EXPECT_EQ(read_json(join(dir.path(), "fake-core-run.json"))["pid"], child->id());
}

TEST(Process, ReportsRunningThenEndedAfterTerminate) {
  testing::TempDir dir;
  const Path config = write_config(dir.path(), json::object());
  auto log = open_output_file(join(dir.path(), "core.log"));
  ASSERT_TRUE(log);
  auto child = spawn(fake_core(), run_args(config, dir.path()), log.value(), log.value());
  ASSERT_TRUE(child) << child.error().chain();
  EXPECT_NE(child->id(), 0u);
  auto running = child->has_exited();
  ASSERT_TRUE(running);
  EXPECT_FALSE(running.value());
  EXPECT_FALSE(child->exit_code());

  child->terminate();
  EXPECT_TRUE(eventually([&] {
    auto ended = child->has_exited();
    return ended && ended.value();
  }));
  EXPECT_TRUE(child->exit_code());
  EXPECT_NE(child->exit_code().value_or(0), 0);
  child->terminate();  // after the end: harmless
  auto again = child->wait();
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), child->exit_code().value());
}

// The child gets its three standard streams and nothing else of ours: neither a listening
// socket (which would keep the port accepting after we close it) nor an open file.
TEST(Spawn, ChildInheritsNoSocketOrFile) {
  testing::TempDir dir;
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  const auto port = acceptor.local_endpoint().port();
  // The C runtime's files are inheritable by default on both systems.
  std::FILE* leak = std::fopen(to_utf8(join(dir.path(), "leak-probe.txt")).c_str(), "w");
  ASSERT_NE(leak, nullptr);

  const Path config = write_config(dir.path(), json::object());
  auto log = open_output_file(join(dir.path(), "core.log"));
  ASSERT_TRUE(log);
  auto child = spawn(fake_core(), run_args(config, dir.path()), log.value(), log.value());
  ASSERT_TRUE(child) << child.error().chain();
  const Path record = join(dir.path(), "fake-core-run.json");
  ASSERT_TRUE(eventually([&] { return platform::exists(record); }));
  std::fclose(leak);
  acceptor.close();

  asio::ip::tcp::socket probe(io);
  asio::error_code ec;
  probe.connect({asio::ip::address_v4::loopback(), port}, ec);
  EXPECT_TRUE(ec) << "the child holds the listening socket";

  // Where the system lists a process's descriptors, nothing beyond 0-2 is open but the
  // listing's own.
  const json fds = read_json(record)["fds"];
  for (const auto& [fd, target] : fds.items()) {
    if (std::stoi(fd) <= 2) continue;
    EXPECT_TRUE(target.get<std::string>().starts_with("/proc/")) << fd << " -> " << target;
  }
  child->terminate();
  (void)child->wait();
}

// A child of a process that is killed dies with it: the grandchild's connection to us closes.
TEST(Spawn, ChildDiesWithItsParent) {
  testing::TempDir dir("tavrel 父进程 test");
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  const Path config =
      write_config(dir.path(), {{"run_connect_port", acceptor.local_endpoint().port()}});
  auto log = open_output_file(join(dir.path(), "parent.log"));
  ASSERT_TRUE(log);
  auto parent = spawn(fake_core(), {"spawn", config, dir.path()}, log.value(), log.value());
  ASSERT_TRUE(parent) << parent.error().chain();

  asio::ip::tcp::socket link(io);
  std::string line;
  bool accepted = false, got_line = false, closed = false;
  acceptor.async_accept(link, [&](asio::error_code ec) {
    accepted = !ec;
    if (!accepted) return;
    asio::async_read_until(link, asio::dynamic_buffer(line), '\n',
                           [&](asio::error_code ec2, std::size_t) { got_line = !ec2; });
  });
  io.run_for(20s);
  ASSERT_TRUE(accepted && got_line) << testing::read_file(join(dir.path(), "parent.log"));
  const auto child_pid = std::stoul(line);
  EXPECT_NE(child_pid, parent->id());

  parent->terminate();
  ASSERT_TRUE(parent->wait());
  io.restart();
  std::array<char, 16> buf;
  link.async_read_some(asio::buffer(buf),
                       [&](asio::error_code ec, std::size_t) { closed = bool(ec); });
  io.run_for(10s);
  EXPECT_TRUE(closed) << "the grandchild outlived its parent";
}

// What a crash left of a child's tree is ended at the next start-up, but only while the record
// still describes it: a process that started before the recorded child, or in another session
// or boot, is someone else's that now has the recorded id.
TEST(Leftovers, EndsOnlyWhatTheRecordStillDescribes) {
  if (SERVICE_EXE_NAME.ends_with(".exe")) GTEST_SKIP() << "the job ends them: nothing is recorded";
  struct Case {
    const char* what;
    int changed_field;  // of "group session start boot"; -1: none
    std::size_t ended;
  } cases[] = {
      {"as recorded", -1, 1},
      {"started before the recorded child", 2, 0},
      {"another session", 1, 0},
      {"another boot", 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const Path records = join(dir.path(), "children");
    auto log = open_output_file(join(dir.path(), "core.log"));
    ASSERT_TRUE(log);
    auto child = spawn(fake_core(), run_args(write_config(dir.path(), json::object()), dir.path()),
                       log.value(), log.value());
    ASSERT_TRUE(child) << child.error().chain();
    const ChildRecord record = ChildRecord::add(records, child->id());
    const Path file = join(records, std::to_string(child->id()));
    std::vector<std::string> fields;
    std::istringstream words(testing::read_file(file));
    for (std::string w; words >> w;) fields.push_back(w);
    ASSERT_EQ(fields.size(), 4u) << testing::read_file(file);
    if (c.changed_field == 3) fields[3] = "another";
    if (c.changed_field >= 0 && c.changed_field < 3) {
      fields[c.changed_field] = std::to_string(std::stoll(fields[c.changed_field]) + 1);
    }
    ASSERT_TRUE(write_file(file, fields[0] + " " + fields[1] + " " + fields[2] + " " + fields[3]));

    EXPECT_EQ(end_recorded_children(records), c.ended);
    EXPECT_FALSE(platform::exists(records));
    if (c.ended == 1) {
      EXPECT_TRUE(eventually([&] { return testing::process_has_ended(child->id()); }, 2s));
    } else {
      std::this_thread::sleep_for(50ms);
      EXPECT_FALSE(testing::process_has_ended(child->id()));
    }
    child->terminate();
    (void)child->wait();
  }
}

}  // namespace
}  // namespace tavrel::platform

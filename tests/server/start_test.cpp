#include "core/start.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <regex>

#include "core/singbox.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "server/handlers.h"
#include "server/state_fixture.h"

namespace tavrel::server {
namespace {

using namespace fixture;
using protocol::RuleSetFile;

Status start(const StateFixture& f, json config, const std::vector<RuleSetFile>& rulesets = {}) {
  const SharedState& s = f.state();
  return core::handle_start(s->dir, s->core, s->last_contact, std::move(config), rulesets, s->check_time_limit);
}

std::string error_of(const Status& status) { return status ? "(success)" : status.error().chain(); }

// The pid of the running core by a status request, or 0.
std::uint32_t running_pid(const StateFixture& f) {
  const auto response = handle_request(protocol::Request{protocol::Request::Status{}}, f.state());
  return response.pid.value_or(0);
}

TEST(StartSequence, WritesTheConfigWithoutTheLogOutput) {
  StateFixture f;
  const struct {
    const char* name;
    json config;
    std::string written;
  } cases[] = {
      // Removed before the path guard, which would refuse it.
      {"log object", json::parse(R"({"x":1,"log":{"output":"C:\\box.log","level":"warn"}})"),
       "{\n  \"log\": {\n    \"level\": \"warn\"\n  },\n  \"x\": 1\n}"},
      {"log string, output elsewhere", json::parse(R"({"outbounds":[{"output":"o.txt"}],"log":"box.log"})"),
       "{\n  \"log\": \"box.log\",\n  \"outbounds\": [\n    {\n      \"output\": \"o.txt\"\n    }\n  ]\n}"},
      {"no log", json::parse(R"({"log_level":{"output":"a"},"empty":{},"list":[]})"),
       "{\n  \"empty\": {},\n  \"list\": [],\n  \"log_level\": {\n    \"output\": \"a\"\n  }\n}"},
      {"null", json(nullptr), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of(start(f, c.config)), "(success)");
    EXPECT_EQ(testing::read_file(f.path(files::CONFIG_FILE)), c.written);
  }
}

TEST(StartSequence, RefusedConfigTouchesNothing) {
  StateFixture f;
  ASSERT_TRUE(start(f, json::object(), {{"a.srs", "AQ=="}}));
  const std::string config_before = testing::read_file(f.path(files::CONFIG_FILE));
  const std::uint32_t pid = running_pid(f);
  ASSERT_NE(pid, 0u);

  // A configuration whose indented text would pass 64 MiB: 120 levels around 280,000 zeros.
  json deep = json::array();
  for (int i = 0; i < 280000; ++i) deep.push_back(0);
  for (int level = 0; level < 120; ++level) deep = json::array({std::move(deep)});
  struct {
    json config;
    std::string_view error;
  } refused[] = {
      // An "output" that is not directly inside the top-level "log" object is guarded.
      {json::parse(R"({"log":{"level":"info"},"route":{"output":"/x"}})"), "配置中不允许绝对路径：output = /x"},
      {json::parse(R"({"outbounds":[{"type":"tor","executable_path":"rulesets/a.srs"}]})"),
       "配置中不允许的设置：executable_path"},
      {std::move(deep), "配置过大：config.json 将超过 64 MiB"},
  };
  for (auto& c : refused) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(error_of(start(f, std::move(c.config), {{"b.srs", "Ag=="}})), c.error);
    EXPECT_EQ(testing::read_file(f.path(files::CONFIG_FILE)), config_before);
    EXPECT_EQ(testing::read_file(platform::join(f.rulesets(), "a.srs")), std::string(1, '\x01'));
    EXPECT_FALSE(platform::exists(platform::join(f.rulesets(), "b.srs")));
    EXPECT_EQ(running_pid(f), pid);
  }
}

TEST(StartSequence, FailedCheckGivesTheTailOfItsErrorsAndKeepsTheOldCore) {
  StateFixture f;
  CoreLinks links;
  ASSERT_TRUE(start(f, {{"fake", {{"run_connect_port", links.port()}}}}));
  auto old_core = links.next();
  ASSERT_TRUE(old_core);

  const struct {
    const char* name;
    json fake;
    std::string error;
  } cases[] = {
      {"last four non-blank lines",
       {{"check_exit", 1}, {"check_stderr_raw", "a\n\n  \t\nb\n\nc\n \u3000\nd\ne\n\n\n f \n\n"}},
       "配置校验失败：c\nd\ne\n f "},
      {"CR LF", {{"check_exit", 1}, {"check_stderr_raw", "x\r\n\r\ny\r\nz"}}, "配置校验失败：x\ny\nz"},
      {"nothing on stderr", {{"check_exit", 1}}, "配置校验失败："},
      {"only stdout", {{"check_exit", 2}, {"check_stdout", {"decode config: bad"}}}, "配置校验失败："},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of(start(f, {{"fake", c.fake}})), c.error);
    EXPECT_EQ(running_pid(f), old_core->pid());
  }
  EXPECT_FALSE(old_core->gone(0ms));

  // The exit code alone decides: errors with exit code 0 pass.
  EXPECT_EQ(error_of(start(f, {{"fake", {{"check_stderr", {"WARN deprecated field"}}}}})), "(success)");
  EXPECT_TRUE(old_core->gone());
}

TEST(StartSequence, HungCheckIsGivenUpAndTheOldCoreRunsOn) {
  StateFixture f(1s);
  CoreLinks links;
  ASSERT_TRUE(start(f, {{"fake", {{"run_connect_port", links.port()}}}}));
  auto old_core = links.next();
  ASSERT_TRUE(old_core);

  const auto started = Clock::now();
  const Status hung = start(f, {{"fake", {{"check_sleep_ms", 60000}}}});
  EXPECT_LT(Clock::now() - started, 15s);
  EXPECT_EQ(error_of(hung), std::string(core::CHECK_FAILED) + std::string(core::CHECK_TIMED_OUT_LINE));
  EXPECT_EQ(running_pid(f), old_core->pid());
  EXPECT_FALSE(old_core->gone(0ms));
}

TEST(StartSequence, RuleSetFilesAreReplacedByEachStart) {
  StateFixture f;
  const platform::Path dir = f.rulesets();
  ASSERT_TRUE(platform::write_file(platform::join(f.work(), "cache.db"), "cache"));
  ASSERT_TRUE(start(f, json::object(), {{"old.srs", "AQID"}}));
  EXPECT_EQ(testing::read_file(platform::join(dir, "old.srs")), "\x01\x02\x03");

  // The check sees the new files where the new core will: rulesets/<name> under its -D.
  const json needs_new = {{"fake", {{"check_need_files", {"rulesets/new.srs"}}}}};
  ASSERT_EQ(error_of(start(f, needs_new, {{"new.srs", "AQ=="}})), "(success)");
  EXPECT_FALSE(platform::exists(platform::join(dir, "old.srs")));
  EXPECT_EQ(testing::read_file(platform::join(dir, "new.srs")), "\x01");

  ASSERT_TRUE(start(f, json::object(), {}));
  EXPECT_FALSE(platform::exists(dir));
  // Other files the core keeps in work stay, and no staging place is left.
  EXPECT_EQ(testing::read_file(platform::join(f.work(), "cache.db")), "cache");
  EXPECT_FALSE(platform::exists(f.path(files::STAGING_DIR)));
}

// Until its check has passed, a start changes neither config.json nor work/rulesets nor the
// running core, however it fails; a staging place left by a crash goes at the next start.
TEST(StartSequence, AFailedStartLeavesTheFilesAndTheCoreAsTheyWere) {
  StateFixture f(1s);
  ASSERT_TRUE(start(f, {{"kept", true}}, {{"keep.srs", "AQID"}}));
  const std::string config_before = testing::read_file(f.path(files::CONFIG_FILE));
  const std::uint32_t pid = running_pid(f);
  ASSERT_NE(pid, 0u);

  const std::vector<RuleSetFile> third_bad = {
      {"a.srs", "YQ=="}, {"b.srs", "Yg=="}, {"c d.srs", "Yw=="}, {"d.srs", "ZA=="}, {"e.srs", "ZQ=="}};
  const struct {
    const char* name;
    json fake;
    std::vector<RuleSetFile> rulesets;
    std::string error;
  } cases[] = {
      {"refused by the check", {{"check_exit", 1}, {"check_stderr", {"bad"}}}, {{"new.srs", "AQ=="}},
       "配置校验失败：bad"},
      {"check timed out", {{"check_sleep_ms", 60000}}, {{"new.srs", "AQ=="}},
       std::string(core::CHECK_FAILED) + std::string(core::CHECK_TIMED_OUT_LINE)},
      {"third name bad", json::object(), third_bad, "非法的规则集文件名：c d.srs"},
      {"second Base64 bad", json::object(), {{"a.srs", "YQ=="}, {"b.srs", "Yg"}},
       "规则集 b.srs 不是合法的 base64: Invalid padding"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(platform::create_directories(f.path(files::STAGING_DIR)));
    ASSERT_TRUE(platform::write_file(platform::join(f.path(files::STAGING_DIR), "left.srs"), "x"));
    EXPECT_EQ(error_of(start(f, {{"fake", c.fake}}, c.rulesets)), c.error);
    EXPECT_EQ(testing::read_file(f.path(files::CONFIG_FILE)), config_before);
    EXPECT_EQ(testing::read_file(platform::join(f.rulesets(), "keep.srs")), "\x01\x02\x03");
    for (const auto& file : c.rulesets) EXPECT_FALSE(platform::exists(platform::join(f.rulesets(), file.name)));
    EXPECT_FALSE(platform::exists(f.path(files::STAGING_DIR)));
    EXPECT_EQ(running_pid(f), pid);
  }
}

// "<context>: <system text> (os error N)", the text being the system's own for that N.
void expect_system_error(const std::string& error, const std::string& context) {
  const std::regex shape("(.*): (.+) \\(os error (\\d+)\\)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(error, m, shape)) << error;
  EXPECT_EQ(m[1].str(), context);
  EXPECT_EQ(m[2].str() + " (os error " + m[3].str() + ")", platform::system_error_text(std::stoi(m[3].str())));
}

// config.json is replaced only after the check, so a failure there comes after the stop.
TEST(StartSequence, FileSystemFailuresCarryTheSystemError) {
  StateFixture f;
  ASSERT_TRUE(start(f, json::object()));
  ASSERT_NE(running_pid(f), 0u);
  ASSERT_TRUE(platform::remove_all(f.path(files::CONFIG_FILE)));
  ASSERT_TRUE(platform::create_directories(platform::join(f.path(files::CONFIG_FILE), "in the way")));

  expect_system_error(error_of(start(f, json::object(), {{"kept.srs", "AQ=="}})), "write config");
  EXPECT_TRUE(platform::exists(platform::join(f.rulesets(), "kept.srs")));
  EXPECT_FALSE(platform::exists(f.path(files::STAGING_DIR)));
  EXPECT_EQ(running_pid(f), 0u);
}

TEST(StartSequence, MissingCoreCannotCheck) {
  StateFixture f;
  ASSERT_TRUE(platform::remove_all(f.core_exe()));
  expect_system_error(error_of(start(f, json::object())), "无法运行 sing-box");
  EXPECT_EQ(running_pid(f), 0u);
}

// A crash may stop a committed start after any of its renames; start-up finishes it from
// there. An uncommitted one (only the staging place) is dropped.
TEST(StartRecovery, FinishesACommittedSwapFromWhereverItStoppedAndDropsTheRest) {
  for (const bool new_rulesets : {true, false}) {
    for (int renames_done = -1; renames_done <= 3; ++renames_done) {
      SCOPED_TRACE(std::to_string(renames_done) + (new_rulesets ? " with" : " without") + " rule sets");
      testing::TempDir temp;
      const platform::Path dir = temp.path();
      const auto at = [&](std::string_view a, std::string_view b = {}) {
        return b.empty() ? platform::join(dir, a) : platform::join(platform::join(dir, a), b);
      };
      const platform::Path rulesets = platform::join(at(files::WORK_DIR), files::RULESETS_DIR);
      ASSERT_TRUE(platform::create_directories(rulesets));
      ASSERT_TRUE(platform::write_file(platform::join(rulesets, "old.srs"), "old"));
      ASSERT_TRUE(platform::write_file(at(files::CONFIG_FILE), "old config"));
      // -1: the check had not passed yet; the place is still called staging.
      const std::string_view place = renames_done < 0 ? files::STAGING_DIR : files::SWAP_DIR;
      ASSERT_TRUE(platform::create_directories(at(place, files::RULESETS_DIR)));
      if (new_rulesets) ASSERT_TRUE(platform::write_file(platform::join(at(place, files::RULESETS_DIR), "new.srs"), "new"));
      ASSERT_TRUE(platform::write_file(at(place, files::CONFIG_FILE), "new config"));
      if (renames_done >= 1) ASSERT_TRUE(platform::rename_replace(rulesets, at(place, "previous-rulesets")));
      if (renames_done >= 2) ASSERT_TRUE(platform::rename_replace(at(place, files::RULESETS_DIR), rulesets));
      if (renames_done >= 3) ASSERT_TRUE(platform::rename_replace(at(place, files::CONFIG_FILE), at(files::CONFIG_FILE)));
      ASSERT_TRUE(platform::write_file(at(files::TOKEN_FILE), "kept"));
      ASSERT_TRUE(platform::write_file(at("token.tmp"), "cut"));
      ASSERT_TRUE(platform::create_directories(at("other.tmp")));

      ASSERT_TRUE(core::recover_start_files(dir));
      const bool committed = renames_done >= 0;
      EXPECT_EQ(testing::read_file(at(files::CONFIG_FILE)), committed ? "new config" : "old config");
      const auto names = platform::directory_entries(rulesets);
      if (!committed) {
        EXPECT_EQ(testing::read_file(platform::join(rulesets, "old.srs")), "old");
      } else if (new_rulesets) {
        ASSERT_TRUE(names);
        EXPECT_EQ(names->size(), 1u);
        EXPECT_EQ(testing::read_file(platform::join(rulesets, "new.srs")), "new");
      } else {
        EXPECT_FALSE(platform::exists(rulesets));
      }
      EXPECT_EQ(platform::directory_entries(dir)->size(), 3u);  // config.json, work, token
      EXPECT_EQ(testing::read_file(at(files::TOKEN_FILE)), "kept");
    }
  }
}

// An ephemeral port, quick polls and core timings, and this bound on a check.
ServerOptions tcp_options(std::chrono::milliseconds check_time_limit) {
  ServerOptions options;
  options.port = 0;
  options.stop_poll = 20ms;
  options.core_timings = fast_core_timings();
  options.check_time_limit = check_time_limit;
  return options;
}

// Over TCP, through the whole server, with the stand-in core.
TEST(StartOverTcp, StartsReplacesAndKeepsTheCoreOnAHungCheck) {
  StateFixture f;
  CoreLinks links;
  ServerThread server(tcp_options(1s));
  const std::uint16_t port = server.port();
  ASSERT_NE(port, 0);
  const std::string token = testing::read_file(f.path(files::TOKEN_FILE));

  const auto request = [&](json req) {
    return control_exchange(port, json{{"token", token}, {"req", std::move(req)}}.dump() + "\n");
  };
  const json linked_config = {{"fake", {{"run_connect_port", links.port()}}}};
  const json start_req = {{"cmd", "start"}, {"config", linked_config}};
  const json status_req = {{"cmd", "status"}};
  const std::string started = R"({"ok":true,"running":true,"log_path":)" + f.log_path_json() + "}\n";
  const auto status_pid = [&]() -> std::uint32_t {
    const json status = json::parse(request(status_req), nullptr, false);
    return status.is_object() && status.contains("pid") ? status["pid"].get<std::uint32_t>() : 0;
  };

  json first_req = start_req;
  first_req["rulesets"] = {{{"name", "geoip-cn.srs"}, {"data_b64", "AQID"}}};
  ASSERT_EQ(request(first_req), started);
  auto first = links.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(status_pid(), first->pid());
  EXPECT_EQ(testing::read_file(platform::join(f.rulesets(), "geoip-cn.srs")), "\x01\x02\x03");

  ASSERT_EQ(request(start_req), started);
  auto second = links.next();
  ASSERT_TRUE(second);
  EXPECT_TRUE(first->gone());
  EXPECT_NE(second->pid(), first->pid());
  // The core it replaced was asked to stop first.
  if (!STOP_MAY_GO_UNHEARD || !f.stop_record().is_null()) {
    EXPECT_EQ(f.stop_record()["pid"], first->pid());
  }
  EXPECT_EQ(status_pid(), second->pid());

  const auto asked = Clock::now();
  const json hung_req = {{"cmd", "start"}, {"config", {{"fake", {{"check_sleep_ms", 60000}}}}}};
  const std::string hung = request(hung_req);
  EXPECT_LT(Clock::now() - asked, 15s);
  EXPECT_EQ(hung, R"({"ok":false,"error":)" +
                      json_quoted(std::string(core::CHECK_FAILED) + std::string(core::CHECK_TIMED_OUT_LINE)) + "}\n");
  EXPECT_FALSE(second->gone(0ms));
  EXPECT_EQ(status_pid(), second->pid());

  EXPECT_EQ(request(json{{"cmd", "stop"}}), "{\"ok\":true,\"running\":false}\n");
  EXPECT_TRUE(second->gone());
}

// A stop of the service ends a running check at once instead of waiting for it, and asks the
// core to stop, as every stop does.
TEST(StartOverTcp, AServiceStopEndsARunningCheckAndAsksTheCore) {
  StateFixture f;
  CoreLinks links;
  std::optional<ServerThread> server(std::in_place, tcp_options(60s));
  const std::uint16_t port = server->port();
  ASSERT_NE(port, 0);
  const std::string token = testing::read_file(f.path(files::TOKEN_FILE));
  const auto request = [&](json req) {
    return control_exchange(port, json{{"token", token}, {"req", std::move(req)}}.dump() + "\n");
  };
  ASSERT_NE(request({{"cmd", "start"}, {"config", {{"fake", {{"run_connect_port", links.port()}}}}}}), "");
  auto core = links.next();
  ASSERT_TRUE(core);
  auto hung = std::async(std::launch::async, [&] {
    return request({{"cmd", "start"}, {"config", {{"fake", {{"check_sleep_ms", 60000}}}}}});
  });
  ASSERT_TRUE(eventually([&] { return platform::exists(platform::join(f.path(files::STAGING_DIR), "fake-core-check.json")); }));

  const auto raised = Clock::now();
  server.reset();
  EXPECT_LT(Clock::now() - raised, 5s);
  EXPECT_TRUE(core->gone(0ms));
  if (!STOP_MAY_GO_UNHEARD || !f.stop_record().is_null()) {
    EXPECT_EQ(f.stop_record()["pid"], core->pid());
  }
  hung.wait();
}

}  // namespace
}  // namespace tavrel::server

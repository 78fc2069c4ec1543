#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>

#include "common/base64.h"
#include "server/connection_client.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace tavrel::testing {
namespace {

using nlohmann::json;
using RuleSets = std::map<std::string, std::string>;  // name -> bytes; empty: no directory

#ifndef _WIN32
constexpr std::string_view MARKER = "TAVREL_CRASH_TEST_RUN";

// Every process whose environment carries this run's marker (each process of the service and
// its children inherits it), except this test itself and `running`.
std::vector<std::uint32_t> marked_processes(const std::string& marker, std::uint32_t running) {
  std::vector<std::uint32_t> found;
  const std::string needle = std::string(MARKER) + "=" + marker + '\0';
  auto entries = platform::directory_entries("/proc");
  if (!entries) return found;
  for (const platform::Path& entry : *entries) {
    const std::string name = entry.string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<std::uint32_t>(std::stoul(name));
    if (pid == static_cast<std::uint32_t>(getpid()) || pid == running) continue;
    // Unreadable (gone, or a zombie's empty environment): not running.
    auto environ_text = platform::read_file(platform::Path("/proc") / entry / "environ");
    if (environ_text && (environ_text->find(needle) != std::string::npos)) found.push_back(pid);
  }
  return found;
}

// The service as a program in the directory of `dir`; started() once its new listening line is
// in the log.
class ServiceRun {
 public:
  explicit ServiceRun(const ServiceDirFixture& dir) : dir_(dir), listening_before_(listening_lines()) {
    auto out = platform::open_output_file(platform::join(dir.dir(), "console.txt"));
    if (!out) return;
    auto started = platform::spawn(service_program(), {platform::Path("run")}, out.value(), out.value());
    if (started) process_ = std::move(started).value();
  }
  ~ServiceRun() { kill(); }

  bool started() {
    return process_.id() != 0 && wait_until([&] { return listening_lines() > listening_before_; }, 20s);
  }
  void kill() {
    if (process_.id() == 0) return;
    process_.terminate();
    (void)process_.wait();
    process_ = platform::Process();
  }
  std::uint32_t pid() const { return process_.id(); }

 private:
  std::size_t listening_lines() const { return count_lines(dir_.log(), "listening on 127.0.0.1:17895"); }
  const ServiceDirFixture& dir_;
  std::size_t listening_before_;
  platform::Process process_;
};

RuleSets rulesets_in(const platform::Path& dir) {
  RuleSets found;
  const platform::Path rulesets = platform::join(platform::join(dir, files::WORK_DIR), files::RULESETS_DIR);
  if (auto entries = platform::directory_entries(rulesets)) {
    for (const platform::Path& name : *entries) found[name.string()] = read_file(rulesets / name);
  }
  return found;
}

// config.json as parsed JSON; null when absent, a string when it is not JSON.
json config_in(const platform::Path& dir) {
  const platform::Path file = platform::join(dir, files::CONFIG_FILE);
  if (!platform::exists(file)) return nullptr;
  const std::string text = read_file(file);
  const json parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? json("not JSON: " + text) : parsed;
}
#endif

// Starts killed at random moments, each followed by a new run in the same directory: nothing
// of the earlier run may be left running, and the files must be those of whole starts.
TEST(Crash, AServiceKilledInAStartLeavesNothingRunningAndNothingHalfWritten) {
#ifdef _WIN32
  GTEST_SKIP() << "the POSIX build's leftover records; Windows relies on its job objects";
#else
  std::uint32_t seed = std::random_device{}();
  if (const auto given = platform::env_path("TAVREL_CRASH_SEED")) seed = static_cast<std::uint32_t>(std::stoul(given->string()));
  std::mt19937 random(seed);
  const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  const std::string marker = std::to_string(getpid()) + "-" + std::to_string(seed);
  platform::set_env(MARKER, marker);

  // The helpers that cores start connect here; nothing is accepted, they only need a port.
  asio::io_context io;
  asio::ip::tcp::acceptor sink(io, {asio::ip::address_v4::loopback(), 0});
  const int sink_port = sink.local_endpoint().port();
  const std::regex token_shape("[0-9a-f]{32}");

  int rounds = 0, violations = 0;
  const auto violation = [&](const std::string& what) {
    ++violations;
    ADD_FAILURE() << "round " << rounds << ": " << what << " (seed " << seed << ")";
  };
  std::unique_ptr<ServiceDirFixture> dir;
  json config_before;
  RuleSets rulesets_before;
  const auto began = Clock::now();
  while (rounds < 80 && since(began) < 50s) {
    ++rounds;
    if (!dir || uniform(0, 3) == 0) {
      dir.reset();  // the old directory's fixture unsets the variable first
      dir = std::make_unique<ServiceDirFixture>();
      config_before = nullptr;
      rulesets_before.clear();
    }

    json fake = {{"check_sleep_ms", uniform(0, 150)}};
    if (uniform(0, 1) == 1) fake["run_child_connect_port"] = sink_port;
    const json config = {{"round", rounds}, {"fake", fake}};
    RuleSets rulesets;
    json ruleset_list = json::array();
    for (int i = uniform(0, 3); i > 0; --i) {
      const std::string name = "r" + std::to_string(rounds) + "-" + std::to_string(i) + ".srs";
      const std::string bytes(static_cast<std::size_t>(uniform(1, 200000)), static_cast<char>('a' + i));
      rulesets[name] = bytes;
      ruleset_list.push_back({{"name", name}, {"data_b64", base64_encode(bytes)}});
    }

    {
      ServiceRun service(*dir);
      if (!service.started()) {
        violation("the service did not start: " + dir->log());
        break;
      }
      const std::string start = request_line(
          dir->token(), json{{"cmd", "start"}, {"config", config}, {"rulesets", ruleset_list}}.dump());
      std::thread request([&] { (void)round_trip(server::CONTROL_PORT, start, false, 20s); });
      std::this_thread::sleep_for(std::chrono::milliseconds(uniform(0, 400)));
      service.kill();
      request.join();
    }

    ServiceRun next(*dir);
    if (!next.started()) {
      violation("the next run did not start: " + dir->log());
      break;
    }
    if (!wait_until([&] { return marked_processes(marker, next.pid()).empty(); }, 2s)) {
      const auto left = marked_processes(marker, next.pid());
      violation(std::to_string(left.size()) + " processes of the earlier run are left");
      // Started by this test; ended so that the next round counts only its own.
      for (const std::uint32_t pid : left) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    const std::string token = dir->token();
    if (!std::regex_match(token, token_shape)) violation("token " + token);
    const std::string status = round_trip(server::CONTROL_PORT, request_line(token, R"({"cmd":"status"})")).bytes;
    if (!status.starts_with(R"({"ok":true,"running":false)")) violation("status " + status);

    const json config_now = config_in(dir->dir());
    if (config_now != config_before && config_now != config) violation("config.json " + config_now.dump());
    const RuleSets rulesets_now = rulesets_in(dir->dir());
    if (rulesets_now != rulesets_before && rulesets_now != rulesets) {
      violation(std::to_string(rulesets_now.size()) + " rule-set files of no single start");
    }
    const auto entries = platform::directory_entries(dir->dir());
    for (const platform::Path& name : entries.value()) {
      const std::string text = name.string();
      if (text == files::STAGING_DIR || text == files::SWAP_DIR || text.ends_with(files::TEMPORARY_SUFFIX)) {
        violation("left behind: " + text);
      }
    }
    config_before = config_now;
    rulesets_before = rulesets_now;
  }
  dir.reset();
  // Whatever a failed round left behind was started by this test.
  for (const std::uint32_t pid : marked_processes(marker, 0)) ::kill(static_cast<pid_t>(pid), SIGKILL);
  platform::unset_env(MARKER);
  std::printf("crash rounds: %d, violations: %d, seed %u\n", rounds, violations, seed);
  EXPECT_GE(rounds, 10);
  EXPECT_EQ(violations, 0);
#endif
}

}  // namespace
}  // namespace tavrel::testing

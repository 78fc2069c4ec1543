#include "core/core_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "core/fake_core_dir.h"
#include "platform/error.h"

namespace tavrel::core {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::eventually;
using testing::FakeCoreDir;
using Clock = std::chrono::steady_clock;

// For tests that stop a running core only at their end: short where the stop may go unheard.
const CoreTimings QUICK_STOP{.stop_grace = 300ms, .stop_poll = 10ms};

std::string line_with_pid(std::string_view line, std::uint32_t pid) {
  return std::string(line) + std::to_string(pid);
}

Status launch(CoreSlot& slot, const FakeCoreDir& dir) {
  return launch_core(slot, dir.path(), dir.config(), dir.work());
}

std::uint32_t recorded_pid(CoreSlot& slot) {
  const auto info = core_status(slot);
  return info ? info->pid : 0;
}

TEST(CoreProcess, StopWithoutCoreReturnsAtOnceAndLogsNothing) {
  FakeCoreDir dir;
  CoreSlot slot;
  const auto start = Clock::now();
  stop_core(slot);
  EXPECT_LT(Clock::now() - start, 100ms);
  EXPECT_FALSE(core_status(slot));
  EXPECT_TRUE(dir.log_messages().empty());
}

TEST(CoreProcess, LaunchRecordsTheCoreAndItsOutputGoesToCoreLog) {
  FakeCoreDir dir;
  dir.write_config({{"run_stdout", {"out line"}}, {"run_stderr", {"err line"}}});
  CoreSlot slot(QUICK_STOP);
  ASSERT_TRUE(launch(slot, dir));

  const auto info = core_status(slot);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->uptime_secs, 0u);
  EXPECT_EQ(dir.log_messages(), std::vector{line_with_pid(CORE_STARTED_LINE, info->pid)});
  ASSERT_TRUE(eventually([&] {
    return testing::read_file(dir.core_log()) == "out line\nerr line\n";
  })) << testing::read_file(dir.core_log());
  const auto run =
      json::parse(testing::read_file(platform::join(dir.work(), "fake-core-run.json")));
  EXPECT_EQ(run["pid"], info->pid);
  EXPECT_EQ(run["args"],
            json({platform::to_utf8(dir.core()), "run", "-c", platform::to_utf8(dir.config()), "-D",
                  platform::to_utf8(dir.work()), "--disable-color"}));
  stop_core(slot);
}

// A stop asks first, so that the core can undo what it did to the machine, and ends a core
// that does not listen once the grace period has run out. Either way the core's tree has gone
// by the time the stop returns.
TEST(CoreProcess, AStopAsksFirstAndEndsACoreThatDoesNotListenAfterTheGrace) {
  constexpr auto GRACE = 1500ms;
  for (const bool listens : {true, false}) {
    SCOPED_TRACE(listens ? "core listens" : "core ignores the request");
    FakeCoreDir dir;
    testing::CoreLinks links;
    dir.write_config({{"run_connect_port", links.port()},
                      {"run_child_connect_port", links.port()},
                      {"run_ignore_stop", !listens}});
    CoreSlot slot(CoreTimings{.stop_grace = GRACE, .stop_poll = 10ms});
    ASSERT_TRUE(launch(slot, dir));
    const std::uint32_t pid = recorded_pid(slot);
    std::uint32_t helper = 0;
    ASSERT_TRUE(eventually([&] {
      for (const std::uint32_t alive : links.alive()) {
        if (alive != pid) helper = alive;
      }
      return helper != 0 && links.alive().size() == 2;
    }));

    const auto start = Clock::now();
    stop_core(slot);
    const auto took = Clock::now() - start;
    const json asked = dir.stop_record();
    const bool heard = !asked.is_null();
    if (heard) {
      EXPECT_EQ(asked["pid"], pid);
    } else {
      EXPECT_TRUE(testing::STOP_MAY_GO_UNHEARD) << "the core was not asked";
    }
    if (heard && listens) {
      EXPECT_EQ(dir.log_messages().back(), line_with_pid(CORE_STOPPED_LINE, pid));
      EXPECT_LT(took, 1s);
    } else {
      EXPECT_EQ(dir.log_messages().back(), line_with_pid(CORE_KILLED_LINE, pid));
      EXPECT_GE(took, GRACE);
      EXPECT_LT(took, GRACE + 1s);
    }
    EXPECT_TRUE(testing::process_has_ended(pid));
    EXPECT_TRUE(testing::process_has_ended(helper));
    EXPECT_FALSE(core_status(slot));
  }
}

// What the core starts must not run on as SYSTEM once the core is gone: neither after a
// stop, nor once a core that ended on its own has been noticed.
TEST(CoreProcess, WhatTheCoreStartedEndsWithIt) {
  for (const bool core_exits : {false, true}) {
    SCOPED_TRACE(core_exits ? "core ends on its own" : "core stopped");
    FakeCoreDir dir;
    testing::CoreLinks links;
    json fake{{"run_connect_port", links.port()}, {"run_child_connect_port", links.port()}};
    if (core_exits) fake["run_exit_after_ms"] = 1000;
    dir.write_config(fake);
    CoreSlot slot(QUICK_STOP);
    ASSERT_TRUE(launch(slot, dir));
    const std::uint32_t core = recorded_pid(slot);
    std::uint32_t helper = 0;
    ASSERT_TRUE(eventually([&] {
      for (const std::uint32_t pid : links.alive()) {
        if (pid != core) helper = pid;
      }
      return helper != 0;
    }));
    if (core_exits) {
      ASSERT_TRUE(eventually([&] { return !core_status(slot); }));
    } else {
      stop_core(slot);
    }
    EXPECT_TRUE(eventually([&] { return testing::process_has_ended(helper); }));
  }
}

// A core that ends by itself is logged once with its exit code, by whichever notices it first;
// the code is kept for a status until a launch or a stop.
TEST(CoreProcess, ACoreThatExitsByItselfIsLoggedOnceWithItsCode) {
  for (const bool noticed_by_status : {true, false}) {
    SCOPED_TRACE(noticed_by_status ? "noticed by a status" : "noticed by a stop");
    FakeCoreDir dir;
    testing::CoreLinks links;
    dir.write_config(
        {{"run_connect_port", links.port()}, {"run_exit_after_ms", 0}, {"run_exit_code", 3}});
    CoreSlot slot;
    ASSERT_TRUE(launch(slot, dir));
    ASSERT_TRUE(eventually([&] { return links.seen() == 1 && links.alive().empty(); }));
    const auto pid =
        json::parse(testing::read_file(platform::join(dir.work(), "fake-core-run.json")))["pid"]
            .get<std::uint32_t>();
    const std::string exited =
        std::string(CORE_EXITED_LINE) + "3" + std::string(CORE_EXITED_PID) + std::to_string(pid);
    if (noticed_by_status) {
      ASSERT_TRUE(eventually([&] { return !core_status(slot); }));
      EXPECT_FALSE(core_status(slot));
      EXPECT_EQ(core_exit_code(slot), 3u);
      EXPECT_EQ(dir.log_messages(), (std::vector{line_with_pid(CORE_STARTED_LINE, pid), exited}));
      stop_core(slot);
      EXPECT_EQ(dir.log_messages().size(), 2u);
    } else {
      // Its connection closes a moment before the process itself has ended.
      ASSERT_TRUE(eventually([&] { return testing::process_has_ended(pid); }));
      stop_core(slot);
      EXPECT_EQ(dir.log_messages(), (std::vector{line_with_pid(CORE_STARTED_LINE, pid), exited,
                                                 line_with_pid(CORE_STOPPED_LINE, pid)}));
    }
    EXPECT_FALSE(core_exit_code(slot));
  }
}

TEST(CoreProcess, ACoreLeftAfterTheGracePeriodIsKilledAndWaitedFor) {
  FakeCoreDir dir;
  CoreSlot slot(CoreTimings{.stop_grace = 0ms, .stop_poll = 50ms});
  ASSERT_TRUE(launch(slot, dir));
  const std::uint32_t pid = recorded_pid(slot);
  stop_core(slot);
  EXPECT_EQ(dir.log_messages().back(), line_with_pid(CORE_KILLED_LINE, pid));
  EXPECT_FALSE(core_status(slot));
}

TEST(CoreProcess, UptimeCountsWholeSeconds) {
  FakeCoreDir dir;
  CoreSlot slot(QUICK_STOP);
  const auto before = Clock::now();
  ASSERT_TRUE(launch(slot, dir));
  const auto after = Clock::now();
  ASSERT_LT(after - before, 800ms) << "launch too slow to pin the uptime";
  EXPECT_EQ(core_status(slot)->uptime_secs, 0u);
  // Launched between `before` and `after`, so 1.2 s after `after` it has run 1.2 s to 2 s.
  std::this_thread::sleep_until(after + 1200ms);
  const auto info = core_status(slot);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->uptime_secs, 1u);
  stop_core(slot);
}

TEST(CoreProcess, EachLaunchStartsAFreshCoreLogAndKeepsThePreviousOne) {
  FakeCoreDir dir;
  CoreSlot slot(QUICK_STOP);
  const std::string first = "first run, with a longer line than the second\n";
  dir.write_config({{"run_stdout", {"first run, with a longer line than the second"}},
                    {"run_exit_after_ms", 0}});
  ASSERT_TRUE(launch(slot, dir));
  ASSERT_TRUE(eventually([&] { return testing::read_file(dir.core_log()) == first; }));
  ASSERT_TRUE(eventually([&] { return !core_status(slot); }));
  EXPECT_EQ(core_exit_code(slot), 0u);
  dir.write_config({{"run_stdout", {"second run"}}});
  ASSERT_TRUE(launch(slot, dir));
  EXPECT_FALSE(core_exit_code(slot));
  EXPECT_TRUE(eventually([&] { return testing::read_file(dir.core_log()) == "second run\n"; }))
      << testing::read_file(dir.core_log());
  EXPECT_EQ(testing::read_file(dir.file(files::CORE_LOG_OLD_FILE)), first);
  stop_core(slot);
}

// Lines of the stand-in's run_output_lines, from `from` up to `to` (not included).
std::string numbered_lines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) {
    std::string line = std::to_string(i);
    line.insert(0, 8 - line.size(), '0');
    line += ' ';
    line.resize(99, 'x');
    text += line + "\n";
  }
  return text;
}

TEST(CoreProcess, CoreLogBecomesCoreLogOneAtItsLimitBetweenLines) {
  FakeCoreDir dir;
  CoreSlot slot(CoreTimings{.stop_grace = 300ms, .stop_poll = 10ms, .core_log_limit = 1050});
  dir.write_config({{"run_output_lines", 25}});
  ASSERT_TRUE(launch(slot, dir));
  // Ten whole lines fit in 1050 bytes; the eleventh starts the next file.
  EXPECT_TRUE(eventually([&] {
    return testing::read_file(dir.core_log()) == numbered_lines(20, 25);
  })) << testing::read_file(dir.core_log()).size();
  EXPECT_EQ(testing::read_file(dir.file(files::CORE_LOG_OLD_FILE)), numbered_lines(10, 20));
  stop_core(slot);
}

TEST(CoreProcess, LaunchWithoutTheCoreFailsAndLeavesAnEmptyCoreLog) {
  FakeCoreDir dir;
  ASSERT_TRUE(platform::remove_all(dir.core()));
  ASSERT_TRUE(platform::write_file(dir.core_log(), "old output\n"));
  CoreSlot slot;
  auto launched = launch(slot, dir);
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error().chain(),
            std::string(CORE_START_FAILED) + ": " + platform::system_error_text(2));
  EXPECT_TRUE(platform::is_regular_file(dir.core_log()));
  EXPECT_EQ(testing::read_file(dir.core_log()), "");
  EXPECT_FALSE(core_status(slot));
  EXPECT_TRUE(dir.log_messages().empty());
}

TEST(CoreProcess, LaunchFailsWhenCoreLogCannotBeCreated) {
  FakeCoreDir dir;
  CoreSlot slot;
  auto launched = launch_core(slot, dir.file("missing dir"), dir.config(), dir.work());
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error().messages().size(), 2u);
  EXPECT_EQ(launched.error().message(), CREATE_CORE_LOG_FAILED);
  EXPECT_NE(launched.error().chain().find(" (os error "), std::string::npos);
}

// Start requests (stop + launch under the sequence lock) race with stop requests and with the
// lease watchdog (status and stop without the lock). Whatever the interleaving, at most one
// stand-in core is alive at the end, and it is the recorded one.
TEST(CoreProcess, ConcurrentStartsAndStopsNeverLeaveACoreOutsideTheSlot) {
  FakeCoreDir dir;
  testing::CoreLinks links;
  dir.write_config({{"run_connect_port", links.port()}});
  CoreSlot slot(CoreTimings{.stop_grace = 300ms, .stop_poll = 2ms});
  constexpr int ROUNDS = 150;

  std::atomic<int> failures{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < ROUNDS; ++i) {
      switch (random() % 4) {
        case 0:
        case 1: {
          std::lock_guard sequence(slot.sequence_lock());
          stop_core(slot);
          if (!launch(slot, dir)) ++failures;
          break;
        }
        case 2: {
          std::lock_guard sequence(slot.sequence_lock());
          stop_core(slot);
          break;
        }
        default:
          if (core_status(slot) && random() % 2 == 0) stop_core(slot);
          break;
      }
    }
  };
  std::thread a(worker, 1u), b(worker, 2u);
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);

  const auto recorded = core_status(slot);
  const std::vector<std::uint32_t> expected =
      recorded ? std::vector{recorded->pid} : std::vector<std::uint32_t>{};
  // Ended cores close their connection as they go; a stray live one would keep it open.
  EXPECT_TRUE(eventually([&] { return links.alive() == expected; }, 20s))
      << "alive: " << links.alive().size() << ", seen: " << links.seen();
  stop_core(slot);
  EXPECT_TRUE(eventually([&] { return links.alive().empty(); }, 20s));
}

}  // namespace
}  // namespace tavrel::core

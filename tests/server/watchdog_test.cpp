#include "server/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include "server/state_fixture.h"

namespace tavrel::server {
namespace {

using namespace fixture;

constexpr auto CHECK_PERIOD = 50ms;
constexpr auto TIMEOUT = 300ms;

// The watchdog on an event loop thread of its own, with its stops on a sequence thread of their
// own; abandoned at its current wait at the end.
class Watchdog {
 public:
  explicit Watchdog(const SharedState& state) {
    asio::co_spawn(io_, lease_watchdog(state, sequence_, CHECK_PERIOD, TIMEOUT), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~Watchdog() {
    io_.stop();
    thread_.join();
    sequence_thread_.join();
  }

 private:
  asio::io_context io_;
  asio::thread_pool sequence_thread_{1};
  SequenceQueue sequence_{sequence_thread_};
  std::thread thread_;
};

// Renews the lease every few milliseconds while it lives, so that a core that is slow to
// start (under an emulator) is not stopped before the test sees it.
class KeepAlive {
 public:
  explicit KeepAlive(const SharedState& state)
      : thread_([this, state] {
          while (!done_) {
            state->last_contact.renew();
            std::this_thread::sleep_for(10ms);
          }
          state->last_contact.renew();
          last_ = Clock::now();
        }) {}
  ~KeepAlive() { end(); }

  // Stops renewing; the time just after the last renewal.
  Clock::time_point end() {
    if (thread_.joinable()) {
      done_ = true;
      thread_.join();
    }
    return last_;
  }

 private:
  std::atomic<bool> done_{false};
  Clock::time_point last_;
  std::thread thread_;
};

TEST(Watchdog, StopsACoreWhoseLeaseRanOutAndGoesOn) {
  StateFixture f;
  CoreLinks links;
  Watchdog watchdog(f.state());
  std::vector<std::string> expected;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    KeepAlive keep(f.state());
    ASSERT_TRUE(f.launch({{"run_connect_port", links.port()}}));
    auto core = links.next();
    ASSERT_TRUE(core);
    const auto renewed = keep.end();
    ASSERT_TRUE(core->gone(10s));
    EXPECT_GE(Clock::now() - renewed, TIMEOUT) << "stopped before the lease ran out";
    const std::string pid = std::to_string(core->pid());
    expected.insert(expected.end(), {"core started, pid " + pid, "lease expired (app gone?), stopping core",
                                      "core stopped, pid " + pid});
    // stop_core logs once the core has ended, which the link may show a little earlier.
    EXPECT_TRUE(eventually([&] { return f.log_lines().size() == expected.size(); }, 5s));
    EXPECT_EQ(f.log_lines(), expected);
  }
}

TEST(Watchdog, LeavesARenewedCoreAlone) {
  StateFixture f;
  CoreLinks links;
  Watchdog watchdog(f.state());
  KeepAlive keep(f.state());
  ASSERT_TRUE(f.launch({{"run_connect_port", links.port()}}));
  auto core = links.next();
  ASSERT_TRUE(core);
  keep.end();
  // Renewed well within the timeout for several timeouts' worth of checks.
  const auto until = Clock::now() + 4 * TIMEOUT;
  while (Clock::now() < until) {
    f.state()->last_contact.renew();
    ASSERT_FALSE(core->gone(TIMEOUT / 4));
  }
  EXPECT_EQ(f.log_lines().size(), 1u) << f.log();
  // Left alone, it expires.
  EXPECT_TRUE(core->gone(10s));
}

TEST(Watchdog, WritesNothingWithoutARunningCore) {
  StateFixture f;
  CoreLinks links;
  Watchdog watchdog(f.state());
  std::this_thread::sleep_for(4 * TIMEOUT);
  EXPECT_EQ(f.log(), "");

  // A core that ends by itself is noticed at the next check, without a lease line.
  std::optional<CoreLink> core;
  {
    KeepAlive keep(f.state());
    ASSERT_TRUE(f.launch({{"run_connect_port", links.port()}, {"run_exit_after_ms", 0}}));
    core = links.next();
    ASSERT_TRUE(core);
    ASSERT_TRUE(core->gone());
  }
  std::this_thread::sleep_for(4 * TIMEOUT);
  ASSERT_GT(f.state()->last_contact.elapsed(), TIMEOUT);
  const std::string pid = std::to_string(core->pid());
  EXPECT_EQ(f.log_lines(), (std::vector<std::string>{"core started, pid " + pid, "core exited with code 0, pid " + pid}));
}

}  // namespace
}  // namespace tavrel::server

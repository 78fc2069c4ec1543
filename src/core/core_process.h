// The one core process the service supervises: launch, stop and status.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/command_error.h"
#include "platform/leftovers.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrel::core {

using namespace std::chrono_literals;

inline constexpr std::string_view CORE_STARTED_LINE = "core started, pid ";
inline constexpr std::string_view CORE_STOPPED_LINE = "core stopped, pid ";
inline constexpr std::string_view CORE_KILLED_LINE = "core killed after timeout, pid ";
// "core exited with code N, pid P": the core ended by itself, not by the service.
inline constexpr std::string_view CORE_EXITED_LINE = "core exited with code ";
inline constexpr std::string_view CORE_EXITED_PID = ", pid ";
// "asking core to stop failed, pid N: <error>"; the grace then runs out and the core is ended.
inline constexpr std::string_view CORE_ASK_FAILED_LINE = "asking core to stop failed, pid ";
inline constexpr std::string_view CREATE_CORE_LOG_FAILED = "create core.log";
inline constexpr std::string_view CORE_START_FAILED = "无法启动 sing-box";

inline constexpr std::chrono::milliseconds STOP_GRACE = 5s;
inline constexpr std::chrono::milliseconds STOP_POLL = 50ms;
// How long a stop waits, once the core has ended, for the rest of its tree to end.
inline constexpr std::chrono::milliseconds TREE_END_WAIT = 1s;
// core.log becomes core.log.1 when it reaches this, so the core's output takes at most twice it.
inline constexpr std::uint64_t CORE_LOG_LIMIT = 16ull << 20;

// The shipped program always uses the defaults; only tests shorten them.
struct CoreTimings {
  std::chrono::milliseconds stop_grace = STOP_GRACE;
  std::chrono::milliseconds stop_poll = STOP_POLL;
  std::uint64_t core_log_limit = CORE_LOG_LIMIT;
};

using CoreProcess = platform::Process;

struct CoreInfo {
  std::uint32_t pid = 0;
  std::uint64_t uptime_secs = 0;
};

class CoreSlot;
class CoreOutput;

// Starts the core and records it. The previous core.log becomes core.log.1; the core's output
// reaches a new core.log through a pipe that a thread of the service drains. The caller stops
// any recorded core first.
Status launch_core(CoreSlot& slot, const platform::Path& service_dir,
                   const platform::Path& config_path, const platform::Path& work_dir);

// Takes the recorded core out, asks it to stop and, when it has not ended within the grace
// period, ends it; returns once it and its tree have ended (the tree bounded by
// TREE_END_WAIT); at once when none is recorded. Logs how it ended.
void stop_core(CoreSlot& slot);

// The recorded core's id and whole seconds since launch; nothing when none runs. A core that
// has ended by itself is forgotten here; its exit is logged and kept for core_exit_code.
std::optional<CoreInfo> core_status(CoreSlot& slot);

// The exit code of the last core that ended by itself (POSIX: 128 + S for signal S), until a
// launch or a stop clears it.
std::optional<std::uint32_t> core_exit_code(CoreSlot& slot);

class CoreSlot {
 public:
  explicit CoreSlot(const CoreTimings& timings = {});
  ~CoreSlot();
  CoreSlot(const CoreSlot&) = delete;
  CoreSlot& operator=(const CoreSlot&) = delete;

  // Held for a whole start sequence or stop request, so that a start's stop and launch can
  // never interleave with another's. The lease watchdog and shutdown stop without it.
  std::mutex& sequence_lock() { return sequence_; }

 private:
  friend Status launch_core(CoreSlot&, const platform::Path&, const platform::Path&,
                            const platform::Path&);
  friend void stop_core(CoreSlot&);
  friend std::optional<CoreInfo> core_status(CoreSlot&);
  friend std::optional<std::uint32_t> core_exit_code(CoreSlot&);

  const CoreTimings timings_;
  std::mutex sequence_;
  // Guards the fields below, and is held only for short steps that never wait.
  std::mutex mutex_;
  std::optional<CoreProcess> child_;
  platform::ChildRecord child_record_;  // goes with `child_`
  std::chrono::steady_clock::time_point started_at_;
  std::optional<std::uint32_t> exit_code_;
  // The drain of the last launched core's output; it may outlive `child_` by a moment.
  std::unique_ptr<CoreOutput> output_;
};

}  // namespace tavrel::core

#include "core/core_process.h"

#include <string>
#include <thread>

#include "core/singbox.h"
#include "files/service_dir.h"
#include "files/service_log.h"

namespace tavrel::core {
namespace {

using Clock = std::chrono::steady_clock;

void log_with_pid(std::string_view line, std::uint32_t pid) {
  files::log_line(std::string(line) + std::to_string(pid));
}

// Terminates, then polls through the grace period; a core still there after it is
// terminated again and waited for without limit.
void end_core(const CoreTimings& timings, CoreProcess core) {
  const std::uint32_t pid = core.id();
  core.terminate();
  const auto deadline = Clock::now() + timings.stop_grace;
  while (Clock::now() < deadline) {
    if (auto ended = core.has_exited(); ended && ended.value()) {
      log_with_pid(CORE_STOPPED_LINE, pid);
      return;
    }
    std::this_thread::sleep_for(timings.stop_poll);
  }
  core.terminate();
  (void)core.wait();
  log_with_pid(CORE_KILLED_LINE, pid);
}

}  // namespace

Status launch_core(CoreSlot& slot, const platform::Path& service_dir,
                   const platform::Path& config_path, const platform::Path& work_dir) {
  Result<CoreProcess> started = [&]() -> Result<CoreProcess> {
    auto out = platform::open_output_file(platform::join(service_dir, files::CORE_LOG_FILE));
    if (!out) return std::move(out).error().context(std::string(CREATE_CORE_LOG_FAILED));
    auto err = platform::duplicate_handle(out.value());
    if (!err) return std::move(err).error();
    auto child = platform::spawn(core_executable(service_dir), run_args(config_path, work_dir),
                                 out.value(), err.value(), {.no_window = true});
    if (!child) return std::move(child).error().context(std::string(CORE_START_FAILED));
    // Both core.log handles of the service close on return; only the core keeps the file.
    return child;
  }();
  if (!started) return std::move(started).error();

  const std::uint32_t pid = started->id();
  log_with_pid(CORE_STARTED_LINE, pid);

  const auto now = Clock::now();
  std::optional<CoreProcess> displaced;
  {
    std::lock_guard lock(slot.mutex_);
    displaced = std::exchange(slot.child_, std::move(started).value());
    slot.started_at_ = now;
  }
  // Only a launch outside the sequence lock can find a core recorded here; ending it keeps
  // every running core in the slot.
  if (displaced) end_core(slot.timings_, std::move(*displaced));
  return {};
}

void stop_core(CoreSlot& slot) {
  std::optional<CoreProcess> core;
  {
    std::lock_guard lock(slot.mutex_);
    core = std::exchange(slot.child_, std::nullopt);
  }
  if (core) end_core(slot.timings_, std::move(*core));
}

std::optional<CoreInfo> core_status(CoreSlot& slot) {
  std::lock_guard lock(slot.mutex_);
  if (!slot.child_) return std::nullopt;
  auto ended = slot.child_->has_exited();
  if (!ended || ended.value()) {
    // Whatever the core started and left behind would otherwise run on unsupervised.
    slot.child_->terminate();
    slot.child_.reset();
    return std::nullopt;
  }
  const auto elapsed = Clock::now() - slot.started_at_;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  return CoreInfo{slot.child_->id(), secs < 0 ? 0 : static_cast<std::uint64_t>(secs)};
}

}  // namespace tavrel::core

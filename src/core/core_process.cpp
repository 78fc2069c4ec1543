#include "core/core_process.h"

#include <array>
#include <condition_variable>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/singbox.h"
#include "files/service_dir.h"
#include "files/service_log.h"
#include "platform/fs.h"

namespace tavrel::core {
namespace {

using Clock = std::chrono::steady_clock;

// How long a stop or launch waits for the drain of an ended core's output. Only a descendant
// that escaped the core's tree can hold the pipe longer; the drain then reads on unwritten.
constexpr std::chrono::milliseconds DRAIN_WAIT = 1s;

void log_with_pid(std::string_view line, std::uint32_t pid) {
  files::log_line(std::string(line) + std::to_string(pid));
}

std::uint32_t exit_code_of(const CoreProcess& core) {
  // Windows exit codes are unsigned 32-bit values (an NTSTATUS for a crash).
  return static_cast<std::uint32_t>(core.exit_code().value_or(1));
}

void log_exit(std::uint32_t code, std::uint32_t pid) {
  files::log_line(std::string(CORE_EXITED_LINE) + std::to_string(code) +
                  std::string(CORE_EXITED_PID) + std::to_string(pid));
}

void log_warning(const std::string& line) { files::log_line(line); }

// Asks the core to stop and polls through the grace period, so that it can undo what it did
// to the machine; a core still there after it is ended. Either way returns once the core has
// been waited for and the rest of its tree has ended, so that nothing it started still holds
// a file of the service.
void end_core(const CoreTimings& timings, CoreProcess core) {
  const std::uint32_t pid = core.id();
  bool in_grace = true;
  if (auto ended = core.has_exited(); ended && ended.value()) {
    // Not noticed by a status before this stop: it ended by itself, and is not asked.
    log_exit(exit_code_of(core), pid);
  } else {
    // Sending the request counts towards the grace.
    const auto deadline = Clock::now() + timings.stop_grace;
    if (auto asked = core.ask_to_stop(); !asked) {
      log_warning(std::string(CORE_ASK_FAILED_LINE) + std::to_string(pid) + ": " +
                  asked.error().chain());
    }
    for (;;) {
      if (Clock::now() >= deadline) {
        in_grace = false;
        break;
      }
      if (auto ended = core.has_exited(); ended && ended.value()) break;
      std::this_thread::sleep_for(timings.stop_poll);
    }
  }
  // The core itself after the grace; in any case whatever of its tree is left.
  core.terminate();
  (void)core.wait();
  (void)core.wait_for_tree(TREE_END_WAIT);
  log_with_pid(in_grace ? CORE_STOPPED_LINE : CORE_KILLED_LINE, pid);
}

}  // namespace

// core.log as the core's output fills it. Before bytes would take it past the limit it becomes
// core.log.1, after the last whole line that still fits, so a line is split only when it is
// longer than the limit. A line's start is held back until its end arrives (or the output
// ends), as the pipe may deliver a line in pieces. A failed write or rename loses output,
// never stops the drain.
class CoreLog {
 public:
  CoreLog(platform::Path file, platform::Path old_file, std::uint64_t limit,
          platform::FileWriter writer)
      : file_(std::move(file)), old_file_(std::move(old_file)), limit_(limit > 0 ? limit : 1) {
    writer_.emplace(std::move(writer));
  }
  CoreLog(CoreLog&& other) noexcept
      : file_(std::move(other.file_)),
        old_file_(std::move(other.old_file_)),
        limit_(other.limit_),
        size_(other.size_),
        partial_(std::exchange(other.partial_, {})),
        writer_(std::move(other.writer_)) {}
  CoreLog& operator=(CoreLog&&) = delete;
  ~CoreLog() {
    if (!partial_.empty()) write_lines(partial_);
  }

  void write(std::string_view bytes) {
    const std::size_t last_end = bytes.rfind('\n');
    if (last_end == std::string_view::npos) {
      partial_ += bytes;
    } else {
      partial_ += bytes.substr(0, last_end + 1);
      write_lines(partial_);
      partial_.assign(bytes.substr(last_end + 1));
    }
    if (partial_.size() >= limit_) {
      write_lines(partial_);
      partial_.clear();
    }
  }

 private:
  void write_lines(std::string_view bytes) {
    while (!bytes.empty()) {
      const std::uint64_t room = limit_ - size_;
      std::size_t take = bytes.size();
      if (take > room) {
        const std::size_t cut = bytes.substr(0, static_cast<std::size_t>(room)).rfind('\n');
        if (cut != std::string_view::npos) {
          take = cut + 1;
        } else {
          // The next line starts a fresh file, unless it is longer than a whole one.
          take = size_ > 0 ? 0 : static_cast<std::size_t>(room);
        }
      }
      if (take > 0 && writer_) (void)writer_->write(bytes.substr(0, take));
      size_ += take;
      bytes.remove_prefix(take);
      if (!bytes.empty()) rotate();
    }
  }

  void rotate() {
    writer_.reset();
    (void)platform::rename_replace_retrying(file_, old_file_);
    if (auto fresh = platform::FileWriter::create(file_, platform::Access::Log)) writer_.emplace(std::move(fresh).value());
    size_ = 0;
  }

  platform::Path file_, old_file_;
  std::uint64_t limit_;
  std::uint64_t size_ = 0;
  std::string partial_;  // the start of a line whose end has not arrived
  std::optional<platform::FileWriter> writer_;
};

// The thread that drains one core's output pipe into core.log. It runs until every holder of
// the pipe's write end has gone, so the core never waits on the service for more than a disk
// write.
class CoreOutput {
 public:
  static Result<std::unique_ptr<CoreOutput>> start(platform::OwnedHandle pipe, CoreLog log) {
    auto output = std::unique_ptr<CoreOutput>(new CoreOutput());
    output->shared_->log.emplace(std::move(log));
    try {
      std::thread(drain, output->shared_, std::move(pipe)).detach();
    } catch (const std::system_error& e) {
      return CommandError(e.what());
    }
    return output;
  }

  ~CoreOutput() { finish(); }

  // Waits a moment for the end of the output, then closes core.log either way.
  void finish() {
    std::unique_lock lock(shared_->mutex);
    shared_->ended_cv.wait_for(lock, DRAIN_WAIT, [&] { return shared_->ended; });
    shared_->log.reset();
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;
    std::optional<CoreLog> log;  // absent once finished: the drain then only reads
  };

  CoreOutput() = default;

  static void drain(std::shared_ptr<Shared> shared, platform::OwnedHandle pipe) {
    std::array<char, 65536> buffer;
    for (;;) {
      auto got = platform::read_pipe(pipe, buffer.data(), buffer.size());
      if (!got || got.value() == 0) break;
      std::lock_guard lock(shared->mutex);
      if (shared->log) shared->log->write({buffer.data(), got.value()});
    }
    std::lock_guard lock(shared->mutex);
    shared->log.reset();
    shared->ended = true;
    shared->ended_cv.notify_all();
  }

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

CoreSlot::CoreSlot(const CoreTimings& timings) : timings_(timings) {}

CoreSlot::~CoreSlot() = default;

Status launch_core(CoreSlot& slot, const platform::Path& service_dir,
                   const platform::Path& config_path, const platform::Path& work_dir) {
  {
    // The last core's output is done with core.log before core.log changes hands.
    std::unique_ptr<CoreOutput> previous;
    {
      std::lock_guard lock(slot.mutex_);
      previous = std::move(slot.output_);
    }
  }
  const platform::Path log = platform::join(service_dir, files::CORE_LOG_FILE);
  const platform::Path old_log = platform::join(service_dir, files::CORE_LOG_OLD_FILE);

  std::unique_ptr<CoreOutput> output;
  platform::ChildRecord record;
  Result<CoreProcess> started = [&]() -> Result<CoreProcess> {
    // Kept, so that after a crash and a new start the crashed core's words can still be read.
    if (platform::exists(log)) (void)platform::rename_replace_retrying(log, old_log);
    auto file = platform::FileWriter::create(log, platform::Access::Log);
    if (!file) return std::move(file).error().context(std::string(CREATE_CORE_LOG_FAILED));
    auto pipe = platform::make_output_pipe();
    if (!pipe) return std::move(pipe).error();
    auto child = platform::spawn(core_executable(service_dir), run_args(config_path, work_dir),
                                 pipe->write, pipe->write, {.no_window = true, .system_path = true, .warn = log_warning});
    // Only the core holds the write end now, so the drain ends when the core's tree has gone.
    pipe->write.reset();
    if (!child) return std::move(child).error().context(std::string(CORE_START_FAILED));
    record = platform::ChildRecord::add(child_records_dir(service_dir), child->id());
    auto drain = CoreOutput::start(
        std::move(pipe->read),
        CoreLog(log, old_log, slot.timings_.core_log_limit, std::move(file).value()));
    if (!drain) {
      child->terminate();
      (void)child->wait();
      return std::move(drain).error().context(std::string(CORE_START_FAILED));
    }
    output = std::move(drain).value();
    return child;
  }();
  if (!started) return std::move(started).error();

  const std::uint32_t pid = started->id();
  log_with_pid(CORE_STARTED_LINE, pid);

  const auto now = Clock::now();
  std::optional<CoreProcess> displaced;
  std::unique_ptr<CoreOutput> displaced_output;
  platform::ChildRecord displaced_record;
  {
    std::lock_guard lock(slot.mutex_);
    displaced = std::exchange(slot.child_, std::move(started).value());
    displaced_record = std::exchange(slot.child_record_, std::move(record));
    displaced_output = std::exchange(slot.output_, std::move(output));
    slot.started_at_ = now;
    slot.exit_code_.reset();
  }
  // Only a launch outside the sequence lock can find a core recorded here; ending it keeps
  // every running core in the slot.
  if (displaced) end_core(slot.timings_, std::move(*displaced));
  return {};
}

void stop_core(CoreSlot& slot) {
  std::optional<CoreProcess> core;
  std::unique_ptr<CoreOutput> output;
  platform::ChildRecord record;
  {
    std::lock_guard lock(slot.mutex_);
    core = std::exchange(slot.child_, std::nullopt);
    record = std::exchange(slot.child_record_, {});
    output = std::move(slot.output_);
    slot.exit_code_.reset();
  }
  if (core) end_core(slot.timings_, std::move(*core));
  // `output` finishes here, once the core's tree has gone and its pipe has ended.
}

std::optional<CoreInfo> core_status(CoreSlot& slot) {
  std::optional<CoreProcess> ended_core;
  platform::ChildRecord ended_record;
  std::optional<std::uint32_t> code;
  {
    std::lock_guard lock(slot.mutex_);
    if (!slot.child_) return std::nullopt;
    auto ended = slot.child_->has_exited();
    if (ended && !ended.value()) {
      const auto elapsed = Clock::now() - slot.started_at_;
      const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
      return CoreInfo{slot.child_->id(), secs < 0 ? 0 : static_cast<std::uint64_t>(secs)};
    }
    // Whatever the core started and left behind would otherwise run on unsupervised.
    slot.child_->terminate();
    if (ended) code = slot.exit_code_ = exit_code_of(*slot.child_);
    ended_core = std::exchange(slot.child_, std::nullopt);
    ended_record = std::exchange(slot.child_record_, {});
  }
  if (code) log_exit(*code, ended_core->id());
  return std::nullopt;
}

std::optional<std::uint32_t> core_exit_code(CoreSlot& slot) {
  std::lock_guard lock(slot.mutex_);
  return slot.exit_code_;
}

}  // namespace tavrel::core

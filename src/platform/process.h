// Child processes: started with an argument list, never through a shell, standard input from
// the null device, and with their output either captured or sent to a file.
//
// A child inherits only the handles it is given (never a socket or file of the service), and
// it never outlives this process: on Windows every child joins a job that is killed when the
// service's handle to it closes; on POSIX every child is forked by one long-lived thread and
// gets SIGKILL when that thread (so the process) ends.
//
// Each child also heads a tree of its own (Windows: a job nested in that one; POSIX: a process
// group it leads), which holds whatever the child starts in turn, so that ending the child
// ends all of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::platform {

// An owned handle (Windows) or file descriptor (POSIX), closed when its owner goes away.
class OwnedHandle {
 public:
  using Native = std::intptr_t;
  static constexpr Native INVALID = -1;

  OwnedHandle() = default;
  explicit OwnedHandle(Native native);
  ~OwnedHandle() { reset(); }
  OwnedHandle(OwnedHandle&& other) noexcept : native_(other.release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  bool valid() const { return native_ != INVALID; }
  Native get() const { return native_; }
  Native release() {
    const Native n = native_;
    native_ = INVALID;
    return n;
  }
  // Closes the handle held so far and takes `native`.
  void reset(Native native = INVALID);

 private:
  Native native_ = INVALID;
};

// Opens a file for a child's output: created when missing, truncated to zero length when
// present, writable; other openers may read, write and delete it.
Result<OwnedHandle> open_output_file(const Path& file);

// A second handle to the same open file (one file position shared by both).
Result<OwnedHandle> duplicate_handle(const OwnedHandle& handle);

// A pipe for a child's output that the service drains itself: the child gets `write` as its
// output (through spawn), the service keeps `read`. Neither end is inherited by any child
// on its own.
struct OutputPipe {
  OwnedHandle read;
  OwnedHandle write;
};
Result<OutputPipe> make_output_pipe();

// Blocks until some bytes arrive; 0 once every holder of the write end has closed it.
Result<std::size_t> read_pipe(const OwnedHandle& read, char* buffer, std::size_t size);

struct SpawnOptions {
  // Windows: CREATE_NO_WINDOW, so that a console program gets no window of its own.
  bool no_window = false;
  // PATH holds only the system's own directories (on Windows the program's own directory
  // first), so that a program run by name, or a library searched along PATH, never comes from
  // a directory an ordinary user may write. The rest of the environment is inherited.
  bool system_path = false;
  // run_captured: where the child's tree is recorded while it runs (see leftovers.h), so that
  // what a crash leaves of it is ended at the next start-up. Empty: not recorded.
  Path record_dir = {};
  // The child's current directory. Empty: this process's.
  Path working_dir = {};
};

// The PATH a child started with `system_path` gets.
Path::string_type system_search_path(const Path& program);

// A started child. Discarding it closes its handles and does nothing to the process itself.
// Not safe for concurrent use; one owner at a time.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  std::uint32_t id() const { return pid_; }

  // Whether the process has ended, without waiting. When it has, its exit code is read; on
  // POSIX the ended process is left unreaped until wait or discarding, so that its tree can
  // still be ended.
  Result<bool> has_exited();

  // Ends the process and everything in its tree at once, also what is left of the tree once
  // the process itself has ended (Windows: exit code 1; POSIX: SIGKILL). Failures are ignored.
  void terminate();

  // Waits for the end of the process without a time limit; its exit code.
  Result<int> wait();

  // The exit code once has_exited or wait has seen the end (POSIX: 128 + signal number for a
  // process ended by a signal).
  std::optional<int> exit_code() const { return exit_code_; }

 private:
  friend struct ProcessAccess;
  void release_child();

  OwnedHandle process_;  // Windows only
  OwnedHandle thread_;   // Windows only
  OwnedHandle tree_;     // Windows only: the child's own job
  std::uint32_t pid_ = 0;
  std::optional<int> exit_code_;
  bool reaped_ = false;  // POSIX only: once reaped, the id (and group id) may name another process
};

// Starts `program` with `args` (not including the program itself); its standard output goes
// to `out`, its standard error to `err`. The two may be the same handle.
Result<Process> spawn(const Path& program, const std::vector<Path>& args, const OwnedHandle& out,
                      const OwnedHandle& err, SpawnOptions options = {});

struct CapturedRun {
  int exit_code = 0;
  std::string out;
  std::string err;
  // The time limit was reached: the child was ended and the output is what came before.
  bool timed_out = false;
};

// Starts `program` with both outputs captured through pipes, reads both to their end at the
// same time and waits for the child. With a time limit, a child still running (or a pipe still
// open) at the limit is ended; `timed_out` says so. Fails only when the child cannot be started.
Result<CapturedRun> run_captured(const Path& program, const std::vector<Path>& args,
                                 std::optional<std::chrono::milliseconds> time_limit,
                                 SpawnOptions options = {});

namespace detail {
// One command line from which the C runtime's splitting rules give back exactly `program`
// and `args` (spaces, quotes and trailing backslashes included). Pure, so both builds check it.
std::wstring quote_command_line(const std::wstring& program, const std::vector<std::wstring>& args);
}  // namespace detail

}  // namespace tavrel::platform

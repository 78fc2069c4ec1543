#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/error.h"
#include "platform/leftovers.h"
#include "platform/process.h"

extern char** environ;

namespace tavrel::platform {

namespace {

int fd_of(const OwnedHandle& h) { return static_cast<int>(h.get()); }

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

int decode_info(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return info.si_status;
  if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) return 128 + info.si_status;
  return 1;
}

// Every child is forked by this one thread, which lives as long as the process: the parent-
// death signal follows the forking thread, not the process. It also reaps children whose
// Process was discarded while they ran, so that they do not stay zombies; it never waits for
// any other pid, so children started elsewhere in the process are left alone.
class Spawner {
 public:
  static Spawner& instance() {
    static Spawner* spawner = new Spawner();  // never destroyed: the thread must outlive exit
    return *spawner;
  }

  // Runs `job` on the spawner thread and returns when it has run.
  void run(const std::function<void()>& job) {
    std::unique_lock lock(mutex_);
    bool done = false;
    jobs_.push_back([&] {
      job();
      std::lock_guard inner(mutex_);
      done = true;
      done_cv_.notify_all();
    });
    cv_.notify_one();
    done_cv_.wait(lock, [&] { return done; });
  }

  void adopt(pid_t pid) {
    std::lock_guard lock(mutex_);
    orphans_.push_back(pid);
    cv_.notify_one();
  }

 private:
  Spawner() {
    // The thread takes no signal meant for the process.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread([this] { loop(); }).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (orphans_.empty()) {
        cv_.wait(lock, [&] { return !jobs_.empty() || !orphans_.empty(); });
      } else {
        cv_.wait_for(lock, std::chrono::milliseconds(200), [&] { return !jobs_.empty(); });
      }
      for (auto it = orphans_.begin(); it != orphans_.end();) {
        int status = 0;
        const pid_t r = waitpid(*it, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR)) {
          ++it;
        } else {
          it = orphans_.erase(it);
        }
      }
      while (!jobs_.empty()) {
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable done_cv_;
  std::deque<std::function<void()>> jobs_;
  std::vector<pid_t> orphans_;
};

// Closes every descriptor from `low` to `high` inclusive, in a forked child.
void close_range_in_child(unsigned low, unsigned high, int max_fd) {
  if (low > high) return;
#if defined(__linux__) && defined(SYS_close_range)
  if (syscall(SYS_close_range, low, high, 0) == 0) return;
#endif
  const unsigned last = high < static_cast<unsigned>(max_fd) ? high : static_cast<unsigned>(max_fd);
  for (unsigned fd = low; fd <= last; ++fd) close(static_cast<int>(fd));
}

struct ChildSetup {
  const char* program;
  const char* working_dir;  // nullptr: stay where the parent is
  char* const* argv;
  char* const* envp;
  int in, out, err;
  pid_t parent;
  int max_fd;
  volatile int* failure;  // shared with the parent: errno of the step that failed
};

// Runs in a vfork child: it shares the parent's memory until exec, so only async-signal-safe
// calls, nothing allocated, and failures leave through `failure` and _exit. The spawner thread
// blocks every signal, so no handler of the parent can run here before they are reset.
[[noreturn]] void become_child(const ChildSetup& s) {
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have died before the line above took effect.
  if (getppid() != s.parent) _exit(127);
#endif
  // The child's tree: what it starts stays in its group unless it leaves on purpose.
  if (setpgid(0, 0) != 0) {
    *s.failure = errno;
    _exit(127);
  }
  // Moved above 2 first, so that a source already at 0, 1 or 2 is not lost or left
  // close-on-exec by dup2 onto itself.
  const int in = fcntl(s.in, F_DUPFD_CLOEXEC, 3);
  const int out = fcntl(s.out, F_DUPFD_CLOEXEC, 3);
  const int err = fcntl(s.err, F_DUPFD_CLOEXEC, 3);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    *s.failure = errno;
    _exit(127);
  }
  close_range_in_child(3, ~0U, s.max_fd);
  if (s.working_dir != nullptr && chdir(s.working_dir) != 0) {
    *s.failure = errno;
    _exit(127);
  }

  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  execve(s.program, s.argv, s.envp);
  *s.failure = errno;
  _exit(127);
}

Result<OwnedHandle> open_null_input() {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  return OwnedHandle(fd);
}

Result<Process> spawn_with(const Path& program, const std::vector<Path>& args, int in, int out,
                           int err, SpawnOptions options);

}  // namespace

struct ProcessAccess {
  static Process make(pid_t pid) {
    Process p;
    p.pid_ = static_cast<std::uint32_t>(pid);
    return p;
  }
};

OwnedHandle::OwnedHandle(Native native) : native_(native < 0 ? INVALID : native) {}

void OwnedHandle::reset(Native native) {
  if (native < 0) native = INVALID;
  if (native_ != INVALID) close(static_cast<int>(native_));
  native_ = native;
}

Path::string_type system_search_path(const Path&) { return "/usr/sbin:/usr/bin:/sbin:/bin"; }

Result<OwnedHandle> open_output_file(const Path& file) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return last_os_error();
  return OwnedHandle(fd);
}

Result<OwnedHandle> duplicate_handle(const OwnedHandle& handle) {
  const int fd = fcntl(fd_of(handle), F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return last_os_error();
  return OwnedHandle(fd);
}

Result<OutputPipe> make_output_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return last_os_error();
  return OutputPipe{OwnedHandle(fds[0]), OwnedHandle(fds[1])};
}

Result<std::size_t> read_pipe(const OwnedHandle& read, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_of(read), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

void Process::release_child() {
  if (pid_ != 0 && !reaped_) {
    int status = 0;
    if (waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) == 0) {
      Spawner::instance().adopt(static_cast<pid_t>(pid_));
    }
  }
  pid_ = 0;
  reaped_ = false;
}

Result<bool> Process::has_exited() {
  if (exit_code_) return true;
  for (;;) {
    siginfo_t info{};
    // WNOWAIT: the ended child stays a zombie, which keeps its group id from being reused
    // while the rest of its tree may still have to be ended.
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      if (info.si_pid == 0) return false;
      exit_code_ = decode_info(info);
      return true;
    }
    if (errno != EINTR) return last_os_error();
  }
}

void Process::terminate() {
  // Once reaped the id may belong to someone else's process or group.
  if (pid_ != 0 && !reaped_) killpg(static_cast<pid_t>(pid_), SIGKILL);
}

Result<int> Process::wait() {
  if (reaped_) return *exit_code_;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(static_cast<pid_t>(pid_), &status, 0);
    if (r > 0) {
      reaped_ = true;
      if (!exit_code_) exit_code_ = decode_status(status);
      return *exit_code_;
    }
    if (errno != EINTR) return last_os_error();
  }
}

namespace {

Result<Process> spawn_with(const Path& program, const std::vector<Path>& args, int in, int out,
                           int err, SpawnOptions options) {
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back(program.native());
  for (const Path& a : args) storage.push_back(a.native());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  // Built here: the vfork child may not allocate.
  std::string path_entry;
  std::vector<char*> envp;
  if (options.system_path) {
    path_entry = "PATH=" + system_search_path(program);
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string_view(*entry).starts_with("PATH=")) continue;
      envp.push_back(*entry);
    }
    envp.push_back(path_entry.data());
    envp.push_back(nullptr);
  }

  rlimit limit{};
  int max_fd = 65535;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < 1048576) {
    max_fd = static_cast<int>(limit.rlim_cur) - 1;
  }

  // vfork, not fork: the service may be large, and a fork would copy its page tables and make
  // it fault on every page it writes next; the parent waits here until the child has exec'd
  // or given up.
  volatile int failure = 0;
  const ChildSetup setup{program.c_str(),
                         options.working_dir.empty() ? nullptr : options.working_dir.c_str(),
                         argv.data(), options.system_path ? envp.data() : environ,
                         in, out, err, getpid(), max_fd, &failure};
  pid_t pid = -1;
  int fork_error = 0;
  Spawner::instance().run([&] {
    pid = vfork();
    if (pid == 0) become_child(setup);
    if (pid < 0) fork_error = errno;
  });
  if (pid < 0) return os_error(fork_error);

  Process child = ProcessAccess::make(pid);
  if (failure != 0) {
    const int child_errno = failure;
    (void)child.wait();
    return os_error(child_errno);
  }
  return child;
}

}  // namespace

Result<Process> spawn(const Path& program, const std::vector<Path>& args, const OwnedHandle& out,
                      const OwnedHandle& err, SpawnOptions options) {
  auto in = open_null_input();
  if (!in) return std::move(in).error();
  return spawn_with(program, args, fd_of(in.value()), fd_of(out), fd_of(err), options);
}

Result<CapturedRun> run_captured(const Path& program, const std::vector<Path>& args,
                                 std::optional<std::chrono::milliseconds> time_limit,
                                 SpawnOptions options) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + time_limit.value_or(std::chrono::milliseconds::zero());
  auto remaining_ms = [&]() -> int {
    if (!time_limit) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
  };

  auto in = open_null_input();
  if (!in) return std::move(in).error();
  int out_fds[2], err_fds[2];
  if (pipe2(out_fds, O_CLOEXEC) != 0) return last_os_error();
  OwnedHandle out_read(out_fds[0]), out_write(out_fds[1]);
  if (pipe2(err_fds, O_CLOEXEC) != 0) return last_os_error();
  OwnedHandle err_read(err_fds[0]), err_write(err_fds[1]);

  auto started = spawn_with(program, args, fd_of(in.value()), out_fds[1], err_fds[1], options);
  out_write.reset();
  err_write.reset();
  if (!started) return std::move(started).error();
  Process child = std::move(started).value();
  // Gone again after the wait below.
  const ChildRecord record = ChildRecord::add(options.record_dir, child.id());

  CapturedRun run;
  struct Stream {
    OwnedHandle* fd;
    std::string* sink;
  };
  Stream streams[2] = {{&out_read, &run.out}, {&err_read, &run.err}};
  char buffer[65536];
  for (;;) {
    pollfd fds[2];
    Stream* which[2];
    nfds_t count = 0;
    for (Stream& s : streams) {
      if (s.fd->valid()) {
        fds[count] = pollfd{fd_of(*s.fd), POLLIN, 0};
        which[count] = &s;
        ++count;
      }
    }
    if (count == 0) break;
    const int ready = poll(fds, count, remaining_ms());
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      run.timed_out = true;
      break;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        which[i]->sink->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        which[i]->fd->reset();
      }
    }
  }

  if (!run.timed_out && time_limit) {
    // Both pipes are closed; the child may still be on its way out, or may have handed the
    // pipes on and kept running.
    std::chrono::milliseconds pause(1);
    for (;;) {
      auto ended = child.has_exited();
      if (!ended || ended.value()) break;
      if (remaining_ms() == 0) {
        run.timed_out = true;
        break;
      }
      std::this_thread::sleep_for(std::min(pause, std::chrono::milliseconds(remaining_ms())));
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }
  if (run.timed_out) child.terminate();
  auto code = child.wait();
  run.exit_code = code ? code.value() : 1;
  return run;
}

}  // namespace tavrel::platform

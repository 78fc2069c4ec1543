#include <windows.h>

#include <array>
#include <cwchar>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/unique_handle.h"

namespace tavrel::platform {

namespace {

HANDLE raw(const OwnedHandle& h) { return h.valid() ? reinterpret_cast<HANDLE>(h.get()) : nullptr; }

OwnedHandle owned(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return OwnedHandle{};
  return OwnedHandle(reinterpret_cast<OwnedHandle::Native>(h));
}

// Handles made inheritable for one child exist only while CreateProcessW runs under this lock,
// so even a system that ignored the handle list could not pass them to another child.
std::mutex spawn_mutex;

// The job every child joins. Its only handle is this process's and is never closed, so the
// system kills the children when this process ends, however it ends.
HANDLE service_job() {
  static const HANDLE job = [] {
    HANDLE j = CreateJobObjectW(nullptr, nullptr);
    if (j == nullptr) return HANDLE{nullptr};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(j);
      return HANDLE{nullptr};
    }
    return j;
  }();
  return job;
}

Result<UniqueHandle> inheritable_copy(HANDLE h) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return last_os_error();
  }
  return UniqueHandle(copy);
}

Result<UniqueHandle> open_null_input() {
  HANDLE h = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_os_error();
  return UniqueHandle(h);
}

std::wstring_view entry_name(std::wstring_view entry) {
  // A name may itself start with '=' (the per-drive directories such as "=C:").
  const std::size_t eq = entry.find(L'=', 1);
  return entry.substr(0, eq == std::wstring_view::npos ? entry.size() : eq);
}

// Environment names compare without regard to case, as the system compares them.
int compare_names(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE);
}

// This process's environment with PATH replaced, as a block for CreateProcessW, kept in the
// sorted order the system keeps its own.
Result<std::wstring> environment_with_system_path(const Path& program) {
  wchar_t* strings = GetEnvironmentStringsW();
  if (strings == nullptr) return last_os_error();
  const std::wstring path_entry = L"PATH=" + system_search_path(program);
  std::wstring block;
  bool path_placed = false;
  for (const wchar_t* p = strings; *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring_view name = entry_name(p);
    if (compare_names(name, L"PATH") == CSTR_EQUAL) continue;
    if (!path_placed && compare_names(L"PATH", name) == CSTR_LESS_THAN) {
      block.append(path_entry).push_back(L'\0');
      path_placed = true;
    }
    block.append(p).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  if (!path_placed) block.append(path_entry).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

std::vector<std::wstring> wide_args(const std::vector<Path>& args) {
  std::vector<std::wstring> out;
  out.reserve(args.size());
  for (const Path& a : args) out.push_back(a.native());
  return out;
}

}  // namespace

struct ProcessAccess {
  static Process make(HANDLE process, HANDLE thread, OwnedHandle tree) {
    Process p;
    p.process_ = owned(process);
    p.thread_ = owned(thread);
    p.tree_ = std::move(tree);
    p.pid_ = GetProcessId(process);
    return p;
  }
  static HANDLE handle(const Process& p) { return raw(p.process_); }
  static HANDLE tree(const Process& p) { return raw(p.tree_); }
};

OwnedHandle::OwnedHandle(Native native) : native_(native == 0 ? INVALID : native) {}

void OwnedHandle::reset(Native native) {
  if (native == 0) native = INVALID;
  if (native_ != INVALID) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = native;
}

Result<OwnedHandle> open_output_file(const Path& file) {
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_os_error();
  return owned(h);
}

Result<OwnedHandle> duplicate_handle(const OwnedHandle& handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), raw(handle), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return last_os_error();
  }
  return owned(copy);
}

Result<OutputPipe> make_output_pipe() {
  HANDLE read = nullptr, write = nullptr;
  // Not inheritable: spawn passes a copy of the write end to the one child that gets it.
  if (!CreatePipe(&read, &write, nullptr, 65536)) return last_os_error();
  return OutputPipe{owned(read), owned(write)};
}

Result<std::size_t> read_pipe(const OwnedHandle& read, char* buffer, std::size_t size) {
  DWORD got = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (ReadFile(raw(read), buffer, want, &got, nullptr)) return static_cast<std::size_t>(got);
  if (GetLastError() == ERROR_BROKEN_PIPE) return std::size_t{0};
  return last_os_error();
}

void Process::release_child() {
  process_.reset();
  thread_.reset();
  tree_.reset();
  pid_ = 0;
}

Result<bool> Process::has_exited() {
  if (exit_code_) return true;
  switch (WaitForSingleObject(raw(process_), 0)) {
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      if (!GetExitCodeProcess(raw(process_), &code)) return last_os_error();
      exit_code_ = static_cast<int>(code);
      return true;
    }
    case WAIT_TIMEOUT:
      return false;
    default:
      return last_os_error();
  }
}

void Process::terminate() {
  if (tree_.valid() && TerminateJobObject(raw(tree_), 1)) return;
  if (process_.valid()) TerminateProcess(raw(process_), 1);
}

Result<int> Process::wait() {
  if (exit_code_) return *exit_code_;
  if (WaitForSingleObject(raw(process_), INFINITE) != WAIT_OBJECT_0) return last_os_error();
  DWORD code = 0;
  if (!GetExitCodeProcess(raw(process_), &code)) return last_os_error();
  exit_code_ = static_cast<int>(code);
  return *exit_code_;
}

namespace {

Result<Process> spawn_with(const Path& program, const std::vector<Path>& args, HANDLE in,
                           HANDLE out, HANDLE err, SpawnOptions options) {
  std::wstring command_line = detail::quote_command_line(program.native(), wide_args(args));
  std::wstring environment;
  if (options.system_path) {
    auto built = environment_with_system_path(program);
    if (!built) return std::move(built).error();
    environment = std::move(built).value();
  }
  HANDLE job = service_job();
  OwnedHandle tree = owned(CreateJobObjectW(nullptr, nullptr));
  if (!tree.valid()) return last_os_error();

  std::lock_guard lock(spawn_mutex);
  std::array<UniqueHandle, 3> inherited;
  std::array<HANDLE, 3> sources{in, out, err};
  for (std::size_t i = 0; i < sources.size(); ++i) {
    // The same source twice (stdout and stderr into one handle) is passed once.
    bool seen = false;
    for (std::size_t k = 0; k < i; ++k) {
      if (sources[k] == sources[i]) seen = true;
    }
    if (seen) continue;
    auto copy = inheritable_copy(sources[i]);
    if (!copy) return std::move(copy).error();
    inherited[i] = std::move(copy).value();
  }
  auto handle_of = [&](std::size_t i) {
    for (std::size_t k = 0; k <= i; ++k) {
      if (sources[k] == sources[i]) return inherited[k].get();
    }
    return HANDLE{nullptr};
  };
  std::vector<HANDLE> handle_list;
  for (const UniqueHandle& h : inherited) {
    if (h) handle_list.push_back(h.get());
  }

  SIZE_T attr_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
  std::vector<unsigned char> attr_buffer(attr_size);
  auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buffer.data());
  if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size)) return last_os_error();
  struct AttrGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~AttrGuard() { DeleteProcThreadAttributeList(list); }
  } attr_guard{attrs};
  if (!UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handle_list.data(),
                                 handle_list.size() * sizeof(HANDLE), nullptr, nullptr)) {
    return last_os_error();
  }

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = handle_of(0);
  si.StartupInfo.hStdOutput = handle_of(1);
  si.StartupInfo.hStdError = handle_of(2);
  si.lpAttributeList = attrs;

  // Suspended until it is in its jobs, so that nothing it starts escapes them.
  DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
  if (options.no_window) flags |= CREATE_NO_WINDOW;

  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                      options.system_path ? environment.data() : nullptr,
                      options.working_dir.empty() ? nullptr : options.working_dir.c_str(),
                      &si.StartupInfo, &pi)) {
    return last_os_error();
  }
  Process child = ProcessAccess::make(pi.hProcess, pi.hThread, std::move(tree));
  // The service's job first, so that the child's own job nests inside it. Without the
  // service's job the child only loses the guarantee of dying with us; without its own, a
  // stop could not end what it starts, so it does not run at all.
  if (job != nullptr) AssignProcessToJobObject(job, pi.hProcess);
  if (!AssignProcessToJobObject(ProcessAccess::tree(child), pi.hProcess)) {
    auto failure = last_os_error();
    TerminateProcess(pi.hProcess, 1);
    (void)child.wait();
    return failure;
  }
  ResumeThread(pi.hThread);
  return child;
}

// Pipes for captured output: the read end is overlapped so that one thread can wait for both
// pipes and a deadline at once; the write end is an ordinary handle for the child.
struct PipePair {
  UniqueHandle read;
  UniqueHandle write;
};

Result<PipePair> make_pipe() {
  for (int attempt = 0;; ++attempt) {
    unsigned char noise[8];
    secure_random(noise, sizeof noise);
    std::wstring name = L"\\\\.\\pipe\\tavrel-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (unsigned char b : noise) {
      name += L"0123456789abcdef"[b >> 4];
      name += L"0123456789abcdef"[b & 15];
    }
    HANDLE server = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_ACCESS_DENIED && attempt < 8) continue;
      return last_os_error();
    }
    PipePair pair;
    pair.read = UniqueHandle(server);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (client == INVALID_HANDLE_VALUE) return last_os_error();
    pair.write = UniqueHandle(client);
    return pair;
  }
}

struct PipeReader {
  HANDLE pipe = nullptr;
  UniqueHandle event;
  OVERLAPPED overlapped{};
  std::array<char, 65536> buffer{};
  std::string* sink = nullptr;
  bool pending = false;
  bool done = false;

  // Starts reads until one is left pending or the pipe has ended.
  void start() {
    while (!done && !pending) {
      overlapped = OVERLAPPED{};
      overlapped.hEvent = event.get();
      DWORD got = 0;
      if (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &overlapped)) {
        if (!GetOverlappedResult(pipe, &overlapped, &got, FALSE)) {
          done = true;
          return;
        }
        sink->append(buffer.data(), got);
        continue;
      }
      if (GetLastError() == ERROR_IO_PENDING) {
        pending = true;
      } else {
        done = true;  // broken pipe: the writer has gone
      }
    }
  }

  void complete() {
    DWORD got = 0;
    pending = false;
    if (GetOverlappedResult(pipe, &overlapped, &got, FALSE)) {
      sink->append(buffer.data(), got);
    } else {
      done = true;
    }
  }

  void cancel() {
    if (!pending) return;
    CancelIoEx(pipe, &overlapped);
    DWORD got = 0;
    GetOverlappedResult(pipe, &overlapped, &got, TRUE);
    pending = false;
    done = true;
  }
};

}  // namespace

Path::string_type system_search_path(const Path& program) {
  // The system's own directory, not %SystemRoot% of the environment.
  std::wstring root(MAX_PATH, L'\0');
  const UINT n = GetSystemWindowsDirectoryW(root.data(), static_cast<UINT>(root.size()));
  root.resize(n > 0 && n < root.size() ? n : 0);
  if (root.empty()) root = L"C:\\Windows";
  return program.parent_path().native() + L";" + root + L"\\System32;" + root + L";" + root +
         L"\\System32\\Wbem";
}

Result<Process> spawn(const Path& program, const std::vector<Path>& args, const OwnedHandle& out,
                      const OwnedHandle& err, SpawnOptions options) {
  auto in = open_null_input();
  if (!in) return std::move(in).error();
  return spawn_with(program, args, in->get(), raw(out), raw(err), options);
}

Result<CapturedRun> run_captured(const Path& program, const std::vector<Path>& args,
                                 std::optional<std::chrono::milliseconds> time_limit,
                                 SpawnOptions options) {
  const auto deadline =
      std::chrono::steady_clock::now() + time_limit.value_or(std::chrono::milliseconds::zero());
  auto in = open_null_input();
  if (!in) return std::move(in).error();
  auto out_pipe = make_pipe();
  if (!out_pipe) return std::move(out_pipe).error();
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::move(err_pipe).error();

  auto started =
      spawn_with(program, args, in->get(), out_pipe->write.get(), err_pipe->write.get(), options);
  // Only the child may hold the write ends now, so that its end closes the pipes.
  out_pipe->write.reset();
  err_pipe->write.reset();
  if (!started) return std::move(started).error();
  Process child = std::move(started).value();

  CapturedRun run;
  std::array<PipeReader, 2> readers;
  readers[0].pipe = out_pipe->read.get();
  readers[0].sink = &run.out;
  readers[1].pipe = err_pipe->read.get();
  readers[1].sink = &run.err;
  for (PipeReader& r : readers) {
    r.event = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!r.event) {
      r.done = true;
      continue;
    }
    r.start();
  }

  auto remaining_ms = [&]() -> DWORD {
    if (!time_limit) return INFINITE;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
  };

  for (;;) {
    std::array<HANDLE, 2> events{};
    std::array<PipeReader*, 2> waiting{};
    DWORD count = 0;
    for (PipeReader& r : readers) {
      if (r.pending) {
        events[count] = r.event.get();
        waiting[count] = &r;
        ++count;
      }
    }
    if (count == 0) break;
    const DWORD which = WaitForMultipleObjects(count, events.data(), FALSE, remaining_ms());
    if (which == WAIT_TIMEOUT) {
      run.timed_out = true;
      break;
    }
    if (which >= WAIT_OBJECT_0 + count) {
      // Waiting itself failed; give up on the output rather than spin.
      for (PipeReader& r : readers) r.cancel();
      break;
    }
    PipeReader* r = waiting[which - WAIT_OBJECT_0];
    r->complete();
    r->start();
  }

  if (!run.timed_out && time_limit) {
    if (WaitForSingleObject(ProcessAccess::handle(child), remaining_ms()) == WAIT_TIMEOUT) {
      run.timed_out = true;
    }
  }
  if (run.timed_out) child.terminate();
  for (PipeReader& r : readers) r.cancel();
  auto code = child.wait();
  run.exit_code = code ? code.value() : 1;
  return run;
}

}  // namespace tavrel::platform

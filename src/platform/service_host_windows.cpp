#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/service_host.h"
#include "platform/wide_text.h"

namespace tavrel::platform {
namespace {

constexpr DWORD START_WAIT_HINT_MS = 3000;
// While the service stops, the service manager hears from it this often, each time with a
// higher check point, so that a stop that takes a while is never taken for a hung one.
constexpr std::chrono::milliseconds STOP_PENDING_PERIOD{1000};

// The service-specific code of a stop after a failed start-up.
constexpr DWORD FAILED_START_UP = 1;

// Every status report goes through here, one at a time. The states only move forward: nothing
// is reported after SERVICE_STOPPED, and SERVICE_RUNNING is not reported once a stop began.
class StatusReporter {
 public:
  void attach(SERVICE_STATUS_HANDLE handle, DWORD stop_wait_hint_ms) {
    std::lock_guard lock(mutex_);
    handle_ = handle;
    stop_wait_hint_ms_ = stop_wait_hint_ms;
  }

  void start_pending() {
    std::lock_guard lock(mutex_);
    report(SERVICE_START_PENDING, 0, START_WAIT_HINT_MS);
  }

  void running() {
    std::lock_guard lock(mutex_);
    if (!stopping_) report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
  }

  void stop_requested() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    report_stop_pending();
    changed_.notify_all();
  }

  // Repeats SERVICE_STOP_PENDING once a stop was asked for, until `stopped`.
  void repeat_stop_pending() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || finished_; });
    while (!changed_.wait_for(lock, STOP_PENDING_PERIOD, [&] { return finished_; })) {
      report_stop_pending();
    }
  }

  // Ends repeat_stop_pending; call stopped once it has returned.
  void finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

  void stopped(DWORD specific_exit_code) {
    std::lock_guard lock(mutex_);
    report(SERVICE_STOPPED, 0, 0, specific_exit_code);
    done_ = true;
  }

 private:
  void report_stop_pending() { report(SERVICE_STOP_PENDING, 0, stop_wait_hint_ms_, 0, ++checkpoint_); }

  void report(DWORD state, DWORD controls_accepted, DWORD wait_hint, DWORD specific_exit_code = 0,
              DWORD checkpoint = 0) {
    if (handle_ == nullptr || done_) return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    status.dwWin32ExitCode = specific_exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = specific_exit_code;
    status.dwCheckPoint = checkpoint;
    status.dwWaitHint = wait_hint;
    ::SetServiceStatus(handle_, &status);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  SERVICE_STATUS_HANDLE handle_ = nullptr;
  DWORD stop_wait_hint_ms_ = 0;
  DWORD checkpoint_ = 0;
  bool stopping_ = false;
  bool finished_ = false;
  bool done_ = false;
};

// The service manager calls back without a context, so the host keeps these process-wide.
StatusReporter reporter;
std::shared_ptr<StopFlag> host_stop;
const ServiceHostCalls* host_calls = nullptr;
std::wstring host_name;
std::atomic<bool> service_started{false};

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      reporter.stop_requested();
      host_stop->raise(control == SERVICE_CONTROL_STOP ? StopCause::ServiceStop
                                                       : StopCause::SystemShutdown);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPWSTR*) {
  service_started.store(true);
  SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(host_name.c_str(), control_handler, nullptr);
  if (handle == nullptr) {
    host_calls->log("RegisterServiceCtrlHandlerExW failed");
    return;
  }
  reporter.attach(handle, static_cast<DWORD>(host_calls->stop_wait_hint.count()));
  reporter.start_pending();
  std::thread pending;
  try {
    pending = std::thread([] { reporter.repeat_stop_pending(); });
  } catch (const std::system_error&) {
    host_calls->log("cannot start the thread that reports a stop in progress");
  }
  const bool served = host_calls->serve(host_stop, [] { reporter.running(); });
  reporter.finish();
  if (pending.joinable()) pending.join();
  reporter.stopped(served ? 0 : FAILED_START_UP);
}

}  // namespace

bool started_by_service_manager() { return service_started.load(); }

void run_service_host(const std::string& name, std::shared_ptr<StopFlag> stop,
                      const ServiceHostCalls& calls) {
  host_name = widen(name);
  host_stop = stop;
  host_calls = &calls;
  SERVICE_TABLE_ENTRYW table[] = {{host_name.data(), service_main}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      calls.serve(stop, {});
    } else {
      calls.log("StartServiceCtrlDispatcherW failed: " + std::to_string(err));
    }
  }
  host_calls = nullptr;
}

}  // namespace tavrel::platform

#include <windows.h>

#include <atomic>

#include "platform/service_host.h"
#include "platform/wide_text.h"

namespace tavrel::platform {
namespace {

constexpr DWORD WAIT_HINT_MS = 3000;

// The service manager calls back without a context, so the host keeps these process-wide.
std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
std::shared_ptr<StopFlag> host_stop;
const ServiceHostCalls* host_calls = nullptr;
std::wstring host_name;
std::atomic<bool> service_started{false};

// The service-specific code of a stop after a failed start-up.
constexpr DWORD FAILED_START_UP = 1;

void report_status(DWORD state, DWORD controls_accepted, DWORD specific_exit_code = 0) {
  SERVICE_STATUS_HANDLE handle = status_handle.load();
  if (handle == nullptr) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls_accepted;
  status.dwWin32ExitCode = specific_exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = specific_exit_code;
  status.dwCheckPoint = 0;
  status.dwWaitHint = WAIT_HINT_MS;
  ::SetServiceStatus(handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report_status(SERVICE_STOP_PENDING, 0);
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
  status_handle.exchange(handle);
  report_status(SERVICE_START_PENDING, 0);
  report_status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  const bool served = host_calls->serve(host_stop);
  report_status(SERVICE_STOPPED, 0, served ? 0 : FAILED_START_UP);
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
      calls.serve(stop);
    } else {
      calls.log("StartServiceCtrlDispatcherW failed: " + std::to_string(err));
    }
  }
  host_calls = nullptr;
}

}  // namespace tavrel::platform

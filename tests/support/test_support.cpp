#include "support/test_support.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/fs.h"
#include "platform/system.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace tavrel::testing {

TempDir::TempDir(std::string_view name) {
  static std::atomic<unsigned> counter{0};
  unsigned char noise[4];
  platform::secure_random(noise, sizeof noise);
  std::string leaf = std::string(name) + " " + std::to_string(platform::current_process_id()) + "-" +
                     std::to_string(counter++) + "-" + std::to_string(noise[0] * 256 + noise[1]);
  path_ = platform::join(std::filesystem::temp_directory_path(), leaf);
  std::error_code ec;
  std::filesystem::create_directories(path_, ec);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

platform::Path helper_program(std::string_view base_name) {
  auto exe = platform::current_exe();
  const platform::Path dir = exe ? exe.value().parent_path() : platform::Path{};
  std::string name(base_name);
  if (platform::SERVICE_EXE_NAME.ends_with(".exe")) name += ".exe";
  return platform::join(dir, name);
}

bool process_has_ended(std::uint32_t pid) {
#ifdef _WIN32
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
#else
  if (kill(static_cast<pid_t>(pid), 0) != 0) return true;
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return paren == std::string::npos || stat.size() < paren + 3 || stat[paren + 2] == 'Z';
#endif
}

bool kill_process(std::uint32_t pid) {
#ifdef _WIN32
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) return false;
  const bool ended = TerminateProcess(process, 1) != 0;
  CloseHandle(process);
  return ended;
#else
  return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
#endif
}

std::optional<std::uint32_t> service_process_id(std::string_view service_name) {
#ifdef _WIN32
  const std::wstring name(service_name.begin(), service_name.end());
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return std::nullopt;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  std::optional<std::uint32_t> pid;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (service != nullptr &&
      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof status, &needed) &&
      status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId != 0) {
    pid = status.dwProcessId;
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return pid;
#else
  (void)service_name;
  return std::nullopt;
#endif
}

platform::Path service_program() {
  auto exe = platform::current_exe();
  const platform::Path dir = exe ? exe.value().parent_path().parent_path() : platform::Path{};
  return platform::join(dir, platform::SERVICE_EXE_NAME);
}

std::string read_file(const platform::Path& file) {
  auto content = platform::read_file(file);
  return content ? content.value() : std::string{};
}

}  // namespace tavrel::testing

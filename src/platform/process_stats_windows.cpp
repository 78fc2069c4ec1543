#include <windows.h>
#include <psapi.h>

#include "platform/process_stats.h"

namespace tavrel::platform {

std::optional<std::uint64_t> peak_memory_bytes(const Process& process) {
  HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, process.id());
  if (handle == nullptr) return std::nullopt;
  PROCESS_MEMORY_COUNTERS counters{};
  const BOOL read = ::GetProcessMemoryInfo(handle, &counters, sizeof counters);
  ::CloseHandle(handle);
  if (!read || counters.PeakWorkingSetSize == 0) return std::nullopt;
  return counters.PeakWorkingSetSize;
}

std::optional<std::size_t> open_socket_count(const Process&) { return std::nullopt; }

}  // namespace tavrel::platform

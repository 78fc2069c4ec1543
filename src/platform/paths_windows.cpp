#include <windows.h>

#include <vector>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/wide_text.h"

namespace tavrel::platform {

const std::string_view SERVICE_EXE_NAME = "tavrel-service.exe";
const std::string_view CORE_EXE_NAME = "sing-box.exe";
const std::string_view SC_EXE_NAME = "sc.exe";
const std::string_view DEFAULT_PROGRAM_FILES = "C:\\Program Files";

Path join(const Path& left, std::string_view right_utf8) {
  std::wstring joined = left.native();
  if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/') joined += L'\\';
  joined += widen(right_utf8);
  return Path(std::move(joined));
}

std::string to_utf8(const Path& path) { return narrow(path.native()); }

Path from_utf8(std::string_view utf8) { return Path(widen(utf8)); }

Result<Path> current_exe() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return last_os_error();
    if (n < buffer.size()) return Path(std::wstring(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
  return os_error(ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace tavrel::platform

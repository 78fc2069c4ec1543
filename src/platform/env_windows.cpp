#include <windows.h>

#include <vector>

#include "platform/env.h"
#include "platform/wide_text.h"

namespace tavrel::platform {

std::optional<Path> env_path(std::string_view name) {
  const std::wstring wide_name = widen(name);
  std::vector<wchar_t> buffer(256);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      // An empty value is present; a missing one sets ERROR_ENVVAR_NOT_FOUND.
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return Path(std::wstring{});
    }
    if (n < buffer.size()) {
      std::wstring value(buffer.data(), n);
      if (!is_valid_utf16(value)) return std::nullopt;
      return Path(std::move(value));
    }
    buffer.resize(n + 1);
  }
  return std::nullopt;
}

void set_env(std::string_view name, std::string_view value) {
  ::SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

void unset_env(std::string_view name) { ::SetEnvironmentVariableW(widen(name).c_str(), nullptr); }

void set_env_invalid_unicode(std::string_view name) {
  const wchar_t value[] = {L'C', L':', L'\\', static_cast<wchar_t>(0xD800), L'x', 0};
  ::SetEnvironmentVariableW(widen(name).c_str(), value);
}

}  // namespace tavrel::platform

#include <windows.h>

#include <cwctype>

#include "platform/error.h"
#include "platform/wide_text.h"

namespace tavrel::platform {

std::string system_error_text(int code) {
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD n = ::FormatMessageW(flags, nullptr, static_cast<DWORD>(code), 0,
                                   reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring message;
  if (n != 0 && buffer != nullptr) message.assign(buffer, n);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!message.empty() && ::iswspace(message.back())) message.pop_back();
  if (message.empty()) message = L"Unknown error";
  return narrow(message) + " (os error " + std::to_string(code) + ")";
}

int last_error_code() { return static_cast<int>(::GetLastError()); }

CommandError os_error(int code) { return CommandError(system_error_text(code)); }

CommandError last_os_error() { return os_error(last_error_code()); }

}  // namespace tavrel::platform

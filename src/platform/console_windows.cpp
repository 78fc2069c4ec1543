#include <windows.h>

#include <mutex>

#include "platform/console.h"
#include "platform/wide_text.h"

namespace tavrel::platform {
namespace {

std::mutex& stream_mutex() {
  static std::mutex m;
  return m;
}

void write_stream(DWORD which, std::string_view utf8) {
  std::lock_guard lock(stream_mutex());
  HANDLE stream = ::GetStdHandle(which);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (::GetConsoleMode(stream, &mode)) {
    const std::wstring wide = widen(utf8);
    std::wstring_view rest = wide;
    while (!rest.empty()) {
      DWORD written = 0;
      const DWORD chunk = rest.size() > 8192 ? 8192 : static_cast<DWORD>(rest.size());
      if (!::WriteConsoleW(stream, rest.data(), chunk, &written, nullptr) || written == 0) return;
      rest.remove_prefix(written);
    }
    return;
  }
  while (!utf8.empty()) {
    DWORD written = 0;
    const DWORD chunk = utf8.size() > 0x100000 ? 0x100000 : static_cast<DWORD>(utf8.size());
    if (!::WriteFile(stream, utf8.data(), chunk, &written, nullptr) || written == 0) return;
    utf8.remove_prefix(written);
  }
}

}  // namespace

void write_stdout(std::string_view utf8) { write_stream(STD_OUTPUT_HANDLE, utf8); }
void write_stderr(std::string_view utf8) { write_stream(STD_ERROR_HANDLE, utf8); }

}  // namespace tavrel::platform

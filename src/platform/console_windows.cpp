#include <windows.h>

#include <mutex>

#include "common/text.h"
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

unsigned console_code_page() { return ::GetOEMCP(); }

std::string decode_console_output(std::string_view bytes, unsigned code_page) {
  if (text::is_valid_utf8(bytes) || code_page == 0 || code_page == CP_UTF8 ||
      bytes.size() > 0x7fffffff) {
    return text::utf8_lossy(bytes);
  }
  const int size = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0);
  if (n <= 0) return text::utf8_lossy(bytes);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  if (::MultiByteToWideChar(code_page, 0, bytes.data(), size, wide.data(), n) != n)
    return text::utf8_lossy(bytes);
  return narrow(wide);
}

}  // namespace tavrel::platform

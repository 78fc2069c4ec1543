#include <windows.h>

#include "plain_child.h"
#include "platform/process.h"

bool start_plain_child(const tavrel::platform::Path& program, const std::vector<std::string>& args) {
  std::vector<std::wstring> wide;
  for (const std::string& a : args) wide.push_back(tavrel::platform::from_utf8(a).native());
  std::wstring line = tavrel::platform::detail::quote_command_line(program.native(), wide);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi)) {
    return false;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

#include <windows.h>

#include <string>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/program_lookup.h"

namespace tavrel::platform {

Result<Tool> find_tool(std::string_view file_name) {
  std::wstring dir(MAX_PATH, L'\0');
  UINT n = ::GetSystemDirectoryW(dir.data(), static_cast<UINT>(dir.size()));
  if (n > dir.size()) {
    dir.resize(n);
    n = ::GetSystemDirectoryW(dir.data(), static_cast<UINT>(dir.size()));
  }
  if (n == 0) return last_os_error();
  if (n >= dir.size()) return os_error(ERROR_INSUFFICIENT_BUFFER);
  dir.resize(n);
  Tool tool{join(Path(dir), file_name), Path(dir)};
  if (!platform::is_regular_file(tool.program)) return os_error(ERROR_FILE_NOT_FOUND);
  return tool;
}

}  // namespace tavrel::platform

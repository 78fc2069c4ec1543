#include <windows.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/program_lookup.h"
#include "platform/wide_text.h"

namespace tavrel::platform {
namespace {

std::wstring directory_from(UINT (*query)(LPWSTR, UINT)) {
  std::wstring dir(MAX_PATH, L'\0');
  UINT n = query(dir.data(), static_cast<UINT>(dir.size()));
  if (n > dir.size()) {
    dir.resize(n);
    n = query(dir.data(), static_cast<UINT>(dir.size()));
  }
  if (n == 0 || n >= dir.size()) return {};
  dir.resize(n);
  return dir;
}

UINT system_directory(LPWSTR buffer, UINT size) { return ::GetSystemDirectoryW(buffer, size); }
UINT windows_directory(LPWSTR buffer, UINT size) { return ::GetWindowsDirectoryW(buffer, size); }

std::wstring environment_value(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(name, value.data(), size);
  if (n == 0 || n >= size) return {};
  value.resize(n);
  return value;
}

// A relative entry (".", "bin", "\tools" without a drive) depends on the current directory.
bool is_absolute_dir(const std::wstring& dir) {
  if (dir.size() >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) return true;
  return dir.size() >= 2 && (dir[0] == L'\\' || dir[0] == L'/') && dir[1] == dir[0];
}

std::vector<Path> search_dirs() {
  std::vector<Path> dirs;
  if (auto exe = current_exe()) dirs.push_back(exe->parent_path());
  for (auto query : {system_directory, windows_directory}) {
    std::wstring dir = directory_from(query);
    if (!dir.empty()) dirs.emplace_back(std::move(dir));
  }
  const std::wstring path = environment_value(L"PATH");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring entry = path.substr(start, end - start);
    if (entry.size() >= 2 && entry.front() == L'"' && entry.back() == L'"')
      entry = entry.substr(1, entry.size() - 2);
    if (is_absolute_dir(entry)) dirs.emplace_back(std::move(entry));
    start = end + 1;
  }
  return dirs;
}

}  // namespace

Result<Path> find_program(std::string_view file_name) {
  for (const Path& dir : search_dirs()) {
    const Path candidate = join(dir, file_name);
    if (platform::is_regular_file(candidate)) return candidate;
  }
  return os_error(ERROR_FILE_NOT_FOUND);
}

}  // namespace tavrel::platform

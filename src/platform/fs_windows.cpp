#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <optional>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/unique_handle.h"
#include "platform/wide_text.h"

namespace tavrel::platform {
namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool is_existing_directory(const Path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Status write_all(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) return last_os_error();
    if (written == 0) return os_error(ERROR_WRITE_FAULT);
    bytes.remove_prefix(written);
  }
  return {};
}

Status write_and_close(UniqueHandle file, std::string_view bytes) {
  if (auto written = write_all(file.get(), bytes); !written) return written;
  if (!::CloseHandle(file.release())) return last_os_error();
  return {};
}

bool is_dot_entry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

Status remove_tree(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_os_error();
  if (attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // A directory link is removed itself, never followed.
  if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    std::optional<CommandError> first_failure;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (is_dot_entry(entry.cFileName)) continue;
        if (auto removed = remove_tree(path + L"\\" + entry.cFileName); !removed && !first_failure) {
          first_failure = std::move(removed).error();
        }
      } while (::FindNextFileW(find, &entry));
      ::FindClose(find);
    }
    if (!::RemoveDirectoryW(path.c_str())) {
      if (first_failure) return std::move(*first_failure);
      return last_os_error();
    }
    return {};
  }
  if (directory) {
    if (!::RemoveDirectoryW(path.c_str())) return last_os_error();
    return {};
  }
  if (!::DeleteFileW(path.c_str())) return last_os_error();
  return {};
}

}  // namespace

Status create_directories(const Path& dir) {
  if (::CreateDirectoryW(dir.c_str(), nullptr)) return {};
  DWORD err = ::GetLastError();
  if (err == ERROR_ALREADY_EXISTS) return is_existing_directory(dir) ? Status{} : os_error(static_cast<int>(err));
  const Path parent = dir.parent_path();
  if (err != ERROR_PATH_NOT_FOUND || parent.empty() || parent == dir) return os_error(static_cast<int>(err));
  if (auto made = platform::create_directories(parent); !made) return made;
  if (::CreateDirectoryW(dir.c_str(), nullptr)) return {};
  err = ::GetLastError();
  if (err == ERROR_ALREADY_EXISTS && is_existing_directory(dir)) return {};
  return os_error(static_cast<int>(err));
}

Result<FileWriter> FileWriter::create(const Path& file) {
  HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_os_error();
  return FileWriter(reinterpret_cast<Native>(handle));
}

Result<FileWriter> FileWriter::create(const Path& file, Access) { return create(file); }

FileWriter::~FileWriter() {
  if (native_ != INVALID) ::CloseHandle(reinterpret_cast<HANDLE>(native_));
}

Status FileWriter::write(std::string_view bytes) { return write_all(reinterpret_cast<HANDLE>(native_), bytes); }

Status FileWriter::close() {
  HANDLE handle = reinterpret_cast<HANDLE>(native_);
  native_ = INVALID;
  if (!::CloseHandle(handle)) return last_os_error();
  return {};
}

Status write_file(const Path& file, std::string_view bytes) {
  auto writer = FileWriter::create(file);
  if (!writer) return std::move(writer).error();
  if (auto written = writer->write(bytes); !written) return written;
  return writer->close();
}

Status append_file_shared(const Path& file, std::string_view bytes) {
  UniqueHandle handle(
      ::CreateFileW(file.c_str(), FILE_APPEND_DATA, SHARE_ALL, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return last_os_error();
  return write_and_close(std::move(handle), bytes);
}

Result<std::string> read_file(const Path& file) {
  UniqueHandle handle(
      ::CreateFileW(file.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return last_os_error();
  std::string content;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(handle.get(), buffer, sizeof buffer, &n, nullptr)) return last_os_error();
    if (n == 0) break;
    content.append(buffer, n);
  }
  return content;
}

bool exists(const Path& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::optional<std::uint64_t> file_size(const Path& file) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool is_regular_file(const Path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Status remove_all(const Path& path) {
  std::wstring native = path.native();
  while (native.size() > 3 && (native.back() == L'\\' || native.back() == L'/')) native.pop_back();
  return remove_tree(native);
}

Status copy_file(const Path& from, const Path& to) {
  if (!::CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)) return last_os_error();
  return {};
}

namespace {

// The system's error code, or 0.
DWORD move_path(const Path& from, const Path& to) {
  // Replacing is for files only; the system does not support it for directories.
  const DWORD flags = is_existing_directory(from) ? 0 : MOVEFILE_REPLACE_EXISTING;
  return ::MoveFileExW(from.c_str(), to.c_str(), flags) ? 0 : ::GetLastError();
}

}  // namespace

Status rename_replace(const Path& from, const Path& to) {
  if (const DWORD err = move_path(from, to); err != 0) return os_error(static_cast<int>(err));
  return {};
}

Status rename_replace_retrying(const Path& from, const Path& to) {
  constexpr int PAUSE_MS = 50;
  for (int waited = 0;; waited += PAUSE_MS) {
    const DWORD err = move_path(from, to);
    if (err == 0) return {};
    // A directory in the way of a file stays there: no reader to wait for.
    const bool transient = err == ERROR_SHARING_VIOLATION ||
                           (err == ERROR_ACCESS_DENIED && (is_existing_directory(from) || !is_existing_directory(to)));
    if (waited >= RENAME_PATIENCE_MS || !transient) return os_error(static_cast<int>(err));
    ::Sleep(PAUSE_MS);
  }
}

Status make_writable(const Path& file) {
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_os_error();
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return {};
  if (!::SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return last_os_error();
  return {};
}

namespace {

struct LocalSecurityDescriptor {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ~LocalSecurityDescriptor() {
    if (sd != nullptr) ::LocalFree(sd);
  }
};

HANDLE create_with_descriptor(const Path& file, std::string_view sddl) {
  LocalSecurityDescriptor descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(sddl).c_str(), SDDL_REVISION_1,
                                                              &descriptor.sd, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.sd, FALSE};
  return ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &attributes,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Status write_restricted_file(const Path& file, std::string_view bytes) {
  // A file that is already there would keep its own descriptor through CREATE_ALWAYS.
  if (!::DeleteFileW(file.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return last_os_error();
  }
  const std::string_view with_label = access_sddl(Access::Token);
  UniqueHandle handle(create_with_descriptor(file, with_label));
  // A system that refuses the label refuses the whole creation; without the label the DACL
  // still keeps every account but the interactive users out. Any other cause fails again.
  if (!handle) handle.reset(create_with_descriptor(file, with_label.substr(0, with_label.find("S:"))));
  if (!handle) return last_os_error();
  return write_and_close(std::move(handle), bytes);
}

Result<std::string> file_access_text(const Path& file) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD err = ::GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                            nullptr, nullptr, nullptr, nullptr, &sd);
  if (err != ERROR_SUCCESS) return os_error(static_cast<int>(err));
  LocalSecurityDescriptor owned{sd};
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, &text,
          nullptr)) {
    return last_os_error();
  }
  std::wstring wide(text);
  ::LocalFree(text);
  return to_utf8(Path(wide));
}

}  // namespace tavrel::platform

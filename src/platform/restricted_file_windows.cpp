#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/unique_handle.h"

namespace tavrel::platform {
namespace {

// Protected (nothing inherited from the directory): SYSTEM and Administrators full control,
// INTERACTIVE read.
constexpr const wchar_t* RESTRICTED_DACL = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;IU)";
// Medium integrity, no read up: a low-integrity process cannot read the file.
constexpr const wchar_t* MEDIUM_NO_READ_UP = L"S:(ML;;NR;;;ME)";

struct LocalSecurityDescriptor {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ~LocalSecurityDescriptor() {
    if (sd != nullptr) ::LocalFree(sd);
  }
};

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

// Best effort: systems (and accounts) that refuse the label keep the DACL alone.
void try_set_label(HANDLE file) {
  LocalSecurityDescriptor label;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(MEDIUM_NO_READ_UP, SDDL_REVISION_1,
                                                              &label.sd, nullptr)) {
    return;
  }
  PACL sacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!::GetSecurityDescriptorSacl(label.sd, &present, &sacl, &defaulted) || !present) return;
  (void)::SetSecurityInfo(file, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, sacl);
}

}  // namespace

Status write_restricted_file(const Path& file, std::string_view bytes) {
  LocalSecurityDescriptor dacl;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(RESTRICTED_DACL, SDDL_REVISION_1,
                                                              &dacl.sd, nullptr)) {
    return last_os_error();
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, dacl.sd, FALSE};
  // A file that is already there would keep its own descriptor through CREATE_ALWAYS.
  if (!::DeleteFileW(file.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return last_os_error();
  }
  UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_WRITE | WRITE_OWNER | READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return last_os_error();
  try_set_label(handle.get());
  if (auto written = write_all(handle.get(), bytes); !written) return written;
  if (!::CloseHandle(handle.release())) return last_os_error();
  return {};
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

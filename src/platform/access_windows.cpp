#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "platform/access.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/service_host.h"
#include "platform/wide_text.h"

namespace tavrel::platform {
namespace {

struct LocalMemory {
  void* p = nullptr;
  ~LocalMemory() {
    if (p != nullptr) ::LocalFree(p);
  }
};

Status to_descriptor(std::string_view sddl, LocalMemory& out) {
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(sddl).c_str(), SDDL_REVISION_1,
                                                              &out.p, nullptr)) {
    return last_os_error();
  }
  return {};
}

PACL dacl_of(PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) || !present) return nullptr;
  return acl;
}

PACL sacl_of(PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  if (!::GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted) || !present) return nullptr;
  return acl;
}

bool is_protected(PSECURITY_DESCRIPTOR sd) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  return ::GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
}

// Entry by entry: the lists' allocated sizes may differ.
bool same_entries(PACL a, PACL b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->AceCount != b->AceCount) return false;
  for (DWORD i = 0; i < a->AceCount; ++i) {
    void* x = nullptr;
    void* y = nullptr;
    if (!::GetAce(a, i, &x) || !::GetAce(b, i, &y)) return false;
    const WORD size = static_cast<ACE_HEADER*>(x)->AceSize;
    if (size != static_cast<ACE_HEADER*>(y)->AceSize || std::memcmp(x, y, size) != 0) return false;
  }
  return true;
}

bool has_descriptor(const Path& path, PSECURITY_DESCRIPTOR wanted, bool with_label) {
  PSECURITY_DESCRIPTOR current = nullptr;
  PACL dacl = nullptr, sacl = nullptr;
  const SECURITY_INFORMATION info =
      DACL_SECURITY_INFORMATION | (with_label ? LABEL_SECURITY_INFORMATION : 0);
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, info, nullptr, nullptr, &dacl, &sacl,
                              &current) != ERROR_SUCCESS) {
    return false;
  }
  LocalMemory owned{current};
  return is_protected(current) && same_entries(dacl, dacl_of(wanted)) &&
         (!with_label || same_entries(sacl, sacl_of(wanted)));
}

Result<std::vector<BYTE>> well_known_sid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return last_os_error();
  sid.resize(size);
  return sid;
}

Result<std::vector<BYTE>> own_user_sid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return last_os_error();
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  BOOL got = ::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  if (!got && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(size);
    got = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  }
  const DWORD err = ::GetLastError();
  ::CloseHandle(token);
  if (!got) return os_error(static_cast<int>(err));
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

// "DOMAIN\name", or the SID itself where it names no known account.
std::string account_name(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (::LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    return domain_size > 0 ? narrow(domain) + "\\" + narrow(name) : narrow(name);
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "?";
  std::string out = narrow(text);
  ::LocalFree(text);
  return out;
}

// The owner's name when it is none of those trusted with the directory.
Result<std::optional<std::string>> untrusted_owner(const Path& dir) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PSID owner = nullptr;
  const DWORD err = ::GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                            &owner, nullptr, nullptr, nullptr, &sd);
  if (err != ERROR_SUCCESS) return os_error(static_cast<int>(err));
  LocalMemory owned{sd};
  if (owner == nullptr) return std::optional<std::string>("?");
  if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid)) {
    return std::optional<std::string>();
  }
  auto self = own_user_sid();
  if (!self) return std::move(self).error();
  if (::EqualSid(owner, self->data())) return std::optional<std::string>();
  return std::optional<std::string>(account_name(owner));
}

}  // namespace

Status set_access(const Path& path, Access kind) {
  LocalMemory wanted;
  if (auto made = to_descriptor(access_sddl(kind), wanted); !made) return made;
  const bool with_label = kind == Access::Token;
  if (has_descriptor(path, wanted.p, with_label)) return {};
  const auto set = [&](bool label) {
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    if (label) info |= LABEL_SECURITY_INFORMATION;
    return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, info, nullptr,
                                   nullptr, dacl_of(wanted.p), label ? sacl_of(wanted.p) : nullptr);
  };
  DWORD err = set(with_label);
  // As at the token's creation: where the label is refused, the DACL alone.
  if (err != ERROR_SUCCESS && with_label) err = set(false);
  if (err != ERROR_SUCCESS) return os_error(static_cast<int>(err));
  return {};
}

bool start_up_sets_access() { return started_by_service_manager(); }

Result<std::optional<std::string>> claim_directory(const Path& given) {
  std::wstring native = given.native();
  while (native.size() > 3 && (native.back() == L'\\' || native.back() == L'/')) native.pop_back();
  const Path dir(native);
  const Path parent = dir.parent_path();
  if (!parent.empty() && parent != dir && parent != dir.root_path()) {
    if (auto made = platform::create_directories(parent); !made) return std::move(made).error();
  }
  // Created here, or found: only a found one can have been prepared by someone else.
  if (!::CreateDirectoryW(dir.c_str(), nullptr)) {
    const DWORD err = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    if (err != ERROR_ALREADY_EXISTS || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return os_error(static_cast<int>(err));
    }
    auto owner = untrusted_owner(dir);
    if (!owner || *owner) return owner;
  }
  auto administrators = well_known_sid(WinBuiltinAdministratorsSid);
  if (!administrators) return std::move(administrators).error();
  LocalMemory wanted;
  if (auto made = to_descriptor(access_sddl(Access::ServiceDir), wanted); !made) {
    return std::move(made).error();
  }
  const DWORD err = ::SetNamedSecurityInfoW(
      const_cast<wchar_t*>(dir.c_str()), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      administrators->data(), nullptr, dacl_of(wanted.p), nullptr);
  if (err != ERROR_SUCCESS) return os_error(static_cast<int>(err));
  return std::optional<std::string>();
}

}  // namespace tavrel::platform

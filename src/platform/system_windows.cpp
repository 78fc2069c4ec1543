#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

#include "platform/system.h"

namespace tavrel::platform {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng where the system has it (Windows 10 and later), else BCryptGenRandom.
ProcessPrngFn process_prng() {
  static const ProcessPrngFn fn = []() -> ProcessPrngFn {
    HMODULE module = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
  }();
  return fn;
}

}  // namespace

void secure_random(void* out, std::size_t size) {
  if (size == 0) return;
  if (ProcessPrngFn prng = process_prng(); prng != nullptr && prng(static_cast<PBYTE>(out), size)) return;
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      // Without a secure source there is no safe token.
      std::abort();
    }
    p += chunk;
    size -= chunk;
  }
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

}  // namespace tavrel::platform

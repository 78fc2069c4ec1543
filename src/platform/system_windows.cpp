#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

#include "platform/system.h"
#include "platform/system_library.h"

namespace tavrel::platform {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);
using BCryptGenRandomFn = decltype(&::BCryptGenRandom);

// ProcessPrng where the system has it (Windows 10 and later), else BCryptGenRandom.
ProcessPrngFn process_prng() {
  static const ProcessPrngFn fn =
      system_function_as<ProcessPrngFn>(L"bcryptprimitives.dll", "ProcessPrng");
  return fn;
}

BCryptGenRandomFn bcrypt_gen_random() {
  static const BCryptGenRandomFn fn =
      system_function_as<BCryptGenRandomFn>(L"bcrypt.dll", "BCryptGenRandom");
  return fn;
}

}  // namespace

void secure_random(void* out, std::size_t size) {
  if (size == 0) return;
  if (ProcessPrngFn prng = process_prng(); prng != nullptr && prng(static_cast<PBYTE>(out), size)) return;
  // Without a secure source there is no safe token.
  const BCryptGenRandomFn gen_random = bcrypt_gen_random();
  if (gen_random == nullptr) std::abort();
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(gen_random(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      std::abort();
    p += chunk;
    size -= chunk;
  }
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

}  // namespace tavrel::platform

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/system.h"

namespace tavrel::platform {

void secure_random(void* out, std::size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Without a secure source there is no safe token; this cannot happen on a working kernel.
      std::abort();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace tavrel::platform

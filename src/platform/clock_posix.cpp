#include <time.h>

#include <cstdio>

#include "platform/clock.h"

namespace tavrel::platform {

__extension__ typedef unsigned __int128 u128;

WallNanos wall_clock_nanos() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return {};
  const u128 nanos = static_cast<u128>(ts.tv_sec) * 1000000000U + static_cast<u128>(ts.tv_nsec);
  return {static_cast<std::uint64_t>(nanos), static_cast<std::uint64_t>(nanos >> 64)};
}

std::string local_timestamp() {
  const time_t now = ::time(nullptr);
  struct tm local{};
  if (::localtime_r(&now, &local) == nullptr) ::gmtime_r(&now, &local);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return buffer;
}

}  // namespace tavrel::platform

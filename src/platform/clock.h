// Wall-clock readings (monotonic time comes from std::chrono::steady_clock).
#pragma once

#include <cstdint>
#include <string>

namespace tavrel::platform {

// Nanoseconds since 1970-01-01 00:00:00 UTC as an unsigned 128-bit number, 0 before 1970.
struct WallNanos {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};
WallNanos wall_clock_nanos();

// The current local time (daylight saving applied) as "%Y-%m-%d %H:%M:%S".
std::string local_timestamp();

}  // namespace tavrel::platform

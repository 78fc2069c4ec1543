#include <windows.h>

#include <cstdio>

#include "platform/clock.h"

namespace tavrel::platform {

__extension__ typedef unsigned __int128 u128;

namespace {

// 100-nanosecond ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t UNIX_EPOCH_TICKS = 116444736000000000ULL;

std::uint64_t ticks_of(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

WallNanos wall_clock_nanos() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  const std::uint64_t ticks = ticks_of(ft);
  if (ticks < UNIX_EPOCH_TICKS) return {};
  const u128 nanos = static_cast<u128>(ticks - UNIX_EPOCH_TICKS) * 100U;
  return {static_cast<std::uint64_t>(nanos), static_cast<std::uint64_t>(nanos >> 64)};
}

std::string local_timestamp() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  ::FileTimeToSystemTime(&ft, &utc);
  // The zone rules of the current year, so that daylight saving is applied.
  DYNAMIC_TIME_ZONE_INFORMATION dynamic{};
  TIME_ZONE_INFORMATION zone{};
  bool have_zone = ::GetDynamicTimeZoneInformation(&dynamic) != TIME_ZONE_ID_INVALID &&
                   ::GetTimeZoneInformationForYear(utc.wYear, &dynamic, &zone);
  if (!have_zone) have_zone = ::GetTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID;
  if (!have_zone || !::SystemTimeToTzSpecificLocalTime(&zone, &utc, &local)) local = utc;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond);
  return buffer;
}

}  // namespace tavrel::platform

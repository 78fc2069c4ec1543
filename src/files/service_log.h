// The service log: one timestamped line per event in service.log, echoed on standard output.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/paths.h"

namespace tavrel::files {

// service.log becomes service.log.1 (replacing it) before it would grow past this.
inline constexpr std::uint64_t SERVICE_LOG_LIMIT = 4ull << 20;

// Appends "<local time> <message>\n" to service.log in the service directory of this moment
// and writes it to standard output. Never fails to its caller: a line that cannot be written
// is lost, and the service directory is never created here.
void log_line(std::string_view message);

// Appends `bytes` to `file`, first renaming a non-empty `file` to `old_file` when the append
// would take it past `limit`. Best effort, like log_line.
void append_bounded(const platform::Path& file, const platform::Path& old_file,
                    std::string_view bytes, std::uint64_t limit);

}  // namespace tavrel::files

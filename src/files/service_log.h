// The service log: one timestamped line per event in service.log, echoed on standard output.
#pragma once

#include <string_view>

namespace tavrel::files {

// Appends "<local time> <message>\n" to service.log in the service directory of this moment
// and writes it to standard output. Never fails to its caller: a line that cannot be written
// is lost, and the service directory is never created here.
void log_line(std::string_view message);

}  // namespace tavrel::files

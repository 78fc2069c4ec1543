// What the application is shown of a failed configuration check.
#pragma once

#include <string>
#include <string_view>

namespace tavrel::core {

// The last four non-blank lines of the check's standard error, joined by line feeds (CR LF
// line ends are taken as LF; invalid UTF-8 becomes U+FFFD). Empty when no such line exists.
std::string check_output_tail(std::string_view stderr_bytes);

}  // namespace tavrel::core

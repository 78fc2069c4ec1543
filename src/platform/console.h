// Standard output and standard error. On a Windows console text goes through WriteConsoleW
// so that Chinese shows correctly; redirected, it is written as UTF-8 bytes. A process
// without the stream (a service) writes nothing and this is no error.
#pragma once

#include <string_view>

namespace tavrel::platform {

void write_stdout(std::string_view utf8);
void write_stderr(std::string_view utf8);

}  // namespace tavrel::platform

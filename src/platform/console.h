// Standard output and standard error. On a Windows console text goes through WriteConsoleW
// so that Chinese shows correctly; redirected, it is written as UTF-8 bytes. A process
// without the stream (a service) writes nothing and this is no error.
#pragma once

#include <string>
#include <string_view>

namespace tavrel::platform {

void write_stdout(std::string_view utf8);
void write_stderr(std::string_view utf8);

// The code page console programs write in when their output is redirected: Windows the OEM
// code page (GetOEMCP; 936 on Chinese Windows); POSIX 0, as its tools write UTF-8.
unsigned console_code_page();

// A console program's output as UTF-8: valid UTF-8 stays as it is; anything else is decoded
// from `code_page` (Windows), and what that cannot decode (or code page 0, or POSIX) becomes
// U+FFFD.
std::string decode_console_output(std::string_view bytes, unsigned code_page);

}  // namespace tavrel::platform

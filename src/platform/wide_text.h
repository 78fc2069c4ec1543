// UTF-8 and UTF-16 conversions for the Windows implementations (internal to the platform layer).
#pragma once

#include <string>
#include <string_view>

namespace tavrel::platform {

// UTF-8 to UTF-16; invalid UTF-8 becomes U+FFFD.
std::wstring widen(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string narrow(std::wstring_view utf16);
// False when the text holds an unpaired surrogate.
bool is_valid_utf16(std::wstring_view utf16);

}  // namespace tavrel::platform

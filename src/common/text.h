// UTF-8 and white-space helpers shared by the protocol, the core supervisor and the installer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::text {

bool is_valid_utf8(std::string_view bytes);
// The length of the longest prefix that is valid UTF-8: where the first invalid sequence
// begins, or the whole length.
std::size_t valid_utf8_prefix(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each invalid sequence by U+FFFD (one per maximal
// invalid subpart, as the Unicode standard recommends).
std::string utf8_lossy(std::string_view bytes);

// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, char32_t cp);

// Unicode White_Space property.
bool is_unicode_space(char32_t cp);

// Removes leading and trailing Unicode white space from valid UTF-8 text.
std::string_view trim_unicode_space(std::string_view text);

// Splits valid UTF-8 text into words at runs of Unicode white space.
std::vector<std::string_view> split_words(std::string_view text);

// True when valid UTF-8 text is empty or holds only Unicode white space.
bool is_blank(std::string_view text);

// Appends `value` as a quoted JSON string: '"' and '\\' escaped, the control characters as
// \b \t \n \f \r or \u00xx (lower case), everything else, non-ASCII included, as raw bytes.
void append_json_string(std::string& out, std::string_view value);

// Lower-case hexadecimal of a 64-bit value, 16 digits, zero-padded.
std::string hex16(std::uint64_t value);

}  // namespace tavrel::text

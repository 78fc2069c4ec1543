#include "protocol/ruleset_name.h"

#include <algorithm>
#include <iterator>

namespace tavrel::protocol {
namespace {

constexpr std::size_t MAX_NAME_BYTES = 72;
constexpr std::string_view SUFFIX = ".srs";

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '@' || c == '!';
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// ISO 8859-1's superscript digits, which Windows takes as port numbers, in UTF-8.
constexpr std::string_view SUPERSCRIPT_DIGITS[] = {"\u00B9", "\u00B2", "\u00B3"};

bool is_port_number(std::string_view digit) {
  if (digit.size() == 1) return digit[0] >= '0' && digit[0] <= '9';
  return std::find(std::begin(SUPERSCRIPT_DIGITS), std::end(SUPERSCRIPT_DIGITS), digit) !=
         std::end(SUPERSCRIPT_DIGITS);
}

}  // namespace

// Windows keeps the name up to its first dot, drops trailing spaces from it and compares
// what is left; the service runs with full privileges, so such a "file" must never be opened.
bool is_device_name(std::string_view component) {
  std::string_view stem = component.substr(0, component.find('.'));
  stem = stem.substr(0, stem.find_last_not_of(' ') + 1);
  for (std::string_view device : {"con", "prn", "aux", "nul"}) {
    if (equals_ignoring_case(stem, device)) return true;
  }
  if (stem.size() < 4) return false;
  const std::string_view base = stem.substr(0, 3);
  return (equals_ignoring_case(base, "com") || equals_ignoring_case(base, "lpt")) &&
         is_port_number(stem.substr(3));
}

bool is_valid_ruleset_name(std::string_view name) {
  return name.size() >= 4 && name.size() <= MAX_NAME_BYTES && name.ends_with(SUFFIX) &&
         name.front() != '.' && name.find("..") == std::string_view::npos &&
         std::all_of(name.begin(), name.end(), is_name_char) && !is_device_name(name);
}

}  // namespace tavrel::protocol

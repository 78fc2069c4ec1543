#include "protocol/ruleset_name.h"

#include <algorithm>

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

// Windows maps these names to devices in any directory and with any extension; the
// service runs with full privileges, so such a "file" must never be opened.
bool is_device_name(std::string_view name) {
  const std::string_view stem = name.substr(0, name.find('.'));
  for (std::string_view device : {"con", "prn", "aux", "nul"}) {
    if (equals_ignoring_case(stem, device)) return true;
  }
  if (stem.size() == 4 && stem[3] >= '0' && stem[3] <= '9') {
    const std::string_view base = stem.substr(0, 3);
    return equals_ignoring_case(base, "com") || equals_ignoring_case(base, "lpt");
  }
  return false;
}

}  // namespace

bool is_valid_ruleset_name(std::string_view name) {
  return name.size() >= 4 && name.size() <= MAX_NAME_BYTES && name.ends_with(SUFFIX) &&
         name.front() != '.' && name.find("..") == std::string_view::npos &&
         std::all_of(name.begin(), name.end(), is_name_char) && !is_device_name(name);
}

}  // namespace tavrel::protocol

// Whatever the name rule accepts names a plain file directly inside the rule-set directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/ruleset_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  if (!tavrel::core::is_valid_ruleset_name(name)) return 0;

  const bool plain_file =
      name.size() >= 5 && name.size() <= 72 && name.ends_with(".srs") && name.front() != '.' &&
      name.find("..") == std::string_view::npos &&
      name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
  if (!plain_file) std::abort();
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    // Printable ASCII only, and nothing a shell or a Windows path would treat specially.
    if (byte <= 0x20 || byte >= 0x7F) std::abort();
    if (std::string_view("\"*<>?|%$~").find(c) != std::string_view::npos) std::abort();
  }
  return 0;
}

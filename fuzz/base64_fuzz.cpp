// The strict decoder agrees with a plain canonical decoder on every input: the same
// verdict and the same bytes. Failures name a position inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/base64.h"

namespace {

constexpr std::string_view ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int symbol_value(char c) {
  const std::size_t at = ALPHABET.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Groups of four symbols; "=" only as the last one or two characters; unused bits zero.
std::optional<std::string> reference_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pads = 0;
  while (pads < 2 && pads < text.size() && text[text.size() - 1 - pads] == '=') ++pads;
  std::string out;
  unsigned bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < text.size() - pads; ++i) {
    const int v = symbol_value(text[i]);
    if (v < 0) return std::nullopt;
    bits = bits << 6 | static_cast<unsigned>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<char>(bits >> held & 0xFF));
    }
  }
  if (held > 0 && (bits & ((1u << held) - 1)) != 0) return std::nullopt;
  if (text.size() - pads > 0 && (text.size() - pads) % 4 == 1) return std::nullopt;
  return out;
}

// "<prefix><byte>, offset <offset>." with the byte really at that offset.
bool names_byte_in(std::string_view message, std::string_view prefix, std::string_view text) {
  if (!message.starts_with(prefix)) return false;
  const std::string rest(message.substr(prefix.size()));
  char* after = nullptr;
  const unsigned long byte = std::strtoul(rest.c_str(), &after, 10);
  const std::string_view tail(after);
  if (!tail.starts_with(", offset ") || !tail.ends_with(".")) return false;
  const unsigned long offset = std::strtoul(after + 9, nullptr, 10);
  return offset < text.size() && static_cast<unsigned char>(text[offset]) == byte;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto ours = tavrel::base64_decode_strict(text);
  const auto reference = reference_decode(text);
  if (ours.ok() != reference.has_value()) std::abort();
  if (ours.ok() && ours.value() != *reference) std::abort();
  if (!ours.ok()) {
    const std::string& message = ours.error().message();
    const bool well_formed = message == "Invalid padding" ||
                             message.starts_with("Invalid input length: ") ||
                             names_byte_in(message, "Invalid symbol ", text) ||
                             names_byte_in(message, "Invalid last symbol ", text);
    if (!well_formed) std::abort();
  }

  const auto round_trip = tavrel::base64_decode_strict(tavrel::base64_encode(text));
  if (!round_trip.ok() || round_trip.value() != text) std::abort();
  return 0;
}

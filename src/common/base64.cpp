#include "common/base64.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrel {
namespace {

constexpr std::uint8_t INVALID = 0xFF;
constexpr char PAD = '=';

constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(INVALID);
  for (std::size_t i = 0; i < ALPHABET.size(); ++i) {
    table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> TABLE = make_table();

std::uint8_t value_of(char c) { return TABLE[static_cast<unsigned char>(c)]; }

CommandError invalid_symbol(char byte, std::size_t offset) {
  return CommandError("Invalid symbol " + std::to_string(static_cast<unsigned char>(byte)) +
                      ", offset " + std::to_string(offset) + ".");
}

CommandError invalid_last_symbol(char byte, std::size_t offset) {
  return CommandError("Invalid last symbol " + std::to_string(static_cast<unsigned char>(byte)) +
                      ", offset " + std::to_string(offset) + ".");
}

}  // namespace

Result<std::string> base64_decode_strict(std::string_view text) {
  const std::size_t len = text.size();
  if (len == 0) return std::string{};

  // With one byte over a multiple of four, that byte is judged before anything else.
  if (len % 4 == 1 && text.back() != PAD && value_of(text.back()) == INVALID) {
    return invalid_symbol(text.back(), len - 1);
  }

  const std::size_t last_start = len % 4 == 0 ? len - 4 : len - len % 4;
  // Whole groups go straight into place; the last group is appended after its checks.
  std::string out;
  out.reserve(last_start / 4 * 3 + 2);
  out.resize(last_start / 4 * 3);
  char* to = out.data();
  for (std::size_t start = 0; start < last_start; start += 4) {
    const std::uint8_t a = value_of(text[start]), b = value_of(text[start + 1]), c = value_of(text[start + 2]),
                       d = value_of(text[start + 3]);
    if (((a | b | c | d) & 0xC0) != 0) {  // only INVALID has these bits
      for (std::size_t i = start;; ++i) {
        if (value_of(text[i]) == INVALID) return invalid_symbol(text[i], i);
      }
    }
    const std::uint32_t group = std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | std::uint32_t{c} << 6 | d;
    *to++ = static_cast<char>(group >> 16);
    *to++ = static_cast<char>(group >> 8 & 0xFF);
    *to++ = static_cast<char>(group & 0xFF);
  }

  std::uint32_t group = 0;
  std::size_t symbols = 0;
  std::size_t pads = 0;
  std::size_t first_pad = 0;
  std::uint8_t last_value = 0;
  for (std::size_t i = last_start; i < len; ++i) {
    const char c = text[i];
    if (c == PAD) {
      if (i - last_start < 2) return invalid_symbol(c, i);
      if (pads++ == 0) first_pad = i;
      continue;
    }
    if (pads > 0) return invalid_symbol(PAD, first_pad);
    const std::uint8_t v = value_of(c);
    if (v == INVALID) return invalid_symbol(c, i);
    group = group << 6 | v;
    last_value = v;
    ++symbols;
  }

  if (symbols < 2)
    return CommandError("Invalid input length: " + std::to_string(last_start + symbols));
  if (symbols + pads != 4) return CommandError("Invalid padding");

  const std::size_t last_offset = last_start + symbols - 1;
  switch (symbols) {
    case 2:
      if (last_value & 0x0F) return invalid_last_symbol(text[last_offset], last_offset);
      out.push_back(static_cast<char>(group >> 4));
      break;
    case 3:
      if (last_value & 0x03) return invalid_last_symbol(text[last_offset], last_offset);
      out.push_back(static_cast<char>(group >> 10));
      out.push_back(static_cast<char>(group >> 2 & 0xFF));
      break;
    default:
      out.push_back(static_cast<char>(group >> 16));
      out.push_back(static_cast<char>(group >> 8 & 0xFF));
      out.push_back(static_cast<char>(group & 0xFF));
      break;
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - at);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      group = group << 8 | (i < n ? static_cast<unsigned char>(bytes[at + i]) : 0u);
    }
    for (std::size_t i = 0; i < 4; ++i) {
      out += i <= n ? ALPHABET[group >> (18 - 6 * i) & 0x3F] : PAD;
    }
  }
  return out;
}

}  // namespace tavrel

#include "text.h"

#include <array>

namespace tavrel::text {
namespace {

// Length of the valid UTF-8 sequence at `s`, or 0 when it is not valid there.
std::size_t valid_sequence_length(std::string_view s, std::size_t i, char32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    value = (value << 6) | (b & 0x3F);
  }
  *cp = value;
  return len;
}

// Length of the maximal invalid subpart at `i` (at least 1).
std::size_t invalid_subpart_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t k = 1;
  for (; k < len && i + k < s.size(); ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < lo || b > hi) break;
    lo = 0x80;
    hi = 0xBF;
  }
  return k;
}

// Decodes the code point at `i` of valid UTF-8 text; returns its length.
std::size_t decode_at(std::string_view s, std::size_t i, char32_t* cp) {
  const std::size_t n = valid_sequence_length(s, i, cp);
  if (n == 0) {
    *cp = 0xFFFD;
    return 1;
  }
  return n;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) { return valid_utf8_prefix(bytes) == bytes.size(); }

std::size_t valid_utf8_prefix(std::string_view bytes) {
  char32_t cp;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = valid_sequence_length(bytes, i, &cp);
    if (n == 0) return i;
    i += n;
  }
  return bytes.size();
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  char32_t cp;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = valid_sequence_length(bytes, i, &cp);
    if (n != 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += invalid_subpart_length(bytes, i);
    }
  }
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_unicode_space(char32_t cp) {
  switch (cp) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t begin = 0;
  char32_t cp;
  while (begin < text.size()) {
    const std::size_t n = decode_at(text, begin, &cp);
    if (!is_unicode_space(cp)) break;
    begin += n;
  }
  // Scan forward, remembering where the last non-space character ended.
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    const std::size_t n = decode_at(text, i, &cp);
    i += n;
    if (!is_unicode_space(cp)) end = i;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  bool in_word = false;
  char32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = decode_at(text, i, &cp);
    if (is_unicode_space(cp)) {
      if (in_word) words.push_back(text.substr(start, i - start));
      in_word = false;
    } else if (!in_word) {
      in_word = true;
      start = i;
    }
    i += n;
  }
  if (in_word) words.push_back(text.substr(start));
  return words;
}

bool is_blank(std::string_view text) { return trim_unicode_space(text).empty(); }

void append_json_string(std::string& out, std::string_view value) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(value, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += HEX[c >> 4];
        out += HEX[c & 0xF];
    }
  }
  out.append(value, run);
  out += '"';
}

std::string hex16(std::uint64_t value) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = digits[value & 0xF];
    value >>= 4;
  }
  return out;
}

}  // namespace tavrel::text

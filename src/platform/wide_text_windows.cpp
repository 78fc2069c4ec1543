#include "platform/wide_text.h"

#include "common/text.h"

namespace tavrel::platform {

std::wstring widen(std::string_view utf8) {
  const std::string valid = text::utf8_lossy(utf8);
  std::wstring out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    const auto b0 = static_cast<unsigned char>(valid[i]);
    char32_t cp;
    std::size_t len;
    if (b0 < 0x80) {
      cp = b0;
      len = 1;
    } else if (b0 < 0xE0) {
      cp = b0 & 0x1F;
      len = 2;
    } else if (b0 < 0xF0) {
      cp = b0 & 0x0F;
      len = 3;
    } else {
      cp = b0 & 0x07;
      len = 4;
    }
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
  }
  return out;
}

std::string narrow(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = static_cast<char16_t>(utf16[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size()) {
      const char32_t next = static_cast<char16_t>(utf16[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    text::append_utf8(out, cp);
  }
  return out;
}

bool is_valid_utf16(std::wstring_view utf16) {
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = static_cast<char16_t>(utf16[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= utf16.size()) return false;
      const char16_t next = static_cast<char16_t>(utf16[i + 1]);
      if (next < 0xDC00 || next > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace tavrel::platform

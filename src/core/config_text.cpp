#include "core/config_text.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string_view>

#include "common/text.h"
#include "platform/fs.h"

namespace tavrel::core {
namespace {

using nlohmann::json;

template <class Int>
void append_integer(std::string& out, Int value) {
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

// Shortest round-trip digits; plain decimal notation for 1e-5 <= |x| < 1e16, otherwise
// "<digits>e<exponent>". A whole number keeps ".0" so that it reads back as a double.
void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";  // JSON has no text for these
    return;
  }
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific).ptr;
  const std::string_view sci(buf, end - buf);  // [-]d[.ddd]e(+|-)dd
  const std::size_t e_pos = sci.find('e');
  const bool negative = sci.front() == '-';
  std::string digits;
  for (const char c : sci.substr(negative, e_pos - negative)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  const char* exponent_text = buf + e_pos + 1;
  if (*exponent_text == '+') ++exponent_text;
  std::from_chars(exponent_text, end, exponent);
  const int point = exponent + 1;  // digits before the decimal point
  const int n = static_cast<int>(digits.size());

  if (negative) out.push_back('-');
  if (point > 0 && point <= 16) {
    if (n <= point) {
      out += digits;
      out.append(point - n, '0');
      out += ".0";
    } else {
      out.append(digits, 0, point);
      out.push_back('.');
      out.append(digits, point);
    }
  } else if (point <= 0 && point > -5) {
    out += "0.";
    out.append(-point, '0');
    out += digits;
  } else {
    out.push_back(digits.front());
    if (n > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    append_integer(out, exponent);
  }
}

void append_indent(std::string& out, int depth) {
  out.append(2 * static_cast<std::size_t>(depth), ' ');
}

constexpr std::size_t CHUNK = 64 * 1024;

// Collects the text; with a file attached, or when only counting, hands it over in pieces at
// value boundaries, so a large configuration never needs a buffer of its whole size (fresh
// memory is costly to touch, and a start may write megabytes). Counting and writing stop early
// once the text passes `limit` or a write has failed.
struct TextOut {
  std::string text;
  platform::FileWriter* file = nullptr;
  bool counting = false;
  std::uint64_t handed_on = 0;  // bytes flushed so far
  std::uint64_t limit = UINT64_MAX;
  Status status;

  bool done() const { return handed_on > limit || !status; }
  void boundary() {
    if ((file != nullptr || counting) && text.size() >= CHUNK) flush();
  }
  void flush() {
    handed_on += text.size();
    if (file != nullptr && status) status = file->write(text);
    text.clear();
  }
};

// Recursion is bounded by the nesting limit of the request parser.
void append_value(TextOut& sink, const json& value, int depth) {
  std::string& out = sink.text;
  switch (value.type()) {
    case json::value_t::object:
    case json::value_t::array: {
      const bool object = value.is_object();
      if (value.empty()) {
        out += object ? "{}" : "[]";
        return;
      }
      out.push_back(object ? '{' : '[');
      bool first = true;
      for (auto it = value.cbegin(); it != value.cend(); ++it) {
        out += first ? "\n" : ",\n";
        first = false;
        append_indent(out, depth + 1);
        if (object) {
          text::append_json_string(out, it.key());
          out += ": ";
        }
        append_value(sink, *it, depth + 1);
        sink.boundary();
        if (sink.done()) return;
      }
      out.push_back('\n');
      append_indent(out, depth);
      out.push_back(object ? '}' : ']');
      return;
    }
    case json::value_t::string:
      text::append_json_string(out, value.get_ref<const std::string&>());
      return;
    case json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case json::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case json::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return;
    case json::value_t::number_float:
      append_double(out, value.get<double>());
      return;
    default:  // null; binary and discarded values never come from a request
      out += "null";
      return;
  }
}

}  // namespace

std::string config_json_text(const json& config) {
  TextOut out;
  append_value(out, config, 0);
  return std::move(out.text);
}

std::uint64_t config_json_size(const json& config, std::uint64_t limit) {
  TextOut out;
  out.counting = true;
  out.limit = limit;
  append_value(out, config, 0);
  out.flush();
  return out.handed_on;
}

Status write_config_json(const platform::Path& file, const json& config) {
  auto writer = platform::FileWriter::create(file, platform::Access::PrivateFile);
  if (!writer) return std::move(writer).error();
  TextOut out;
  out.file = &writer.value();
  out.text.reserve(2 * CHUNK);
  append_value(out, config, 0);
  out.flush();
  if (!out.status) return out.status;
  return writer->close();
}

}  // namespace tavrel::core

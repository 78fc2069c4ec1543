// The strict request-line decoder. It reads the JSON text once, building the `config` value
// directly (or, shallow, only checking it); every fault carries the place in the text where it
// was found.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <utility>

#include "common/text.h"
#include "protocol/protocol.h"

namespace tavrel::protocol {
namespace {

using json = nlohmann::json;

// Counting the envelope as level 1, an array or object at this level is refused. It also
// bounds the recursion of the parser.
constexpr int NESTING_LIMIT = 128;

enum class Kind { Version, Status, Start, Stop, ScheduleWake };
constexpr std::array<std::string_view, 5> CMD_NAMES = {"version", "status", "start", "stop",
                                                       "schedule_wake"};
constexpr std::string_view ACCEPTED_CMDS =
    R"(accepted values: "version", "status", "start", "stop", "schedule_wake")";

// What a key of `req` (or an element of its array form) stands for. `Surplus` is an element
// of the array form beyond those of the kind.
enum class Field { Config, Rulesets, At, Surplus };
constexpr std::size_t FIELD_COUNT = 4;

bool kind_knows(Kind kind, Field field) {
  switch (field) {
    case Field::Config:
    case Field::Rulesets:
      return kind == Kind::Start;
    case Field::At:
      return kind == Kind::ScheduleWake;
    case Field::Surplus:
      return true;
  }
  return false;
}

struct Fault {
  Fault(const char* at, std::string what, std::string detail = {})
      : at(at), what(std::move(what)), detail(std::move(detail)) {}

  const char* at;
  std::string what;
  std::string detail;  // said after the position
  bool too_deep = false;
};

// The level of a start's config: inside the envelope (1) and `req` (2).
constexpr int CONFIG_LEVEL = 3;

// A fault found while the enclosing value is still being read: it is reported only once the
// syntax of the whole `req` has been checked, and only when the kind turns out to use it.
using Soft = std::optional<Fault>;

constexpr std::array<bool, 256> make_string_stops() {
  std::array<bool, 256> stops{};
  for (int c = 0; c < 0x20; ++c) stops[static_cast<std::size_t>(c)] = true;
  stops['"'] = true;
  stops['\\'] = true;
  return stops;
}
constexpr auto STRING_STOPS = make_string_stops();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view type_name(char first) {
  switch (first) {
    case '{':
      return "an object";
    case '[':
      return "an array";
    case '"':
      return "a string";
    case 't':
    case 'f':
      return "a boolean";
    case 'n':
      return "null";
    default:
      return "a number";
  }
}

std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// A value from the text, quoted for a fault description: escaped like JSON and cut short.
std::string show_string(std::string_view value) {
  constexpr std::size_t MAX_SHOWN = 40;  // characters
  std::string out = "\"";
  std::size_t shown = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if ((c & 0xC0) != 0x80 && shown++ == MAX_SHOWN) {
      out += "...";
      break;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

struct Number {
  const char* begin = nullptr;
  const char* end = nullptr;
  bool negative = false;
  bool integral = true;   // neither a fraction nor an exponent
  bool overflow = false;  // the digits do not fit 64 bits
  std::uint64_t magnitude = 0;
};

// Whether a number that a double cannot hold is too small (it becomes zero) rather than too
// large.
bool is_tiny(const Number& n) {
  const char* p = n.begin + (n.negative ? 1 : 0);
  const char* q = p;
  while (q < n.end && is_digit(*q)) ++q;
  const long long int_digits = q - p;
  bool found = false;
  long long place = 0;  // decimal place of the first non-zero digit
  for (const char* s = p; s < q; ++s) {
    if (*s != '0') {
      place = int_digits - 1 - (s - p);
      found = true;
      break;
    }
  }
  if (q < n.end && *q == '.') {
    const char* fraction = ++q;
    for (; q < n.end && is_digit(*q); ++q) {
      if (!found && *q != '0') {
        place = -(q - fraction + 1);
        found = true;
      }
    }
  }
  long long exponent = 0;
  bool exponent_negative = false;
  if (q < n.end && (*q == 'e' || *q == 'E')) {
    ++q;
    if (*q == '+' || *q == '-') exponent_negative = *q++ == '-';
    for (; q < n.end; ++q) exponent = std::min(exponent * 10 + (*q - '0'), 1LL << 40);
  }
  if (!found) return true;
  return place + (exponent_negative ? -exponent : exponent) < 0;
}

class Parser {
 public:
  // A shallow parser checks a start's config and rule-set files as closely as it would build
  // them, and builds neither.
  Parser(std::string_view line, std::string_view text, bool shallow)
      : line_(line), p_(text.data()), end_(text.data() + text.size()), shallow_(shallow) {}

  Result<Envelope> run() {
    Envelope envelope;
    if (!decode_top(envelope)) return CommandError(describe(*fault_));
    return envelope;
  }

  // The text as a start's config alone. Unlike a request line, it is not known to be UTF-8.
  // Kept out of line, so that this second caller of skip_value leaves the request path's
  // inlining as it was.
  [[gnu::noinline]] std::optional<JsonFault> check_config() {
    const std::size_t valid = text::valid_utf8_prefix(line_);
    bool ok = valid == line_.size() || fail(line_.data() + valid, "invalid UTF-8");
    if (ok) skip_ws();
    if (ok) ok = p_ == end_ ? unexpected("a value") : skip_value(CONFIG_LEVEL, true);
    if (ok) {
      skip_ws();
      if (p_ != end_) ok = fail(p_, "unexpected text after the JSON value");
    }
    if (ok) return std::nullopt;
    const auto [line, column] = place_of(fault_->at);
    return JsonFault{describe(*fault_), fault_->too_deep, line, column};
  }

 private:
  // ---- faults ----

  bool fail(Fault fault) {
    fault_ = std::move(fault);
    return false;
  }
  bool fail(const char* at, std::string what, std::string detail = {}) {
    return fail(Fault{at, std::move(what), std::move(detail)});
  }
  // Hard when `soft` is null; otherwise kept (the first one only) and reading goes on.
  bool report(Soft* soft, Fault fault) {
    if (soft == nullptr) return fail(std::move(fault));
    if (!*soft) *soft = std::move(fault);
    return true;
  }
  bool unexpected(std::string_view expected) {
    if (p_ == end_) return fail(p_, "unexpected end of text", "expected " + std::string(expected));
    return fail(p_, "unexpected character " + show_char(p_), "expected " + std::string(expected));
  }
  bool too_deep() {
    Fault fault(p_, "nesting too deep",
                "arrays and objects may nest " + std::to_string(NESTING_LIMIT - 1) + " levels deep");
    fault.too_deep = true;
    return fail(std::move(fault));
  }

  std::string show_char(const char* at) const {
    const auto c = static_cast<unsigned char>(*at);
    if (c > 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    char32_t cp = c;
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (len > 1 && static_cast<std::size_t>(end_ - at) >= len) {
      cp = c & (0x3F >> (len - 1));
      for (std::size_t k = 1; k < len; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(at[k]) & 0x3F);
    }
    char out[16];
    std::snprintf(out, sizeof out, "U+%04X", static_cast<unsigned>(cp));
    return out;
  }

  // Line and column (in characters) of a place, both from 1, in the line as given.
  std::pair<std::size_t, std::size_t> place_of(const char* at) const {
    const auto offset = static_cast<std::size_t>(at - line_.data());
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset && i < line_.size(); ++i) {
      const auto c = static_cast<unsigned char>(line_[i]);
      if (c == '\n') {
        ++line;
        column = 1;
      } else if ((c & 0xC0) != 0x80) {
        ++column;
      }
    }
    return {line, column};
  }

  std::string describe(const Fault& fault) const {
    const auto [line, column] = place_of(fault.at);
    std::string out =
        fault.what + " at line " + std::to_string(line) + ", column " + std::to_string(column);
    if (!fault.detail.empty()) out += " (" + fault.detail + ")";
    return out;
  }

  // ---- syntax ----

  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  // Walks the object at p_, calling member(key, key_at) with p_ at each value (never at the
  // end of the text); leaves p_ after the closing brace.
  template <class Member>
  bool for_each_member(int level, Member&& member) {
    if (level >= NESTING_LIMIT) return too_deep();
    ++p_;
    skip_ws();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    std::string key;
    for (;;) {
      if (p_ == end_ || *p_ != '"') return unexpected("a key string");
      const char* key_at = p_;
      key.clear();
      if (!scan_string<true>(&key)) return false;
      skip_ws();
      if (p_ == end_ || *p_ != ':') return unexpected("':'");
      ++p_;
      skip_ws();
      if (p_ == end_) return unexpected("a value");
      if (!member(key, key_at)) return false;
      skip_ws();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        skip_ws();
        continue;
      }
      if (p_ < end_ && *p_ == '}') {
        ++p_;
        return true;
      }
      return unexpected("',' or '}'");
    }
  }

  // Walks the array at p_, calling element(index, at) with p_ at each element; leaves p_
  // after the closing bracket.
  template <class Element>
  bool for_each_element(int level, Element&& element, std::size_t* count = nullptr) {
    if (level >= NESTING_LIMIT) return too_deep();
    ++p_;
    skip_ws();
    std::size_t n = 0;
    if (p_ < end_ && *p_ == ']') {
      ++p_;
    } else {
      for (;;) {
        if (p_ == end_) return unexpected("a value");
        if (!element(n, static_cast<const char*>(p_))) return false;
        ++n;
        skip_ws();
        if (p_ < end_ && *p_ == ',') {
          ++p_;
          skip_ws();
          continue;
        }
        if (p_ < end_ && *p_ == ']') {
          ++p_;
          break;
        }
        return unexpected("',' or ']'");
      }
    }
    if (count != nullptr) *count = n;
    return true;
  }

  template <bool Decode>
  bool scan_string(std::string* out) {
    ++p_;
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && !STRING_STOPS[static_cast<unsigned char>(*p_)]) ++p_;
      if constexpr (Decode) out->append(run, p_);
      if (p_ == end_) return fail(p_, "unexpected end of text in a string");
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      if (*p_ != '\\')
        return fail(p_, "control character " + show_char(p_) + " in a string",
                    "it must be escaped");
      if (!scan_escape<Decode>(out)) return false;
    }
  }

  template <bool Decode>
  bool scan_escape(std::string* out) {
    if (end_ - p_ < 2) {
      p_ = end_;
      return fail(p_, "unexpected end of text in a string");
    }
    char plain;
    switch (p_[1]) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u':
        return scan_unicode_escape<Decode>(out);
      default:
        return fail(p_, "invalid escape \\" + show_char(p_ + 1) + " in a string");
    }
    p_ += 2;
    if constexpr (Decode) *out += plain;
    return true;
  }

  // p_ at "\u"; reads the four hexadecimal digits after it.
  bool read_unit(std::uint32_t* unit) {
    p_ += 2;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ == end_) return fail(p_, "unexpected end of text in a string");
      const int digit = hex_value(*p_);
      if (digit < 0)
        return fail(p_, "invalid \\u escape in a string", "expected four hexadecimal digits");
      value = value * 16 + static_cast<std::uint32_t>(digit);
      ++p_;
    }
    *unit = value;
    return true;
  }

  template <bool Decode>
  bool scan_unicode_escape(std::string* out) {
    const char* at = p_;
    std::uint32_t unit;
    if (!read_unit(&unit)) return false;
    char32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      const auto unpaired = [&] {
        return fail(at, "unpaired surrogate " + std::string(at, 6) + " in a string");
      };
      if (unit >= 0xDC00 || end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return unpaired();
      std::uint32_t low;
      if (!read_unit(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return unpaired();
      cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    if constexpr (Decode) text::append_utf8(*out, cp);
    return true;
  }

  bool scan_literal(std::string_view word) {
    const char* at = p_;
    for (const char c : word) {
      if (p_ == end_) return unexpected("'" + std::string(word) + "'");
      if (*p_ != c) return fail(at, "invalid literal", "expected '" + std::string(word) + "'");
      ++p_;
    }
    return true;
  }

  bool scan_number(Number& n) {
    n.begin = p_;
    if (*p_ == '-') {
      n.negative = true;
      ++p_;
    }
    if (p_ == end_ || !is_digit(*p_)) return unexpected("a digit");
    if (*p_ == '0') {
      ++p_;
    } else {
      for (; p_ < end_ && is_digit(*p_); ++p_) {
        const auto digit = static_cast<std::uint64_t>(*p_ - '0');
        if (n.magnitude > (UINT64_MAX - digit) / 10) {
          n.overflow = true;
        } else {
          n.magnitude = n.magnitude * 10 + digit;
        }
      }
    }
    if (p_ < end_ && *p_ == '.') {
      n.integral = false;
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) return unexpected("a digit");
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      n.integral = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return unexpected("a digit");
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    n.end = p_;
    return true;
  }

  // Integers that fit are kept as 64-bit integers, unsigned unless negative; every other
  // number as a double. With no `out`, only whether it can be held.
  bool number_value(const Number& n, json* out) {
    if (n.integral && !n.overflow) {
      if (!n.negative) {
        if (out != nullptr) *out = n.magnitude;
        return true;
      }
      if (n.magnitude <= std::uint64_t{1} << 63) {
        if (out != nullptr) *out = static_cast<std::int64_t>(0 - n.magnitude);
        return true;
      }
    }
    double value = 0;
    const auto parsed = std::from_chars(n.begin, n.end, value);
    if (parsed.ec == std::errc::result_out_of_range) {
      if (!is_tiny(n)) return fail(n.begin, "number out of range", "too large for a double");
      value = n.negative ? -0.0 : 0.0;
    } else if (parsed.ec != std::errc() || parsed.ptr != n.end) {
      return fail(n.begin, "invalid number");
    }
    if (out != nullptr) *out = value;
    return true;
  }

  // p_ at the first character of a value (not the end of the text).
  bool parse_value(json& out, int level) {
    switch (*p_) {
      case '{': {
        out = json::object();
        auto& object = *out.get_ptr<json::object_t*>();
        // A repeated key keeps its last value.
        return for_each_member(level, [&](std::string& key, const char*) {
          return parse_value(object.try_emplace(std::move(key)).first->second, level + 1);
        });
      }
      case '[': {
        out = json::array();
        auto& array = *out.get_ptr<json::array_t*>();
        return for_each_element(level, [&](std::size_t, const char*) {
          array.emplace_back();
          return parse_value(array.back(), level + 1);
        });
      }
      case '"':
        out = json::value_t::string;
        return scan_string<true>(out.get_ptr<std::string*>());
      case 't':
        out = true;
        return scan_literal("true");
      case 'f':
        out = false;
        return scan_literal("false");
      case 'n':
        out = nullptr;
        return scan_literal("null");
      default: {
        if (*p_ != '-' && !is_digit(*p_)) return unexpected("a value");
        Number n;
        return scan_number(n) && number_value(n, &out);
      }
    }
  }

  // With `numbers`, a number is refused where parse_value would refuse it.
  bool skip_value(int level, bool numbers = false) {
    switch (*p_) {
      case '{':
        return for_each_member(
            level, [&](std::string&, const char*) { return skip_value(level + 1, numbers); });
      case '[':
        return for_each_element(
            level, [&](std::size_t, const char*) { return skip_value(level + 1, numbers); });
      case '"':
        return scan_string<false>(nullptr);
      case 't':
        return scan_literal("true");
      case 'f':
        return scan_literal("false");
      case 'n':
        return scan_literal("null");
      default: {
        if (*p_ != '-' && !is_digit(*p_)) return unexpected("a value");
        Number n;
        return scan_number(n) && (!numbers || number_value(n, nullptr));
      }
    }
  }

  // The value at p_ is not of the expected type: its syntax is still checked first.
  bool mismatch(int level, std::string_view subject, std::string_view expected, Soft* soft) {
    const char* at = p_;
    if (!skip_value(level)) return false;
    return report(soft, Fault{at, "wrong type for " + std::string(subject),
                              "expected " + std::string(expected) + ", found " +
                                  std::string(type_name(*at))});
  }

  bool string_value(int level, std::string_view subject, std::string& out, Soft* soft) {
    if (*p_ != '"') return mismatch(level, subject, "a string", soft);
    out.clear();
    return scan_string<true>(&out);
  }

  // ---- the envelope (level 1) ----

  bool decode_top(Envelope& envelope) {
    skip_ws();
    if (p_ == end_) return unexpected("a value");
    bool ok;
    if (*p_ == '{') {
      ok = envelope_object(envelope);
    } else if (*p_ == '[') {
      ok = envelope_array(envelope);
    } else {
      ok = mismatch(1, "the request", "an object", nullptr);
    }
    if (!ok) return false;
    skip_ws();
    if (p_ != end_) return fail(p_, "unexpected text after the JSON value");
    return true;
  }

  bool envelope_object(Envelope& envelope) {
    bool have_token = false, have_req = false;
    const bool ok = for_each_member(1, [&](std::string& key, const char* key_at) {
      if (key == "token") {
        if (have_token) return fail(key_at, "repeated key \"token\"");
        have_token = true;
        return string_value(2, "\"token\"", envelope.token, nullptr);
      }
      if (key == "req") {
        if (have_req) return fail(key_at, "repeated key \"req\"");
        have_req = true;
        return decode_req(envelope.req);
      }
      return skip_value(2);
    });
    if (!ok) return false;
    const char* close = p_ - 1;
    if (!have_token) return fail(close, "missing key \"token\"");
    if (!have_req) return fail(close, "missing key \"req\"");
    return true;
  }

  bool envelope_array(Envelope& envelope) {
    std::size_t count = 0;
    const bool ok = for_each_element(
        1,
        [&](std::size_t index, const char* at) {
          if (index == 0) return string_value(2, "\"token\"", envelope.token, nullptr);
          if (index == 1) return decode_req(envelope.req);
          return skip_value(2) && fail(at, "surplus element 3 of the envelope array",
                                       "it holds the token and the request");
        },
        &count);
    if (!ok) return false;
    const char* close = p_ - 1;
    if (count == 0) return fail(close, "missing \"token\"", "element 1 of the envelope array");
    if (count == 1) return fail(close, "missing \"req\"", "element 2 of the envelope array");
    return true;
  }

  // ---- the request (level 2) ----

  // `req` is read whole before its faults count: `cmd` may come last and decides which of
  // the other keys matter.
  struct ReqState {
    bool cmd_seen = false;
    std::optional<Kind> kind;  // set once `cmd` is one of the five values
    Soft cmd_fault;
    std::array<int, FIELD_COUNT> seen{};
    std::array<Soft, FIELD_COUNT> faults;  // the first fault of each field
    json config;
    std::vector<RuleSetFile> rulesets;
    std::optional<std::int64_t> at;

    int& count(Field field) { return seen[static_cast<std::size_t>(field)]; }
    Soft& fault(Field field) { return faults[static_cast<std::size_t>(field)]; }
  };

  bool decode_req(Request& out) {
    ReqState req;
    const char* close;
    if (*p_ == '{') {
      if (!req_object(req)) return false;
      close = p_ - 1;
      if (req.cmd_fault) return fail(std::move(*req.cmd_fault));
      if (!req.cmd_seen) return fail(close, "missing key \"cmd\"");
      if (!first_fault(req)) return false;
      if (*req.kind == Kind::Start && req.count(Field::Config) == 0)
        return fail(close, "missing key \"config\"");
    } else if (*p_ == '[') {
      std::size_t count = 0;
      if (!req_array(req, count)) return false;
      close = p_ - 1;
      if (req.cmd_fault) return fail(std::move(*req.cmd_fault));
      if (count == 0) return fail(close, "missing \"cmd\"", "element 1 of the request array");
      if (!first_fault(req)) return false;
      if (*req.kind == Kind::Start && count < 2)
        return fail(close, "missing \"config\"", "element 2 of the request array");
    } else {
      return mismatch(2, "\"req\"", "an object", nullptr);
    }
    switch (*req.kind) {
      case Kind::Version:
        out.kind = Request::Version{};
        break;
      case Kind::Status:
        out.kind = Request::Status{};
        break;
      case Kind::Start:
        out.kind = Request::Start{std::move(req.config), std::move(req.rulesets)};
        break;
      case Kind::Stop:
        out.kind = Request::Stop{};
        break;
      case Kind::ScheduleWake:
        out.kind = Request::ScheduleWake{req.at};
        break;
    }
    return true;
  }

  // Fails with the earliest fault, in the text, of the fields the kind knows.
  bool first_fault(ReqState& req) {
    Soft* first = nullptr;
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
      Soft& fault = req.faults[i];
      if (fault && kind_knows(*req.kind, static_cast<Field>(i)) &&
          (first == nullptr || fault->at < (*first)->at)) {
        first = &fault;
      }
    }
    if (first != nullptr) return fail(std::move(**first));
    return true;
  }

  bool decode_cmd(ReqState& req) {
    req.cmd_seen = true;
    if (*p_ != '"') return mismatch(3, "\"cmd\"", "a string", &req.cmd_fault);
    const char* at = p_;
    std::string value;
    if (!scan_string<true>(&value)) return false;
    for (std::size_t i = 0; i < CMD_NAMES.size(); ++i) {
      if (value == CMD_NAMES[i]) {
        req.kind = static_cast<Kind>(i);
        return true;
      }
    }
    req.cmd_fault =
        Fault{at, "unrecognised cmd value " + show_string(value), std::string(ACCEPTED_CMDS)};
    return true;
  }

  bool field_value(ReqState& req, Field field) {
    Soft& soft = req.fault(field);
    switch (field) {
      case Field::Config:
        return shallow_ ? skip_value(3, true) : parse_value(req.config, 3);
      case Field::Rulesets:
        return decode_rulesets(req.rulesets, soft);
      case Field::At:
        return decode_at(req.at, soft);
      case Field::Surplus:
        break;
    }
    return skip_value(3);
  }

  bool keyed_field(ReqState& req, Field field, std::string_view name, const char* key_at) {
    // Once the kind is known, keys it does not use are only checked for syntax.
    if (req.cmd_fault || (req.kind && !kind_knows(*req.kind, field))) return skip_value(3);
    if (++req.count(field) > 1) {
      report(&req.fault(field), Fault{key_at, "repeated key " + quoted(name)});
      return skip_value(3);
    }
    return field_value(req, field);
  }

  bool req_object(ReqState& req) {
    return for_each_member(2, [&](std::string& key, const char* key_at) {
      if (key == "cmd") {
        if (!req.cmd_seen) return decode_cmd(req);
        report(&req.cmd_fault, Fault{key_at, "repeated key \"cmd\""});
        return skip_value(3);
      }
      if (key == "config") return keyed_field(req, Field::Config, key, key_at);
      if (key == "rulesets") return keyed_field(req, Field::Rulesets, key, key_at);
      if (key == "at") return keyed_field(req, Field::At, key, key_at);
      return skip_value(3);
    });
  }

  bool req_array(ReqState& req, std::size_t& count) {
    return for_each_element(
        2,
        [&](std::size_t index, const char* at) {
          if (index == 0) return decode_cmd(req);
          if (req.cmd_fault) return skip_value(3);
          const Kind kind = *req.kind;
          Field field = Field::Surplus;
          if (kind == Kind::Start && index == 1) field = Field::Config;
          if (kind == Kind::Start && index == 2) field = Field::Rulesets;
          if (kind == Kind::ScheduleWake && index == 1) field = Field::At;
          ++req.count(field);
          if (field != Field::Surplus) return field_value(req, field);
          const std::size_t most = kind == Kind::Start ? 3 : kind == Kind::ScheduleWake ? 2 : 1;
          report(&req.fault(Field::Surplus),
                 Fault{at, "surplus element " + std::to_string(index + 1) + " of the request array",
                       "a " + quoted(CMD_NAMES[static_cast<std::size_t>(kind)]) +
                           " request has at most " + std::to_string(most) +
                           (most == 1 ? " element" : " elements")});
          return skip_value(3);
        },
        &count);
  }

  // ---- the fields of a start and a schedule-wake request (level 3) ----

  bool decode_rulesets(std::vector<RuleSetFile>& files, Soft& soft) {
    if (*p_ != '[') return mismatch(3, "\"rulesets\"", "an array", &soft);
    RuleSetFile scratch;
    return for_each_element(3, [&](std::size_t, const char*) {
      if (soft) return skip_value(4);
      if (shallow_) return decode_file(scratch, soft);
      files.emplace_back();
      return decode_file(files.back(), soft);
    });
  }

  bool file_member(bool& have, std::string_view name, std::string& out, const char* key_at,
                   Soft& soft) {
    if (have) {
      report(&soft, Fault{key_at, "repeated key " + quoted(name)});
      return skip_value(5);
    }
    have = true;
    return string_value(5, quoted(name), out, &soft);
  }

  bool decode_file(RuleSetFile& file, Soft& soft) {
    if (*p_ == '{') {
      bool have_name = false, have_data = false;
      const bool ok = for_each_member(4, [&](std::string& key, const char* key_at) {
        if (soft) return skip_value(5);
        if (key == "name") return file_member(have_name, "name", file.name, key_at, soft);
        if (key == "data_b64")
          return file_member(have_data, "data_b64", file.data_b64, key_at, soft);
        return skip_value(5);
      });
      if (!ok) return false;
      const char* close = p_ - 1;
      if (!have_name) return report(&soft, Fault{close, "missing key \"name\""});
      if (!have_data) return report(&soft, Fault{close, "missing key \"data_b64\""});
      return true;
    }
    if (*p_ == '[') {
      std::size_t count = 0;
      const bool ok = for_each_element(
          4,
          [&](std::size_t index, const char* at) {
            if (soft) return skip_value(5);
            if (index == 0) return string_value(5, "\"name\"", file.name, &soft);
            if (index == 1) return string_value(5, "\"data_b64\"", file.data_b64, &soft);
            report(&soft, Fault{at, "surplus element 3 of a rule-set file array",
                                "it holds the name and the Base64 text"});
            return skip_value(5);
          },
          &count);
      if (!ok) return false;
      const char* close = p_ - 1;
      if (count == 0)
        return report(&soft,
                      Fault{close, "missing \"name\"", "element 1 of the rule-set file array"});
      if (count == 1)
        return report(&soft,
                      Fault{close, "missing \"data_b64\"", "element 2 of the rule-set file array"});
      return true;
    }
    return mismatch(4, "a rule-set file", "an object", &soft);
  }

  bool decode_at(std::optional<std::int64_t>& at, Soft& soft) {
    if (*p_ == 'n') {
      at.reset();
      return scan_literal("null");
    }
    if (*p_ != '-' && !is_digit(*p_)) return mismatch(3, "\"at\"", "an integer or null", &soft);
    Number n;
    if (!scan_number(n)) return false;
    if (!n.integral) {
      return report(
          &soft,
          Fault{n.begin, "wrong type for \"at\"",
                "expected an integer or null, found a number with a fraction or an exponent"});
    }
    const std::uint64_t most = n.negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    if (n.overflow || n.magnitude > most) {
      return report(&soft,
                    Fault{n.begin, "\"at\" out of range",
                          "it must lie between -9223372036854775808 and 9223372036854775807"});
    }
    at = static_cast<std::int64_t>(n.negative ? 0 - n.magnitude : n.magnitude);
    return true;
  }

  std::string_view line_;
  const char* p_;
  const char* end_;
  std::optional<Fault> fault_;
  const bool shallow_;
};

}  // namespace

Result<Envelope> decode_envelope(std::string_view line) {
  return Parser(line, text::trim_unicode_space(line), false).run();
}

Result<Envelope> decode_envelope_shallow(std::string_view line) {
  return Parser(line, text::trim_unicode_space(line), true).run();
}

std::optional<JsonFault> check_config_value(std::string_view text) {
  return Parser(text, text, true).check_config();
}

}  // namespace tavrel::protocol

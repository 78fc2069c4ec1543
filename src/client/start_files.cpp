#include "client/start_files.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "common/base64.h"
#include "platform/fs.h"
#include "protocol/ruleset_name.h"

namespace tavrel::client {
namespace {

constexpr std::string_view UNREADABLE = "无法读取 ";
constexpr std::string_view NOT_JSON = " 不是合法的 JSON";
constexpr std::string_view TOO_DEEP = " 嵌套过深";
constexpr std::string_view RULESET = "规则集 ";
constexpr std::string_view EMPTY = " 是空的";
constexpr std::string_view BOM = "\xEF\xBB\xBF";
// The service refuses an array or object at level 128, counting the envelope as level 1 and
// `req` as level 2; the configuration's outermost value is level 3.
constexpr int MAX_CONFIG_DEPTH = 125;

// Line and column (in characters) in the file, both from 1.
struct Place {
  std::size_t line = 1;
  std::size_t column = 1;
};

// Drops JSON white space outside strings; the text is known to be valid JSON. Finds on the
// way the first array or object nested deeper than the service accepts.
std::string compact(std::string_view json_text, std::optional<Place>& too_deep) {
  std::string out;
  out.reserve(json_text.size());
  bool in_string = false;
  bool escaped = false;
  int depth = 0;
  Place here;
  for (const char c : json_text) {
    const Place at = here;
    if (c == '\n') {
      ++here.line;
      here.column = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++here.column;
    }
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      continue;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > MAX_CONFIG_DEPTH && !too_deep) too_deep = at;
    } else if (c == '}' || c == ']') {
      --depth;
    }
    out += c;
  }
  return out;
}

// Checks the syntax without building the value; keeps the parser's first fault.
struct SyntaxCheck : nlohmann::json_sax<nlohmann::json> {
  std::string fault;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  // nlohmann's description ("parse error at line 3, column 5: ...") without its
  // "[json.exception.parse_error.101] " prefix.
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& e) override {
    std::string_view what = e.what();
    if (const auto end = what.find("] ");
        what.starts_with("[json.exception.") && end != std::string_view::npos) {
      what.remove_prefix(end + 2);
    }
    fault = what;
    return false;
  }
};

}  // namespace

Result<std::string> read_config_file(const platform::Path& file) {
  const std::string shown = platform::to_utf8(file);
  auto bytes = platform::read_file(file);
  if (!bytes) return std::move(bytes).error().context(std::string(UNREADABLE) + shown);
  std::string_view text = *bytes;
  if (text.starts_with(BOM)) text.remove_prefix(BOM.size());
  SyntaxCheck check;
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &check)) {
    return CommandError(check.fault).context(shown + std::string(NOT_JSON));
  }
  std::optional<Place> too_deep;
  std::string compacted = compact(text, too_deep);
  if (too_deep) {
    return CommandError("第 " + std::to_string(too_deep->line) + " 行第 " +
                        std::to_string(too_deep->column) + " 列：数组和对象最多嵌套 " +
                        std::to_string(MAX_CONFIG_DEPTH) + " 层")
        .context(shown + std::string(TOO_DEEP));
  }
  return compacted;
}

Result<protocol::RuleSetFile> read_ruleset_file(const platform::Path& file) {
  const std::string name = platform::to_utf8(file.filename());
  if (!protocol::is_valid_ruleset_name(name))
    return CommandError(std::string(protocol::BAD_RULESET_NAME) + name);
  auto bytes = platform::read_file(file);
  if (!bytes)
    return std::move(bytes).error().context(std::string(UNREADABLE) + platform::to_utf8(file));
  // The service would refuse it only after screening the configuration.
  if (bytes->empty()) return CommandError(std::string(RULESET) + name + std::string(EMPTY));
  return protocol::RuleSetFile{name, base64_encode(*bytes)};
}

}  // namespace tavrel::client

#include "client/start_files.h"

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
// `req` as level 2; the configuration's outermost value is level 3. Said to the user counted
// from the file's own outermost value.
constexpr int MAX_CONFIG_DEPTH = 125;

// Drops JSON white space outside strings; the text is known to be one valid JSON value.
std::string compact(std::string_view json_text) {
  std::string out;
  out.reserve(json_text.size());
  bool in_string = false;
  bool escaped = false;
  for (const char c : json_text) {
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
    }
    out += c;
  }
  return out;
}

}  // namespace

Result<std::string> read_config_file(const platform::Path& file) {
  const std::string shown = platform::to_utf8(file);
  auto bytes = platform::read_file(file);
  if (!bytes) return std::move(bytes).error().context(std::string(UNREADABLE) + shown);
  std::string_view text = *bytes;
  if (text.starts_with(BOM)) text.remove_prefix(BOM.size());
  // The service's own syntax, so that what passes here passes there.
  if (auto fault = protocol::check_config_value(text)) {
    if (!fault->too_deep) return CommandError(fault->description).context(shown + std::string(NOT_JSON));
    return CommandError("第 " + std::to_string(fault->line) + " 行第 " + std::to_string(fault->column) +
                        " 列：数组和对象最多嵌套 " + std::to_string(MAX_CONFIG_DEPTH) + " 层")
        .context(shown + std::string(TOO_DEEP));
  }
  return compact(text);
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

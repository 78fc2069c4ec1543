#include "core/ruleset_files.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/base64.h"
#include "platform/fs.h"

namespace tavrel::core {
namespace {

constexpr std::size_t MAX_NAME_BYTES = 72;
constexpr std::string_view SUFFIX = ".srs";

constexpr std::string_view CLEAR_DIR = "clear rulesets dir";
constexpr std::string_view CREATE_DIR = "create rulesets dir";
constexpr std::string_view BAD_NAME = "非法的规则集文件名：";
constexpr std::string_view RULESET = "规则集 ";
constexpr std::string_view NOT_BASE64 = " 不是合法的 base64";
constexpr std::string_view EMPTY = " 是空的";
constexpr std::string_view WRITE = "写入规则集 ";

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

Status install_rulesets(const platform::Path& dir,
                        const std::vector<protocol::RuleSetFile>& files) {
  if (platform::exists(dir)) {
    if (auto removed = platform::remove_all(dir); !removed) {
      return std::move(removed).error().context(std::string(CLEAR_DIR));
    }
  }
  if (files.empty()) return {};
  if (auto created = platform::create_directories(dir); !created) {
    return std::move(created).error().context(std::string(CREATE_DIR));
  }
  for (const auto& file : files) {
    if (!is_valid_ruleset_name(file.name)) return CommandError(std::string(BAD_NAME) + file.name);
    auto bytes = base64_decode_strict(file.data_b64);
    if (!bytes) {
      return std::move(bytes).error().context(std::string(RULESET) + file.name +
                                              std::string(NOT_BASE64));
    }
    if (bytes->empty()) return CommandError(std::string(RULESET) + file.name + std::string(EMPTY));
    if (auto written = platform::write_file(platform::join(dir, file.name), *bytes); !written) {
      return std::move(written).error().context(std::string(WRITE) + file.name);
    }
  }
  return {};
}

}  // namespace tavrel::core

#include "core/ruleset_files.h"

#include <string>

#include "common/base64.h"
#include "platform/fs.h"

namespace tavrel::core {
namespace {

constexpr std::string_view CLEAR_DIR = "clear rulesets dir";
constexpr std::string_view CREATE_DIR = "create rulesets dir";
constexpr std::string_view RULESET = "规则集 ";
constexpr std::string_view NOT_BASE64 = " 不是合法的 base64";
constexpr std::string_view EMPTY = " 是空的";
constexpr std::string_view WRITE = "写入规则集 ";

}  // namespace

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
    if (!is_valid_ruleset_name(file.name)) return CommandError(std::string(protocol::BAD_RULESET_NAME) + file.name);
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

#include "core/path_guard.h"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::core {
namespace {

constexpr std::string_view REFUSED_PATH = "配置中不允许绝对路径：";

bool is_path_like(std::string_view key) {
  return key == "path" || key == "output" || key.ends_with("_path");
}

bool is_refused(std::string_view value) {
  return value.front() == '/' || value.front() == '\\' ||
         value.find("..") != std::string_view::npos || value.find(':') != std::string_view::npos;
}

struct Frame {
  nlohmann::json::const_iterator next;
  nlohmann::json::const_iterator end;
  bool in_object;
};

}  // namespace

Status check_config_paths(const nlohmann::json& config) {
  // An explicit stack rather than recursion: the walk's depth then never depends on the
  // caller's nesting limit.
  std::vector<Frame> stack;
  if (config.is_structured()) stack.push_back({config.cbegin(), config.cend(), config.is_object()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      stack.pop_back();
      continue;
    }
    const auto member = top.next++;
    const nlohmann::json& value = *member;
    if (top.in_object && value.is_string()) {
      const std::string& key = member.key();
      const auto& text = value.get_ref<const std::string&>();
      if (!text.empty() && is_path_like(key) && is_refused(text)) {
        return CommandError(std::string(REFUSED_PATH) + key + " = " + text);
      }
    }
    if (value.is_structured()) stack.push_back({value.cbegin(), value.cend(), value.is_object()});
  }
  return {};
}

}  // namespace tavrel::core

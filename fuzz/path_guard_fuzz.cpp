// When the guard lets a configuration pass, no path-like member of it holds a refused
// string; when it refuses, the member it names is really there and really refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/path_guard.h"

namespace {

// Deeper nesting than the request parser allows is of no interest.
bool too_deep(std::string_view text) {
  int depth = 0;
  for (const char c : text) {
    if (c == '[' || c == '{') {
      if (++depth > 127) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

bool path_like(std::string_view key) {
  return key == "path" || key == "output" ||
         (key.size() >= 5 && key.substr(key.size() - 5) == "_path");
}

bool refused(std::string_view s) {
  return !s.empty() && (s[0] == '/' || s[0] == '\\' || s.find("..") != std::string_view::npos ||
                        s.find(':') != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (too_deep(text)) return 0;
  const auto config = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (config.is_discarded()) return 0;

  const auto status = tavrel::core::check_config_paths(config);
  const std::string prefix = "配置中不允许绝对路径：";
  bool found_reported = false;

  // Breadth first, unlike the guard, to stay independent of its order.
  std::deque<const nlohmann::json*> pending{&config};
  while (!pending.empty()) {
    const nlohmann::json* value = pending.front();
    pending.pop_front();
    if (value->is_object()) {
      for (const auto& [key, member] : value->items()) {
        if (path_like(key) && member.is_string() && refused(member.get<std::string>())) {
          if (status.ok()) std::abort();
          if (status.error().message() == prefix + key + " = " + member.get<std::string>()) {
            found_reported = true;
          }
        }
        pending.push_back(&member);
      }
    } else if (value->is_array()) {
      for (const auto& element : *value) pending.push_back(&element);
    }
  }
  if (!status.ok() && !found_reported) std::abort();
  return 0;
}

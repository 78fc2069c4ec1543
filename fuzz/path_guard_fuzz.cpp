// When the screening lets a configuration pass, no member of it is forbidden or holds a
// refused location; when it refuses, the member it names is really there and really refused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "core/screening.h"

namespace {

using nlohmann::json;

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

std::string folded(std::string key) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\u212A", "k"}, {"\u017F", "s"}}) {
    for (std::size_t at; (at = key.find(from)) != std::string::npos;) key.replace(at, from.size(), to);
  }
  std::transform(key.begin(), key.end(), key.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return key;
}

bool ends_with(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool path_like(const std::string& k) {
  return k != "process_path" && (k == "path" || k == "output" || k == "directory" || k == "external_ui" ||
                                 ends_with(k, "_path") || ends_with(k, "_directory") || ends_with(k, "_file"));
}

bool forbidden(const std::string& k, const json& v) {
  if (k == "executable_path" || k == "extra_args" || k == "torrc" || k == "external_ui_download_url") return true;
  if (k == "write_to_system") return v == json(true);
  if (k == "masquerade" && v.is_string()) return folded(v.get<std::string>().substr(0, 5)) == "file:";
  return false;
}

bool refused(const std::string& s) {
  return !s.empty() && (s[0] == '/' || s[0] == '\\' || s.find("..") != std::string::npos ||
                        s.find(':') != std::string::npos || s.find('$') != std::string::npos);
}

// Every string of a value that is a string or a (nested) list.
void strings_of(const json& v, std::deque<std::string>& out) {
  if (v.is_string()) out.push_back(v.get<std::string>());
  if (v.is_array()) {
    for (const json& e : v) strings_of(e, out);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (too_deep(text)) return 0;
  const auto config = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (config.is_discarded()) return 0;

  const auto status = tavrel::core::check_config_paths(config);
  // Every refusal the configuration deserves, in no particular order.
  std::set<std::string> deserved;
  // Breadth first, unlike the screening, to stay independent of its order.
  std::deque<const json*> pending{&config};
  while (!pending.empty()) {
    const json* value = pending.front();
    pending.pop_front();
    if (value->is_object()) {
      for (const auto& [key, member] : value->items()) {
        const std::string k = folded(key);
        if (forbidden(k, member)) {
          deserved.insert("配置中不允许的设置：" + key);
        } else if (path_like(k)) {
          std::deque<std::string> locations;
          strings_of(member, locations);
          for (const std::string& s : locations) {
            if (refused(s)) deserved.insert("配置中不允许绝对路径：" + key + " = " + s);
          }
        }
        pending.push_back(&member);
      }
    } else if (value->is_array()) {
      for (const auto& element : *value) pending.push_back(&element);
    }
  }
  if (status.ok() != deserved.empty()) std::abort();
  if (!status.ok() && !deserved.contains(status.error().message())) std::abort();
  return 0;
}

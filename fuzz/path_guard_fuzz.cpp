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
  if (k == "process_path") return false;
  if (k == "path" || k == "output" || k == "directory") return true;
  for (const char* suffix : {"_path", "_directory", "_file", "_paths", "_directories", "_files"}) {
    if (ends_with(k, suffix)) return true;
  }
  return false;
}

bool forbidden(const std::string& k, const json& v) {
  if (k == "executable_path" || k == "extra_args" || k == "torrc" || k == "external_ui" ||
      k == "external_ui_download_url" || k == "netns") {
    return true;
  }
  if (k == "write_to_system") return v == json(true);
  if (k == "masquerade" && v.is_string()) return folded(v.get<std::string>().substr(0, 5)) == "file:";
  return false;
}

bool device(std::string component) {
  static const std::set<std::string> devices = [] {
    std::set<std::string> names{"con", "prn", "aux", "nul"};
    for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\u00B9", "\u00B2", "\u00B3"}) {
      names.insert(std::string("com") + digit);
      names.insert(std::string("lpt") + digit);
    }
    return names;
  }();
  component = component.substr(0, component.find('.'));
  while (!component.empty() && component.back() == ' ') component.pop_back();
  std::transform(component.begin(), component.end(), component.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return devices.contains(component);
}

bool refused(const std::string& s) {
  if (s.empty()) return false;
  if (s[0] == '/' || s[0] == '\\' || s.find("..") != std::string::npos || s.find(':') != std::string::npos ||
      s.find('$') != std::string::npos) {
    return true;
  }
  std::string component;
  for (const char c : s + '/') {
    if (c != '/' && c != '\\') {
      component += c;
    } else if (device(component)) {
      return true;
    } else {
      component.clear();
    }
  }
  return false;
}

// The values of the "cert" options of a plugin options string, read one character at a time.
std::deque<std::string> certs_of(const std::string& options) {
  std::deque<std::string> certs;
  std::string key, value;
  bool in_value = false, escaped = false;
  const auto end_option = [&] {
    if (in_value && key == "cert") certs.push_back(value);
    key.clear();
    value.clear();
    in_value = false;
  };
  for (const char c : options) {
    if (escaped) {
      (in_value ? value : key) += c;
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == ';') {
      end_option();
    } else if (c == '=' && !in_value) {
      in_value = true;
    } else {
      (in_value ? value : key) += c;
    }
  }
  end_option();
  return certs;
}

// Where a value stands: only some places read "path" as the path of a URL.
enum class At { Top, Bounds, Bound, Transport, Dns, Servers, Server, Other };

At member_at(At container, const std::string& folded_key) {
  if (container == At::Top && (folded_key == "inbounds" || folded_key == "outbounds")) return At::Bounds;
  if (container == At::Top && folded_key == "dns") return At::Dns;
  if (container == At::Bound && folded_key == "transport") return At::Transport;
  if (container == At::Dns && folded_key == "servers") return At::Servers;
  return At::Other;
}

At element_at(At container) {
  if (container == At::Bounds) return At::Bound;
  if (container == At::Servers) return At::Server;
  return At::Other;
}

// Whether an object's own "path" is the path of a URL: in a transport, or in an http entry of
// the bounds, or in an https or h3 DNS server, every member folding to "type" agreeing.
bool url_paths(const json& object, At at) {
  if (at == At::Transport) return true;
  if (at != At::Bound && at != At::Server) return false;
  bool typed = false;
  for (const auto& [key, member] : object.items()) {
    if (folded(key) != "type") continue;
    const bool url_type = at == At::Bound ? member == "http" : (member == "https" || member == "h3");
    if (!url_type) return false;
    typed = true;
  }
  return typed;
}

bool uses_v2ray_plugin(const json& object) {
  for (const auto& [key, member] : object.items()) {
    if (folded(key) == "plugin" && member == "v2ray-plugin") return true;
  }
  return false;
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
  // Each value with where it stands.
  std::deque<std::pair<const json*, At>> pending{{&config, At::Top}};
  while (!pending.empty()) {
    const auto [value, at] = pending.front();
    pending.pop_front();
    if (value->is_object()) {
      const bool url = url_paths(*value, at);
      for (const auto& [key, member] : value->items()) {
        const std::string k = folded(key);
        if (forbidden(k, member)) {
          deserved.insert("配置中不允许的设置：" + key);
        } else if (k == "plugin_opts" && member.is_string() && uses_v2ray_plugin(*value)) {
          for (const std::string& cert : certs_of(member.get<std::string>())) {
            if (refused(cert)) deserved.insert("配置中不允许绝对路径：" + key + " = " + member.get<std::string>());
          }
        } else if (path_like(k) && !(url && k == "path")) {
          std::deque<std::string> locations;
          strings_of(member, locations);
          for (const std::string& s : locations) {
            if (refused(s)) deserved.insert("配置中不允许绝对路径：" + key + " = " + s);
          }
        }
        pending.emplace_back(&member, member_at(at, k));
      }
    } else if (value->is_array()) {
      for (const auto& element : *value) pending.emplace_back(&element, element_at(at));
    }
  }
  if (status.ok() != deserved.empty()) std::abort();
  if (!status.ok() && !deserved.contains(status.error().message())) std::abort();
  return 0;
}

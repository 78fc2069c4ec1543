#include "core/screening.h"

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/ruleset_name.h"

namespace tavrel::core {
namespace {

using nlohmann::json;

constexpr std::string_view REFUSED_PATH = "配置中不允许绝对路径：";
constexpr std::string_view REFUSED_SETTING = "配置中不允许的设置：";

// Keys (folded) whose values the core reads as locations: files it opens or writes,
// directories it serves or keeps state in, lists of either.
constexpr std::string_view PATH_KEYS[] = {"path", "output", "directory"};
constexpr std::string_view PATH_SUFFIXES[] = {"_path", "_directory", "_file",
                                              "_paths", "_directories", "_files"};
// A routing rule's match condition: a local program's path, compared and never opened.
constexpr std::string_view NOT_A_PATH = "process_path";

// Members refused whatever their value: they make the core start an outside program (with
// arguments and options of the caller's choosing), unpack a download (the dashboard archive
// comes through the caller's own outbounds and certificates, and its entries may climb out of
// the directory) or enter another network namespace.
constexpr std::string_view FORBIDDEN_KEYS[] = {"executable_path", "extra_args", "torrc",
                                               "external_ui", "external_ui_download_url", "netns"};
// Refused only with these values: setting the system clock, and serving a local directory
// to the network through a file: URL.
constexpr std::string_view SYSTEM_CLOCK_KEY = "write_to_system";
constexpr std::string_view MASQUERADE_KEY = "masquerade";
constexpr std::string_view FILE_SCHEME = "file:";

// A shadowsocks plugin's options: one string of "key=value" pairs split on ";", a backslash
// escaping the next character. Only this plugin's "cert" option names a file it opens; its
// "path" is a URL path.
constexpr std::string_view PLUGIN_KEY = "plugin";
constexpr std::string_view PLUGIN_OPTS_KEY = "plugin_opts";
constexpr std::string_view FILE_READING_PLUGIN = "v2ray-plugin";
constexpr std::string_view PLUGIN_CERT_OPTION = "cert";

// "path" is the path of a URL, never opened, only where the core reads it so: in an entry of
// "inbounds" or "outbounds" of type http, in the transport object of such an entry (whatever
// its type), and in an entry of "dns"."servers" of type https or h3. Anywhere else the same
// member may name a file, whatever type its object claims.
constexpr std::string_view URL_PATH_KEY = "path";
constexpr std::string_view TYPE_KEY = "type";
constexpr std::string_view BOUND_LIST_KEYS[] = {"inbounds", "outbounds"};
constexpr std::string_view TRANSPORT_KEY = "transport";
constexpr std::string_view DNS_KEY = "dns";
constexpr std::string_view DNS_SERVERS_KEY = "servers";
constexpr std::string_view BOUND_URL_PATH_TYPES[] = {"http"};
constexpr std::string_view DNS_URL_PATH_TYPES[] = {"https", "h3"};

constexpr std::string_view KELVIN_SIGN = "\u212A";
constexpr std::string_view LONG_S = "\u017F";

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string fold_key(std::string_view key) {
  std::string folded;
  folded.reserve(key.size());
  for (std::size_t i = 0; i < key.size();) {
    if (key.substr(i).starts_with(KELVIN_SIGN)) {
      folded += 'k';
      i += KELVIN_SIGN.size();
    } else if (key.substr(i).starts_with(LONG_S)) {
      folded += 's';
      i += LONG_S.size();
    } else {
      folded += ascii_lower(key[i++]);
    }
  }
  return folded;
}

bool is_one_of(std::string_view key, std::span<const std::string_view> keys) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool is_path_like(std::string_view key) {
  if (key == NOT_A_PATH) return false;
  return is_one_of(key, PATH_KEYS) ||
         std::any_of(std::begin(PATH_SUFFIXES), std::end(PATH_SUFFIXES),
                     [&](std::string_view suffix) { return key.ends_with(suffix); });
}

bool starts_with_folded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char p, char t) { return p == ascii_lower(t); });
}

bool is_forbidden(std::string_view key, const json& value) {
  if (is_one_of(key, FORBIDDEN_KEYS)) return true;
  if (key == SYSTEM_CLOCK_KEY) return value.is_boolean() && value.get<bool>();
  if (key == MASQUERADE_KEY) {
    return value.is_string() && starts_with_folded(value.get_ref<const std::string&>(), FILE_SCHEME);
  }
  return false;
}

bool has_device_component(std::string_view text) {
  for (std::size_t begin = 0; begin <= text.size();) {
    const std::size_t end = std::min(text.find_first_of("/\\", begin), text.size());
    if (protocol::is_device_name(text.substr(begin, end - begin))) return true;
    begin = end + 1;
  }
  return false;
}

// Environment references ("$") are refused too: the core expands them in some locations.
// A device name in any component opens the device, not a file in the working directory.
bool is_refused(std::string_view text) {
  return !text.empty() && (text.front() == '/' || text.front() == '\\' ||
                           text.find("..") != std::string::npos ||
                           text.find_first_of(":$") != std::string::npos || has_device_component(text));
}

// The values of every "cert" option, unescaped. Lenient where the plugin would fail (an empty
// key, a final backslash): a value the plugin never reads is refused at worst.
std::vector<std::string> plugin_cert_values(std::string_view options) {
  std::vector<std::string> certs;
  std::size_t i = 0;
  const auto read_until = [&](std::string_view stops) {
    std::string text;
    for (; i < options.size() && stops.find(options[i]) == std::string_view::npos; ++i) {
      if (options[i] == '\\' && ++i == options.size()) break;
      text += options[i];
    }
    return text;
  };
  while (i < options.size()) {
    const std::string key = read_until("=;");
    if (i < options.size() && options[i] == '=') {
      ++i;
      std::string value = read_until(";");
      if (key == PLUGIN_CERT_OPTION) certs.push_back(std::move(value));
    }
    ++i;
  }
  return certs;
}

bool has_refused_plugin_cert(const json& options) {
  if (!options.is_string()) return false;
  const auto certs = plugin_cert_values(options.get_ref<const std::string&>());
  return std::any_of(certs.begin(), certs.end(), [](const std::string& cert) { return is_refused(cert); });
}

// The first refused string of a path-like member's value: the value itself, or the first in
// order inside it when it is a list (nested lists too), as the core takes lists of paths.
const std::string* first_refused_location(const json& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    return is_refused(text) ? &text : nullptr;
  }
  if (!value.is_array()) return nullptr;
  std::vector<std::pair<json::const_iterator, json::const_iterator>> stack{{value.cbegin(), value.cend()}};
  while (!stack.empty()) {
    auto& [next, end] = stack.back();
    if (next == end) {
      stack.pop_back();
      continue;
    }
    const json& element = *next++;
    if (element.is_string() && is_refused(element.get_ref<const std::string&>())) {
      return &element.get_ref<const std::string&>();
    }
    if (element.is_array()) stack.emplace_back(element.cbegin(), element.cend());
  }
  return nullptr;
}

// Where a value stands, as far as URL paths care.
enum class Place { Root, BoundList, Bound, Transport, Dns, DnsServers, DnsServer, Elsewhere };

Place place_of_member(Place container, std::string_view folded_key) {
  if (container == Place::Root && is_one_of(folded_key, BOUND_LIST_KEYS)) return Place::BoundList;
  if (container == Place::Root && folded_key == DNS_KEY) return Place::Dns;
  if (container == Place::Bound && folded_key == TRANSPORT_KEY) return Place::Transport;
  if (container == Place::Dns && folded_key == DNS_SERVERS_KEY) return Place::DnsServers;
  return Place::Elsewhere;
}

Place place_of_element(Place container) {
  if (container == Place::BoundList) return Place::Bound;
  if (container == Place::DnsServers) return Place::DnsServer;
  return Place::Elsewhere;
}

struct Frame {
  const json* container;
  Place place;
  json::const_iterator next;
  json::const_iterator end;
  // The container is an object whose "path" is a URL path.
  bool url_paths;
  // The container is an object whose "plugin_opts" may name a certificate file.
  bool file_reading_plugin;

  // Members folding to "type" or "plugin" may repeat and the core keeps one of them: every
  // "type" must be a URL path type (else a "Type": "http" beside "type": "local" would let a
  // rule set's file through), and any "plugin" naming the plugin is enough.
  static Frame of(const json& value, Place place) {
    Frame frame{&value, place, value.cbegin(), value.cend(), false, false};
    if (!value.is_object()) return frame;
    std::span<const std::string_view> url_path_types;
    if (place == Place::Bound) url_path_types = BOUND_URL_PATH_TYPES;
    if (place == Place::DnsServer) url_path_types = DNS_URL_PATH_TYPES;
    bool typed = false;
    bool all_url_types = true;
    for (auto member = value.cbegin(); member != value.cend(); ++member) {
      const std::string folded = fold_key(member.key());
      const std::string* text = member->is_string() ? &member->get_ref<const std::string&>() : nullptr;
      if (folded == TYPE_KEY) {
        typed = true;
        all_url_types = all_url_types && text && is_one_of(*text, url_path_types);
      } else if (folded == PLUGIN_KEY && text && *text == FILE_READING_PLUGIN) {
        frame.file_reading_plugin = true;
      }
    }
    frame.url_paths = place == Place::Transport || (typed && all_url_types);
    return frame;
  }
};

}  // namespace

void remove_log_output(json& config) {
  if (!config.is_object()) return;
  for (auto log = config.begin(); log != config.end(); ++log) {
    if (fold_key(log.key()) != "log" || !log->is_object()) continue;
    for (auto member = log->begin(); member != log->end();) {
      member = fold_key(member.key()) == "output" ? log->erase(member) : std::next(member);
    }
  }
}

Status check_config_paths(const json& config) {
  // An explicit stack rather than recursion: the walk's depth then never depends on the
  // caller's nesting limit.
  std::vector<Frame> stack;
  if (config.is_structured()) stack.push_back(Frame::of(config, Place::Root));
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      stack.pop_back();
      continue;
    }
    const auto member = top.next++;
    const json& value = *member;
    Place place = place_of_element(top.place);
    if (top.container->is_object()) {
      const std::string& key = member.key();
      const std::string folded = fold_key(key);
      place = place_of_member(top.place, folded);
      if (is_forbidden(folded, value)) return CommandError(std::string(REFUSED_SETTING) + key);
      if (is_path_like(folded) && !(top.url_paths && folded == URL_PATH_KEY)) {
        if (const std::string* refused = first_refused_location(value)) {
          return CommandError(std::string(REFUSED_PATH) + key + " = " + *refused);
        }
      }
      if (folded == PLUGIN_OPTS_KEY && top.file_reading_plugin && has_refused_plugin_cert(value)) {
        return CommandError(std::string(REFUSED_PATH) + key + " = " + value.get_ref<const std::string&>());
      }
    }
    if (value.is_structured()) stack.push_back(Frame::of(value, place));
  }
  return {};
}

}  // namespace tavrel::core

#include "core/screening.h"

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrel::core {
namespace {

using nlohmann::json;

constexpr std::string_view REFUSED_PATH = "配置中不允许绝对路径：";
constexpr std::string_view REFUSED_SETTING = "配置中不允许的设置：";

// Keys (folded) whose values the core reads as locations: files it opens or writes,
// directories it serves, downloads into or keeps state in.
constexpr std::string_view PATH_KEYS[] = {"path", "output", "directory", "external_ui"};
constexpr std::string_view PATH_SUFFIXES[] = {"_path", "_directory", "_file"};
// A routing rule's match condition: a local program's path, compared and never opened.
constexpr std::string_view NOT_A_PATH = "process_path";

// Members refused whatever their value: they make the core start an outside program (with
// arguments and options of the caller's choosing) or unpack a download anywhere.
constexpr std::string_view FORBIDDEN_KEYS[] = {"executable_path", "extra_args", "torrc",
                                               "external_ui_download_url"};
// Refused only with these values: setting the system clock, and serving a local directory
// to the network through a file: URL.
constexpr std::string_view SYSTEM_CLOCK_KEY = "write_to_system";
constexpr std::string_view MASQUERADE_KEY = "masquerade";
constexpr std::string_view FILE_SCHEME = "file:";

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

// Environment references ("$") are refused too: the core expands them in some locations.
bool is_refused(const std::string& text) {
  return !text.empty() && (text.front() == '/' || text.front() == '\\' ||
                           text.find("..") != std::string::npos ||
                           text.find_first_of(":$") != std::string::npos);
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

struct Frame {
  json::const_iterator next;
  json::const_iterator end;
  bool in_object;
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
  if (config.is_structured()) stack.push_back({config.cbegin(), config.cend(), config.is_object()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      stack.pop_back();
      continue;
    }
    const auto member = top.next++;
    const json& value = *member;
    if (top.in_object) {
      const std::string& key = member.key();
      const std::string folded = fold_key(key);
      if (is_forbidden(folded, value)) return CommandError(std::string(REFUSED_SETTING) + key);
      if (is_path_like(folded)) {
        if (const std::string* refused = first_refused_location(value)) {
          return CommandError(std::string(REFUSED_PATH) + key + " = " + *refused);
        }
      }
    }
    if (value.is_structured()) stack.push_back({value.cbegin(), value.cend(), value.is_object()});
  }
  return {};
}

}  // namespace tavrel::core

// A stand-in for the platform's service control tool. On POSIX tests copy it beside a copy of
// the program under the tool's file name; on Windows it is the system directory's sc.exe of the
// Wine prefix the install tests run in.
//
// It works in the directory named by TAVREL_FAKE_SC_DIR (beside the executable when unset), so
// that tests running side by side each keep their own script and calls. Every run appends one
// JSON line to "fake-sc-calls.jsonl" there:
//   {"args": [<arguments after the program name>], "ms": <steady clock, milliseconds>,
//    "cwd": <its current directory>, "exe_dir": <the directory of its executable>}
// and then answers as "fake-sc-script.json" there says for its first argument:
//   {"query": {"exit": 1060, "stderr": "...", "stdout": "..."}, ...}
// ("stderr_hex" gives the standard error as hexadecimal bytes, for text that is not UTF-8.)
// A word the script does not name (or a missing script) succeeds silently. An answer with
// "call": N applies to the Nth run with that word only (counted from 1); the others succeed.
//
// "fake-sc-states.txt" there scripts "query": one state a line (STOPPED,
// START_PENDING, STOP_PENDING, RUNNING, or a number for a service that is not registered,
// which is then the exit code), taken in turn by each query, the last line repeated once
// they run out. Each state is printed as the service manager's STATE block.
// Each call also records "core": the content of the core in TAVREL_SERVICE_DIR at that moment
// (when it is a small file), so a test sees which version was installed at each step.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/entry.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"

namespace {

using nlohmann::json;
namespace platform = tavrel::platform;

constexpr std::string_view DIR_VARIABLE = "TAVREL_FAKE_SC_DIR";
constexpr std::string_view CALLS_FILE = "fake-sc-calls.jsonl";
constexpr std::string_view SCRIPT_FILE = "fake-sc-script.json";
constexpr std::string_view STATES_FILE = "fake-sc-states.txt";

// How many runs with `word` the calls file records, this one included.
int runs_with(const platform::Path& dir, const std::string& word) {
  auto text = platform::read_file(platform::join(dir, CALLS_FILE));
  if (!text) return 0;
  int count = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
    const json line = json::parse(text->substr(start, end - start), nullptr, false);
    if (line.is_object() && line["args"].is_array() && !line["args"].empty() &&
        line["args"][0] == word) {
      ++count;
    }
  }
  return count;
}

json answer_for(const platform::Path& dir, const std::string& word) {
  auto text = platform::read_file(platform::join(dir, SCRIPT_FILE));
  if (!text) return json::object();
  const json script = json::parse(text.value(), nullptr, false);
  if (!script.is_object() || !script.contains(word) || !script[word].is_object())
    return json::object();
  const json& answer = script[word];
  if (answer.contains("call") && answer["call"].is_number_integer() &&
      answer["call"].get<int>() != runs_with(dir, word)) {
    return json::object();
  }
  return answer;
}

const std::pair<std::string_view, int> STATES[] = {
    {"STOPPED", 1}, {"START_PENDING", 2}, {"STOP_PENDING", 3}, {"RUNNING", 4}};

// The scripted answer of the Nth query, or nothing without a states file.
std::optional<json> scripted_query(const platform::Path& dir, const std::string& service) {
  auto text = platform::read_file(platform::join(dir, STATES_FILE));
  if (!text) return std::nullopt;
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; start < text->size(); start = end + 1) {
    end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  if (lines.empty()) return std::nullopt;
  const std::size_t n = static_cast<std::size_t>(std::max(1, runs_with(dir, "query")));
  const std::string& state = lines[std::min(n, lines.size()) - 1];
  for (const auto& [name, code] : STATES) {
    if (state != name) continue;
    return json{{"stdout", "\r\nSERVICE_NAME: " + service +
                               "\r\n        TYPE               : 10  WIN32_OWN_PROCESS\r\n"
                               "        STATE              : " +
                               std::to_string(code) + "  " + std::string(name) +
                               "\r\n        WIN32_EXIT_CODE    : 0  (0x0)\r\n"}};
  }
  return json{{"exit", std::stoi(state)},
              {"stdout", "[SC] EnumQueryServicesStatus:OpenService FAILED " + state + ":\r\n"}};
}

// The core's content when it is small enough to be a test's marker.
json installed_core() {
  auto dir = platform::env_path("TAVREL_SERVICE_DIR");
  if (!dir) return nullptr;
  const platform::Path core = platform::join(*dir, platform::CORE_EXE_NAME);
  const auto size = platform::file_size(core);
  if (!size || *size > 256) return nullptr;
  auto text = platform::read_file(core);
  if (!text) return nullptr;
  return *text;
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

}  // namespace

int tavrel::tavrel_invalid_arguments_exit() { return 1; }

int tavrel::tavrel_main(std::vector<std::string> args) {
  auto exe = platform::current_exe();
  const platform::Path exe_dir = exe ? exe.value().parent_path() : platform::Path{};
  const platform::Path dir = platform::env_path(DIR_VARIABLE).value_or(exe_dir);
  std::error_code ec;
  const platform::Path cwd = std::filesystem::current_path(ec);
  const std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());

  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  const json call{{"args", rest},
                  {"ms", ms},
                  {"cwd", platform::to_utf8(cwd)},
                  {"exe_dir", platform::to_utf8(exe_dir)},
                  {"core", installed_core()}};
  (void)platform::append_file_shared(
      platform::join(dir, CALLS_FILE),
      call.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");

  const std::string word = rest.empty() ? std::string() : rest.front();
  std::optional<json> queried;
  if (word == "query") queried = scripted_query(dir, rest.size() > 1 ? rest[1] : std::string());
  const json answer = queried ? *queried : answer_for(dir, word);
  if (answer.contains("stdout") && answer["stdout"].is_string()) {
    platform::write_stdout(answer["stdout"].get<std::string>());
  }
  if (answer.contains("stderr") && answer["stderr"].is_string()) {
    platform::write_stderr(answer["stderr"].get<std::string>());
  }
  if (answer.contains("stderr_hex") && answer["stderr_hex"].is_string()) {
    platform::write_stderr(from_hex(answer["stderr_hex"].get<std::string>()));
  }
  if (answer.contains("exit") && answer["exit"].is_number_integer())
    return answer["exit"].get<int>();
  return 0;
}

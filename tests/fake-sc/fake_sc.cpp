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
// A word the script does not name (or a missing script) succeeds silently.
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
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

json answer_for(const platform::Path& dir, const std::string& word) {
  auto text = platform::read_file(platform::join(dir, SCRIPT_FILE));
  if (!text) return json::object();
  const json script = json::parse(text.value(), nullptr, false);
  if (!script.is_object() || !script.contains(word) || !script[word].is_object())
    return json::object();
  return script[word];
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
                  {"exe_dir", platform::to_utf8(exe_dir)}};
  (void)platform::append_file_shared(platform::join(dir, CALLS_FILE), call.dump() + "\n");

  const json answer = answer_for(dir, rest.empty() ? std::string() : rest.front());
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

// A stand-in for the proxy core. It honours the three invocations the service uses:
//
//   version
//   check --disable-color -c <config> -D <dir>
//   run -c <config> -D <dir> --disable-color
//
// and is steered through the "fake" object of its configuration file (all keys optional):
//
//   check_exit (int), check_need_files (paths relative to -D: one missing fails the check with
//   "missing <path>" on stderr), check_sleep_ms, check_stdout / check_stderr (arrays of lines, each
//   written with a line feed), check_stderr_raw (text written as it is), check_append_line
//   (appended with a line feed to "fake-core-checks.txt" beside the executable, so that a test
//   sees the order in which checks ran);
//   run_stdout / run_stderr (arrays of lines), run_output_lines (that many lines on standard
//   output after those, each 100 bytes: its number in 8 digits, a space, "x"s and a line
//   feed), run_exit_after_ms (absent: run until killed),
//   run_exit_code, run_connect_port (connect to 127.0.0.1:<port>, send "<pid>\n" and keep the
//   connection open for life, so that a test can tell when this process has gone),
//   run_child_connect_port (first start a helper of its own, as a real core may, which does
//   the same on that port and lives for at most five minutes), run_ignore_stop (boolean: see
//   below).
//
// A running core asked to stop (SIGTERM or SIGINT; on Windows Ctrl-Break or Ctrl-C) records
// that in <dir>/fake-core-stop.json and exits with 0; with run_ignore_stop it records it and
// runs on.
//
// A configuration without "fake" passes the check and runs until killed, so a person can try
// the whole service with it. `version` takes no configuration: it prints "fake-version.txt"
// from beside the executable as it is, else a version line of its own; "fake-core.json"
// beside the executable may hold version_sleep_ms and version_exit.
//
// check and run record their process id and arguments in <dir>/fake-core-check.json and
// <dir>/fake-core-run.json; on POSIX run also lists its open descriptors.
//
// More commands serve the tests of process creation: `args ...` prints its arguments as a
// JSON array, `spawn <config> <dir>` starts `run` of this program and then waits to be
// killed, printing the child's id, and `child <port>` is the helper of run_child_connect_port.
#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plain_child.h"
#include "platform/console.h"
#include "platform/entry.h"
#include "platform/env.h"
#include "common/stop_flag.h"
#include "platform/fs.h"
#include "platform/interrupt.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {

using nlohmann::json;
namespace platform = tavrel::platform;

constexpr std::string_view DEFAULT_VERSION_OUTPUT =
    "sing-box version 1.11.4-fake\n\nEnvironment: fake-core\n";

json load_json(const platform::Path& file) {
  auto text = platform::read_file(file);
  if (!text) return json();
  return json::parse(text.value(), nullptr, false);
}

json fake_settings(const json& config) {
  if (config.is_object() && config.contains("fake") && config["fake"].is_object()) {
    return config["fake"];
  }
  return json::object();
}

// The settings of a check's or run's configuration file; nothing, after the core's own
// complaint, when the file is not JSON.
std::optional<json> settings_of_config(const platform::Path& file) {
  const json config = load_json(file);
  if (config.is_discarded()) {
    platform::write_stderr("FATAL[0000] decode config: not a JSON document\n");
    return std::nullopt;
  }
  return fake_settings(config);
}

template <class T>
std::optional<T> setting(const json& fake, const char* key) {
  if (!fake.contains(key)) return std::nullopt;
  const json& v = fake[key];
  if constexpr (std::is_same_v<T, std::string>) {
    if (v.is_string()) return v.get<std::string>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (v.is_boolean()) return v.get<bool>();
  } else {
    if (v.is_number_integer()) return v.get<T>();
  }
  return std::nullopt;
}

void write_lines(const json& fake, const char* key, void (*write)(std::string_view)) {
  if (!fake.contains(key) || !fake[key].is_array()) return;
  for (const json& line : fake[key]) {
    if (line.is_string()) write(line.get<std::string>() + "\n");
  }
}

std::string numbered_line(std::int64_t i) {
  std::string line = std::to_string(i);
  line.insert(0, 8 - std::min<std::size_t>(8, line.size()), '0');
  line += ' ';
  line.resize(99, 'x');
  return line + "\n";
}

void sleep_ms(std::int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

[[noreturn]] void sleep_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

json open_descriptors() {
  json fds = json::object();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link_ec;
    const auto target = std::filesystem::read_symlink(entry.path(), link_ec);
    fds[entry.path().filename().string()] = link_ec ? std::string() : target.string();
  }
  return fds;
}

// Written beside and renamed into place, so that a test never reads half a record.
void record(const platform::Path& dir, std::string_view name, json content) {
  const platform::Path file = platform::join(dir, name);
  const platform::Path part = platform::join(dir, std::string(name) + ".part");
  if (platform::write_file(part, content.dump())) (void)platform::rename_replace(part, file);
}

struct Invocation {
  platform::Path config;
  platform::Path dir;
  bool have_config = false;
  bool have_dir = false;
};

Invocation parse_flags(const std::vector<std::string>& args) {
  Invocation inv;
  for (std::size_t i = 2; i + 1 < args.size(); ++i) {
    if (args[i] == "-c") {
      inv.config = platform::from_utf8(args[i + 1]);
      inv.have_config = true;
    } else if (args[i] == "-D") {
      inv.dir = platform::from_utf8(args[i + 1]);
      inv.have_dir = true;
    }
  }
  return inv;
}

json invocation_record(const std::vector<std::string>& args) {
  const auto path = platform::env_path("PATH");
  return json{{"pid", platform::current_process_id()},
              {"args", args},
              {"path", path ? platform::to_utf8(*path) : std::string()}};
}

platform::Path beside_exe(std::string_view name) {
  auto exe = platform::current_exe();
  return exe ? platform::join(exe.value().parent_path(), name) : platform::from_utf8(name);
}

// Tells a test listening on `port` this process's id, over a connection kept open for life.
void connect_back(asio::ip::tcp::socket& link, int port) {
  asio::error_code ec;
  link.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}, ec);
  if (!ec) asio::write(link, asio::buffer(std::to_string(platform::current_process_id()) + "\n"), ec);
}

int do_child(const std::vector<std::string>& args) {
  if (args.size() < 3) return 2;
  asio::io_context io;
  asio::ip::tcp::socket link(io);
  connect_back(link, std::stoi(args[2]));
  // Bounded, so that a test that fails to end it leaves nothing running for long.
  std::this_thread::sleep_for(std::chrono::minutes(5));
  return 0;
}

int do_version() {
  const json fake = fake_settings(load_json(beside_exe("fake-core.json")));
  sleep_ms(setting<std::int64_t>(fake, "version_sleep_ms").value_or(0));
  auto text = platform::read_file(beside_exe("fake-version.txt"));
  platform::write_stdout(text ? std::string_view(text.value()) : DEFAULT_VERSION_OUTPUT);
  return setting<int>(fake, "version_exit").value_or(0);
}

int do_check(const std::vector<std::string>& args) {
  const Invocation inv = parse_flags(args);
  if (!inv.have_config) {
    platform::write_stderr("FATAL[0000] missing -c\n");
    return 1;
  }
  if (inv.have_dir) record(inv.dir, "fake-core-check.json", invocation_record(args));
  const auto settings = settings_of_config(inv.config);
  if (!settings) return 1;
  const json& fake = *settings;
  if (fake.contains("check_need_files") && fake["check_need_files"].is_array()) {
    for (const json& need : fake["check_need_files"]) {
      if (!need.is_string() || !platform::exists(platform::join(inv.dir, need.get<std::string>()))) {
        platform::write_stderr("missing " + need.dump() + "\n");
        return 1;
      }
    }
  }
  sleep_ms(setting<std::int64_t>(fake, "check_sleep_ms").value_or(0));
  if (auto line = setting<std::string>(fake, "check_append_line")) {
    (void)platform::append_file_shared(beside_exe("fake-core-checks.txt"), *line + "\n");
  }
  write_lines(fake, "check_stdout", platform::write_stdout);
  write_lines(fake, "check_stderr", platform::write_stderr);
  if (auto raw = setting<std::string>(fake, "check_stderr_raw")) platform::write_stderr(*raw);
  return setting<int>(fake, "check_exit").value_or(0);
}

int do_run(const std::vector<std::string>& args) {
  const Invocation inv = parse_flags(args);
  if (!inv.have_config) {
    platform::write_stderr("FATAL[0000] missing -c\n");
    return 1;
  }
  const auto settings = settings_of_config(inv.config);
  if (!settings) return 1;
  const json& fake = *settings;
  // Listed before this program opens anything of its own. Only a POSIX build's list is its
  // own: a Windows build under an emulator would list the emulator's.
  json rec = invocation_record(args);
  if (!platform::CORE_EXE_NAME.ends_with(".exe")) rec["fds"] = open_descriptors();

  if (auto port = setting<int>(fake, "run_child_connect_port")) {
    auto exe = platform::current_exe();
    if (!exe || !start_plain_child(exe.value(), {"child", std::to_string(*port)})) {
      platform::write_stderr("fake-core: cannot start its helper\n");
      return 1;
    }
  }

  // Listening before anyone learns of this process, so that no request to stop is missed.
  static tavrel::StopFlag asked;
  platform::raise_on_interrupt(asked);

  asio::io_context io;
  asio::ip::tcp::socket link(io);
  if (auto port = setting<int>(fake, "run_connect_port")) connect_back(link, *port);

  if (inv.have_dir) record(inv.dir, "fake-core-run.json", rec);

  write_lines(fake, "run_stdout", platform::write_stdout);
  write_lines(fake, "run_stderr", platform::write_stderr);
  for (std::int64_t i = 0, n = setting<std::int64_t>(fake, "run_output_lines").value_or(0); i < n;
       ++i) {
    // In two writes, as a pipe may deliver a line in pieces.
    const std::string line = numbered_line(i);
    platform::write_stdout(std::string_view(line).substr(0, 50));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    platform::write_stdout(std::string_view(line).substr(50));
  }
  const auto exit_after = setting<std::int64_t>(fake, "run_exit_after_ms");
  const auto exit_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(exit_after.value_or(0));
  const bool ignore_stop = setting<bool>(fake, "run_ignore_stop").value_or(false);
  bool recorded = false;
  while (!exit_after || std::chrono::steady_clock::now() < exit_at) {
    if (asked.raised() && !recorded) {
      recorded = true;
      if (inv.have_dir) {
        record(inv.dir, "fake-core-stop.json",
               json{{"pid", platform::current_process_id()},
                    {"cause", std::string(tavrel::stop_cause_name(asked.cause()))}});
      }
      if (!ignore_stop) return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return setting<int>(fake, "run_exit_code").value_or(0);
}

int do_spawn(const std::vector<std::string>& args) {
  if (args.size() < 4) return 2;
  const platform::Path dir = platform::from_utf8(args[3]);
  auto exe = platform::current_exe();
  auto log = platform::open_output_file(platform::join(dir, "spawned.log"));
  if (!exe || !log) return 1;
  auto child = platform::spawn(
      exe.value(), {"run", "-c", platform::from_utf8(args[2]), "-D", dir, "--disable-color"},
      log.value(), log.value(), {.no_window = true});
  if (!child) {
    platform::write_stderr(child.error().chain() + "\n");
    return 1;
  }
  platform::write_stdout(std::to_string(child->id()) + "\n");
  sleep_forever();
}

}  // namespace

int tavrel::tavrel_invalid_arguments_exit() { return 1; }

int tavrel::tavrel_main(std::vector<std::string> args) {
  try {
    const std::string command = args.size() > 1 ? args[1] : "";
    if (command == "version") return do_version();
    if (command == "check") return do_check(args);
    if (command == "run") return do_run(args);
    if (command == "spawn") return do_spawn(args);
    if (command == "child") return do_child(args);
    if (command == "args") {
      platform::write_stdout(json(std::vector<std::string>(args.begin() + 2, args.end())).dump());
      return 0;
    }
    platform::write_stderr("fake-core: unknown command \"" + command + "\"\n");
    return 2;
  } catch (const std::exception& e) {
    platform::write_stderr(std::string("fake-core: ") + e.what() + "\n");
    return 3;
  }
}

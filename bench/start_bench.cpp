// A start with a 1 MiB configuration and 50 rule-set files (about 3 MiB of Base64) against a
// stand-in core whose check and run return at once (the system's `true`, which ignores its
// arguments and exits 0). Prints the time the service spends outside the core's processes
// and, beside it, the time to write the same bytes to the same disk.
//
//   <build>/bench/bench_start [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/base64.h"
#include "core/config_text.h"
#include "core/core_process.h"
#include "core/lease_clock.h"
#include "core/ruleset_files.h"
#include "core/screening.h"
#include "core/singbox.h"
#include "core/start.h"
#include "files/service_dir.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace {

namespace core = tavrel::core;
namespace files = tavrel::files;
namespace platform = tavrel::platform;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

constexpr std::size_t CONFIG_BYTES = 1 << 20;
constexpr int RULESET_COUNT = 50;
constexpr std::size_t BASE64_BYTES = 3 << 20;

std::mt19937_64 rng(20241209);

std::string word(std::size_t n) {
  static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string w(n, 'a');
  for (auto& c : w) c = LETTERS[rng() % 36];
  return w;
}

// A configuration shaped like a real one: outbounds and many route rules with domain lists,
// rule-set references by relative path.
json make_config() {
  json config = {
      {"log", {{"level", "info"}, {"timestamp", true}, {"output", "box.log"}}},
      {"inbounds",
       {{{"type", "tun"}, {"tag", "tun-in"}, {"address", {"172.19.0.1/30", "fdfe:dcba:9876::1/126"}},
         {"auto_route", true}, {"strict_route", true}, {"mtu", 9000}}}},
      {"experimental", {{"cache_file", {{"enabled", true}, {"path", "cache.db"}}}}},
  };
  json& rule_sets = config["route"]["rule_set"];
  for (int i = 0; i < RULESET_COUNT; ++i) {
    rule_sets.push_back({{"type", "local"}, {"tag", "set-" + std::to_string(i)}, {"format", "binary"},
                         {"path", "rulesets/set-" + std::to_string(i) + ".srs"}});
  }
  json& outbounds = config["outbounds"];
  for (int i = 0; i < 200; ++i) {
    outbounds.push_back({{"type", "vless"},
                         {"tag", "proxy-" + std::to_string(i)},
                         {"server", word(12) + ".example"},
                         {"server_port", 1024 + rng() % 60000},
                         {"uuid", word(36)},
                         {"tls", {{"enabled", true}, {"server_name", word(20)}, {"utls", {{"fingerprint", "chrome"}}}}},
                         {"multiplex", {{"enabled", false}, {"ratio", (rng() % 1000) / 7.0}}},
                         {"备注", "节点 " + std::to_string(i) + " \t\"quoted\""}});
  }
  json& rules = config["route"]["rules"];
  while (core::config_json_text(config).size() < CONFIG_BYTES) {
    for (int k = 0; k < 50; ++k) {
      json domains = json::array();
      for (int d = 0; d < 20; ++d) domains.push_back(word(10) + ".com");
      rules.push_back({{"domain_suffix", std::move(domains)},
                       {"port", {rng() % 65535, rng() % 65535}},
                       {"rule_set", {"set-" + std::to_string(rng() % RULESET_COUNT)}},
                       {"outbound", "proxy-" + std::to_string(rng() % 200)}});
    }
  }
  return config;
}

std::vector<std::string> make_ruleset_bytes() {
  std::vector<std::string> sets;
  const std::size_t each = BASE64_BYTES / RULESET_COUNT / 4 * 3;
  for (int i = 0; i < RULESET_COUNT; ++i) {
    std::string bytes(each, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    sets.push_back(std::move(bytes));
  }
  return sets;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <class F>
double time_ms(F&& f) {
  const auto start = Clock::now();
  f();
  return Ms(Clock::now() - start).count();
}

void must(const tavrel::Status& status, const char* what) {
  if (status) return;
  std::fprintf(stderr, "%s: %s\n", what, status.error().chain().c_str());
  std::exit(1);
}

// The stand-in's run exits by itself; wait until the slot has forgotten it, so that no start
// waits for a core to die.
void wait_for_core_exit(core::CoreSlot& slot) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (core::core_status(slot)) {
    if (Clock::now() >= deadline) {
      std::fprintf(stderr, "the stand-in core did not exit\n");
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct Steps {
  double guard = 0, sets = 0, write = 0, free = 0;
  double sum() const { return guard + sets + write + free; }
};

Steps time_steps(const json& config, const platform::Path& rulesets_dir, const platform::Path& config_path,
                 const std::vector<tavrel::protocol::RuleSetFile>& rulesets) {
  Steps t;
  auto step = std::make_unique<json>(config);
  t.guard = time_ms([&] {
    core::remove_log_output(*step);
    must(core::check_config_paths(*step), "guard");
  });
  t.sets = time_ms([&] { must(core::install_rulesets(rulesets_dir, rulesets), "rule-sets"); });
  t.write = time_ms([&] { must(core::write_config_json(config_path, *step), "write config"); });
  t.free = time_ms([&] { step.reset(); });
  return t;
}

void print_steps(const std::vector<Steps>& first, const std::vector<Steps>& again) {
  const auto row = [&](const char* name, double Steps::*field) {
    std::vector<double> a, b;
    for (const auto& s : first) a.push_back(s.*field);
    for (const auto& s : again) b.push_back(s.*field);
    std::printf("    %-43s %8.2f  %8.2f\n", name, median(a), median(b));
  };
  std::printf("    its steps timed alone:                     after a    again\n"
              "                                               child start\n");
  row("log removal and path guard", &Steps::guard);
  row("rule-set files (remove, decode, write)", &Steps::sets);
  row("config.json (text and write)", &Steps::write);
  row("freeing the configuration", &Steps::free);
  std::vector<double> a, b;
  for (const auto& s : first) a.push_back(s.sum());
  for (const auto& s : again) b.push_back(s.sum());
  std::printf("    %-43s %8.2f  %8.2f\n", "sum", median(a), median(b));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 11;
  std::optional<platform::Path> stand_in;
  if (auto path = platform::env_path("PATH")) {
    std::string list = platform::to_utf8(*path);
    for (std::size_t at = 0; at <= list.size() && !stand_in;) {
      std::size_t end = list.find(':', at);
      if (end == std::string::npos) end = list.size();
      const platform::Path candidate = platform::join(platform::from_utf8(list.substr(at, end - at)), "true");
      if (platform::is_regular_file(candidate)) stand_in = candidate;
      at = end + 1;
    }
  }
  if (!stand_in) {
    std::fprintf(stderr, "no `true` program on PATH\n");
    return 1;
  }

  const platform::Path root = platform::join(std::filesystem::temp_directory_path(),
                                             "tavrel start bench " + std::to_string(platform::current_process_id()));
  const platform::Path dir = platform::join(root, "service");
  const platform::Path plain = platform::join(root, "plain");
  must(platform::create_directories(platform::join(dir, files::WORK_DIR)), "create service dir");
  must(platform::copy_file(*stand_in, platform::join(dir, platform::CORE_EXE_NAME)), "copy stand-in core");
  platform::set_env(files::SERVICE_DIR_VARIABLE, platform::to_utf8(dir));

  const json config = make_config();
  const std::vector<std::string> set_bytes = make_ruleset_bytes();
  std::vector<tavrel::protocol::RuleSetFile> rulesets;
  std::size_t base64_total = 0, decoded_total = 0;
  for (int i = 0; i < RULESET_COUNT; ++i) {
    rulesets.push_back({"set-" + std::to_string(i) + ".srs", tavrel::base64_encode(set_bytes[i])});
    base64_total += rulesets.back().data_b64.size();
    decoded_total += set_bytes[i].size();
  }
  json written_config = config;
  core::remove_log_output(written_config);
  const std::string config_text = core::config_json_text(written_config);

  const platform::Path config_path = platform::join(dir, files::CONFIG_FILE);
  const platform::Path work = platform::join(dir, files::WORK_DIR);
  const platform::Path rulesets_dir = platform::join(work, files::RULESETS_DIR);

  core::CoreSlot slot;
  core::LeaseClock lease;
  const json small_config = json::object();

  std::vector<double> total, check, launch, own, baseline, own_vs_baseline, write_plain, replace_plain;
  std::vector<Steps> steps_first, steps_again;
  for (int run = -2; run < runs; ++run) {  // two warm-up rounds
    json argument = config;  // the request's value is moved in, as the handler does
    wait_for_core_exit(slot);
    const double t = time_ms([&] { must(core::handle_start(dir, slot, lease, std::move(argument), rulesets), "start"); });
    const double c = time_ms([&] {
      auto checked = core::run_check(dir, config_path, work);
      if (!checked || checked->exit_code != 0) must(tavrel::CommandError("the check failed"), "check");
    });
    wait_for_core_exit(slot);
    const double l = time_ms([&] { must(core::launch_core(slot, dir, config_path, work), "launch"); });
    wait_for_core_exit(slot);
    const double b = time_ms([&] { must(core::handle_start(dir, slot, lease, small_config, {}), "small start"); });
    wait_for_core_exit(slot);

    // The service's own steps one by one, twice: right after children were started (as in a
    // start), and again once the memory they touch has been touched.
    Steps first = time_steps(config, rulesets_dir, config_path, rulesets);
    Steps again = time_steps(config, rulesets_dir, config_path, rulesets);

    // The same bytes written plainly: into a fresh directory, and replacing the last copy.
    const auto write_all = [&] {
      must(platform::create_directories(plain), "plain dir");
      must(platform::write_file(platform::join(plain, "config.json"), config_text), "plain config");
      for (int i = 0; i < RULESET_COUNT; ++i) {
        must(platform::write_file(platform::join(plain, rulesets[i].name), set_bytes[i]), "plain set");
      }
    };
    (void)platform::remove_all(plain);
    const double p = time_ms(write_all);
    const double r = time_ms([&] {
      must(platform::remove_all(plain), "plain remove");
      write_all();
    });
    if (run < 0) continue;
    total.push_back(t);
    check.push_back(c);
    launch.push_back(l);
    own.push_back(t - c - l);
    baseline.push_back(b);
    own_vs_baseline.push_back(t - b);
    steps_first.push_back(first);
    steps_again.push_back(again);
    write_plain.push_back(p);
    replace_plain.push_back(r);
  }
  core::stop_core(slot);
  (void)platform::remove_all(root);

  std::printf("start with a %.2f MiB config.json and %d rule-set files (%.2f MiB of Base64, %.2f MiB decoded)\n",
              config_text.size() / 1048576.0, RULESET_COUNT, base64_total / 1048576.0, decoded_total / 1048576.0);
  std::printf("medians of %d runs, in ms\n\n", runs);
  std::printf("  whole start (handle_start)                     %8.2f\n", median(total));
  std::printf("  core check, timed alone on the same files      %8.2f\n", median(check));
  std::printf("  core launch, timed alone                       %8.2f\n", median(launch));
  std::printf("  service's own part = start - check - launch    %8.2f\n", median(own));
  print_steps(steps_first, steps_again);
  std::printf("  cross-check: start - start of an empty config  %8.2f\n"
              "               without rule-sets\n",
              median(own_vs_baseline));
  std::printf("\n  plain write of the same bytes, fresh dir       %8.2f\n", median(write_plain));
  std::printf("  plain write replacing the previous copy        %8.2f\n", median(replace_plain));
  std::printf("\n  own part / plain write (target < 3)           %8.2f\n", median(own) / median(write_plain));
  std::printf("  own part / plain replace                       %8.2f\n", median(own) / median(replace_plain));
  std::printf("\nmethod: each run times a whole start, then the core's check (run_check) and launch\n"
              "(launch_core) alone on the files that start wrote; the service's own part is the\n"
              "difference. Before every start the previous stand-in core has exited by itself, so no\n"
              "start waits for a core to die. The steps are then timed one by one on the same input:\n"
              "first right after children were started, then once more. The plain write uses the same\n"
              "file API, into a directory beside the service's.\n");
  return 0;
}

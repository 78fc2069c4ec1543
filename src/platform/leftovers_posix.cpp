#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/leftovers.h"

namespace tavrel::platform {
namespace {

// Start times count clock ticks since boot, so they compare only within one boot.
constexpr const char* BOOT_ID_FILE = "/proc/sys/kernel/random/boot_id";
constexpr std::string_view TEMP_SUFFIX = ".tmp";
// Rounds of looking again, for a process forked while the previous round was ending its group.
constexpr int END_ROUNDS = 5;

struct ProcStat {
  long long pid = 0;
  char state = '?';
  long long group = 0;
  long long session = 0;
  unsigned long long start = 0;
};

// One recorded child: its group (the child leads it), session and start time.
struct Record {
  long long group = 0;
  long long session = 0;
  unsigned long long start = 0;
  std::string boot;
};

template <class T>
bool parse_number(std::string_view text, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const auto start = text.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const auto end = std::min(text.find_first_of(" \n"), text.size());
    out.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return out;
}

std::string boot_id() {
  auto text = read_file(BOOT_ID_FILE);
  if (!text) return {};
  const auto w = words(text.value());
  return w.empty() ? std::string() : std::string(w.front());
}

// /proc/<pid>/stat; the command name is in parentheses and may itself hold spaces or ")".
std::optional<ProcStat> read_stat(long long pid) {
  auto text = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return std::nullopt;
  const std::string_view all = text.value();
  const auto paren = all.rfind(')');
  if (paren == std::string_view::npos) return std::nullopt;
  const auto fields = words(all.substr(paren + 1));  // from field 3, the state
  ProcStat stat;
  stat.pid = pid;
  if (fields.size() < 20 || fields[0].size() != 1 || !parse_number(fields[2], stat.group) ||
      !parse_number(fields[3], stat.session) || !parse_number(fields[19], stat.start)) {
    return std::nullopt;
  }
  stat.state = fields[0][0];
  return stat;
}

std::optional<Record> parse_record(std::string_view text) {
  const auto w = words(text);
  Record r;
  if (w.size() != 4 || !parse_number(w[0], r.group) || !parse_number(w[1], r.session) ||
      !parse_number(w[2], r.start)) {
    return std::nullopt;
  }
  r.boot = std::string(w[3]);
  return r;
}

std::vector<ProcStat> all_processes() {
  std::vector<ProcStat> out;
  auto entries = directory_entries("/proc");
  if (!entries) return out;
  for (const Path& name : *entries) {
    long long pid = 0;
    if (!parse_number(name.native(), pid)) continue;
    if (auto stat = read_stat(pid)) out.push_back(*stat);
  }
  return out;
}

bool belongs_to(const ProcStat& p, const Record& r) {
  return p.group == r.group && p.session == r.session && p.start >= r.start && p.state != 'Z';
}

// The recorded group is no longer the child's when a process with its id runs that started at
// another time: the id was given out again and leads a group of its own.
bool group_taken_over(const std::vector<ProcStat>& processes, const Record& r) {
  for (const ProcStat& p : processes) {
    if (p.pid == r.group) return p.start != r.start;
  }
  return false;
}

}  // namespace

ChildRecord ChildRecord::add(const Path& records_dir, std::uint32_t pid) {
  const auto stat = read_stat(pid);
  if (!stat || records_dir.empty()) return {};
  if (!platform::create_directories(records_dir)) return {};
  const Path file = join(records_dir, std::to_string(pid));
  const Path temp = join(records_dir, std::to_string(pid) + std::string(TEMP_SUFFIX));
  const std::string text = std::to_string(stat->group) + " " + std::to_string(stat->session) + " " +
                           std::to_string(stat->start) + " " + boot_id() + "\n";
  if (!write_file(temp, text) || !rename_replace(temp, file)) {
    (void)platform::remove_all(temp);
    return {};
  }
  return ChildRecord(file);
}

std::size_t end_recorded_children(const Path& records_dir) {
  if (!platform::exists(records_dir)) return 0;
  const std::string boot = boot_id();
  std::vector<Record> records;
  auto entries = directory_entries(records_dir);
  for (const Path& name : entries ? *entries : std::vector<Path>{}) {
    if (name.native().ends_with(TEMP_SUFFIX)) continue;
    auto text = platform::read_file(records_dir / name);
    if (!text) continue;
    if (auto record = parse_record(text.value()); record && record->boot == boot) {
      records.push_back(*record);
    }
  }

  // Never this service's own group, whatever the records say.
  const long long own_group = getpgrp();
  std::set<long long> ended;
  for (int round = 0; round < END_ROUNDS && !records.empty(); ++round) {
    const std::vector<ProcStat> processes = all_processes();
    bool ended_one = false;
    for (const Record& r : records) {
      if (r.group == own_group || group_taken_over(processes, r)) continue;
      for (const ProcStat& p : processes) {
        if (!belongs_to(p, r) || kill(static_cast<pid_t>(p.pid), SIGKILL) != 0) continue;
        // One already ended may still be on its way out.
        if (ended.insert(p.pid).second) ended_one = true;
      }
    }
    if (!ended_one) break;
  }
  (void)platform::remove_all(records_dir);
  return ended.size();
}

}  // namespace tavrel::platform

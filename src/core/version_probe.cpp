#include "core/version_probe.h"

#include "common/text.h"
#include "core/singbox.h"
#include "platform/process.h"

namespace tavrel::core {

std::optional<std::string> parse_version_output(std::string_view stdout_bytes) {
  if (stdout_bytes.empty()) return std::nullopt;
  const std::string text = text::utf8_lossy(stdout_bytes);
  std::string_view line = text;
  if (const auto lf = line.find('\n'); lf != std::string_view::npos) {
    line = line.substr(0, lf);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  const auto words = text::split_words(line);
  if (words.size() < 3) return std::nullopt;
  return std::string(words[2]);
}

std::optional<std::string> probe_core_version(const platform::Path& service_dir,
                                              std::chrono::milliseconds time_limit,
                                              const StopFlag* stop) {
  auto run = platform::run_captured(core_executable(service_dir), version_args(), time_limit,
                                    captured_run_options(service_dir, stop));
  if (!run || run->timed_out || run->cancelled) return std::nullopt;
  return parse_version_output(run->out);
}

}  // namespace tavrel::core

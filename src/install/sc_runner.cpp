#include "install/sc_runner.h"

#include <optional>

#include "common/text.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/program_lookup.h"

namespace tavrel::install {
namespace {

// The messages name the tool as the product knows it, whatever the platform's file name.
constexpr std::string_view SC_DISPLAY_NAME = "sc.exe";
constexpr std::string_view CANNOT_RUN = "无法运行 ";
constexpr std::string_view FAILED = " 失败: ";

constexpr std::string_view STATE_KEY = "STATE";
constexpr std::string_view NO_STATE = " 的输出中没有服务状态";

CommandError cannot_run(CommandError cause) {
  return std::move(cause).context(std::string(CANNOT_RUN) + std::string(SC_DISPLAY_NAME));
}

}  // namespace

CommandError rejected(const std::vector<std::string>& args, const ScRun& run) {
  std::string message(SC_DISPLAY_NAME);
  for (const std::string& arg : args) message += " " + arg;
  // sc.exe of Windows itself writes its failure text to standard output, in the console's
  // code page; a stand-in may use standard error.
  const std::string& said = text::is_blank(text::utf8_lossy(run.err)) ? run.out : run.err;
  const std::string reason = platform::decode_console_output(said, platform::console_code_page());
  message += FAILED;
  message += text::trim_unicode_space(reason);
  return CommandError(std::move(message));
}

Result<ScRun> run_sc(const std::vector<std::string>& args) {
  auto sc = platform::find_tool(platform::SC_EXE_NAME);
  if (!sc) return cannot_run(std::move(sc).error());
  std::vector<platform::Path> native_args;
  native_args.reserve(args.size());
  for (const std::string& arg : args) native_args.push_back(platform::from_utf8(arg));
  platform::SpawnOptions options;
  options.working_dir = sc->working_dir;
  auto run = platform::run_captured(sc->program, native_args, std::nullopt, std::move(options));
  if (!run) return cannot_run(std::move(run).error());
  return ScRun{static_cast<std::uint32_t>(run->exit_code), std::move(run->out),
               std::move(run->err)};
}

Status run_sc_strict(const std::vector<std::string>& args) {
  auto run = run_sc(args);
  if (!run) return std::move(run).error();
  if (run->exit_code == 0) return {};
  return rejected(args, *run);
}

std::optional<std::uint32_t> parse_state(std::string_view out) {
  for (std::size_t start = 0; start < out.size();) {
    std::size_t end = out.find('\n', start);
    if (end == std::string_view::npos) end = out.size();
    const std::string_view line = text::trim_unicode_space(out.substr(start, end - start));
    start = end + 1;
    if (!line.starts_with(STATE_KEY)) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view value = text::trim_unicode_space(line.substr(colon + 1));
    std::uint32_t state = 0;
    std::size_t digits = 0;
    for (; digits < value.size() && digits < 9 && value[digits] >= '0' && value[digits] <= '9';
         ++digits) {
      state = state * 10 + static_cast<std::uint32_t>(value[digits] - '0');
    }
    if (digits > 0) return state;
  }
  return std::nullopt;
}

std::string state_name(std::uint32_t state) {
  switch (state) {
    case STATE_STOPPED:
      return "STOPPED";
    case STATE_START_PENDING:
      return "START_PENDING";
    case STATE_STOP_PENDING:
      return "STOP_PENDING";
    case STATE_RUNNING:
      return "RUNNING";
    default:
      return std::to_string(state);
  }
}

Result<std::uint32_t> state_in(std::string_view service, const ScRun& query) {
  if (query.exit_code != 0) return rejected({"query", std::string(service)}, query);
  if (auto state = parse_state(query.out)) return *state;
  return CommandError(std::string(SC_DISPLAY_NAME) + " query " + std::string(service) +
                      std::string(NO_STATE));
}

Result<std::uint32_t> query_state(std::string_view service) {
  auto run = run_sc({"query", std::string(service)});
  if (!run) return std::move(run).error();
  return state_in(service, *run);
}

}  // namespace tavrel::install

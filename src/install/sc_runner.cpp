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

CommandError cannot_run(CommandError cause) {
  return std::move(cause).context(std::string(CANNOT_RUN) + std::string(SC_DISPLAY_NAME));
}

}  // namespace

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
  std::string message(SC_DISPLAY_NAME);
  for (const std::string& arg : args) message += " " + arg;
  // sc.exe of Windows itself writes its failure text to standard output, in the console's
  // code page; a stand-in may use standard error.
  const std::string& said = text::is_blank(text::utf8_lossy(run->err)) ? run->out : run->err;
  const std::string reason =
      platform::decode_console_output(said, platform::console_code_page());
  message += FAILED;
  message += text::trim_unicode_space(reason);
  return CommandError(std::move(message));
}

}  // namespace tavrel::install

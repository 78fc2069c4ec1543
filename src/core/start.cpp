#include "core/start.h"

#include <mutex>

#include "core/check_output.h"
#include "core/config_text.h"
#include "core/ruleset_files.h"
#include "core/screening.h"
#include "files/service_dir.h"
#include "platform/fs.h"

namespace tavrel::core {

Status handle_start(const platform::Path& service_dir, CoreSlot& slot, LeaseClock& lease, nlohmann::json config,
                    const std::vector<protocol::RuleSetFile>& rulesets, std::chrono::milliseconds check_time_limit) {
  // Held across the whole sequence: config.json is never rewritten under a running check,
  // and no core can be launched outside the slot by two interleaved starts.
  std::lock_guard sequence(slot.sequence_lock());

  remove_log_output(config);
  if (auto guarded = check_config_paths(config); !guarded) return guarded;

  const platform::Path config_path = platform::join(service_dir, files::CONFIG_FILE);
  const platform::Path work_dir = platform::join(service_dir, files::WORK_DIR);
  const platform::Path rulesets_dir = platform::join(work_dir, files::RULESETS_DIR);

  if (config_json_size(config, CONFIG_JSON_LIMIT) > CONFIG_JSON_LIMIT) {
    return CommandError(std::string(CONFIG_TOO_LARGE));
  }
  if (auto installed = install_rulesets(rulesets_dir, rulesets); !installed) return installed;

  if (auto written = write_config_json(config_path, config); !written) {
    return std::move(written).error().context(std::string(WRITE_CONFIG_FAILED));
  }

  auto checked = run_check(service_dir, config_path, work_dir, check_time_limit);
  if (!checked) return std::move(checked).error();
  if (checked->exit_code != 0 || checked->timed_out) {
    return CommandError(std::string(CHECK_FAILED) + check_output_tail(checked->stderr_bytes));
  }

  stop_core(slot);
  if (auto launched = launch_core(slot, service_dir, config_path, work_dir); !launched) return launched;
  lease.renew();
  return {};
}

}  // namespace tavrel::core

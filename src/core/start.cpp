#include "core/start.h"

#include <mutex>

#include "core/check_output.h"
#include "core/config_text.h"
#include "core/ruleset_files.h"
#include "core/screening.h"
#include "files/service_dir.h"
#include "platform/fs.h"

namespace tavrel::core {
namespace {

// Inside the staging place: where the live rule-set directory goes on its way out.
constexpr std::string_view PREVIOUS_RULESETS = "previous-rulesets";

struct StartPaths {
  platform::Path config, work, rulesets;
  platform::Path staging, staged_config, staged_rulesets;
  platform::Path swap, swap_config, swap_rulesets;
};

StartPaths paths_in(const platform::Path& service_dir) {
  StartPaths p;
  p.config = platform::join(service_dir, files::CONFIG_FILE);
  p.work = platform::join(service_dir, files::WORK_DIR);
  p.rulesets = platform::join(p.work, files::RULESETS_DIR);
  p.staging = platform::join(service_dir, files::STAGING_DIR);
  p.staged_config = platform::join(p.staging, files::CONFIG_FILE);
  p.staged_rulesets = platform::join(p.staging, files::RULESETS_DIR);
  p.swap = platform::join(service_dir, files::SWAP_DIR);
  p.swap_config = platform::join(p.swap, files::CONFIG_FILE);
  p.swap_rulesets = platform::join(p.swap, files::RULESETS_DIR);
  return p;
}

Status remove_if_present(const platform::Path& path, std::string_view what) {
  if (!platform::exists(path)) return {};
  if (auto removed = platform::remove_all(path); !removed) {
    return std::move(removed).error().context(std::string(what));
  }
  return {};
}

// Writes the new files into a fresh staging place and lets the core check them there, seeing
// the rule-set files at the same relative paths as the core that will run.
Status stage_and_check(const StartPaths& p, const platform::Path& service_dir,
                       const nlohmann::json& config,
                       const std::vector<protocol::RuleSetFile>& rulesets,
                       std::chrono::milliseconds check_time_limit, const StopFlag* stop) {
  // Left by a start that did not finish (the service ended in the middle).
  if (auto cleared = remove_if_present(p.staging, CLEAR_STAGING_FAILED); !cleared) return cleared;
  if (auto created = platform::create_directories(p.staging); !created) {
    return std::move(created).error().context(std::string(CREATE_STAGING_FAILED));
  }
  if (auto installed = install_rulesets(p.staged_rulesets, rulesets); !installed) return installed;
  // Present even when empty: the swap then always knows whether the new set is in place yet.
  if (rulesets.empty()) {
    if (auto created = platform::create_directories(p.staged_rulesets); !created) {
      return std::move(created).error().context(std::string(CREATE_STAGING_FAILED));
    }
  }
  if (auto written = write_config_json(p.staged_config, config); !written) {
    return std::move(written).error().context(std::string(WRITE_CONFIG_FAILED));
  }
  auto checked = run_check(service_dir, p.staged_config, p.staging, check_time_limit, stop);
  if (!checked) return std::move(checked).error();
  if (checked->exit_code != 0 || checked->timed_out) {
    return CommandError(std::string(CHECK_FAILED) + check_output_tail(checked->stderr_bytes));
  }
  return {};
}

// Puts a committed start's files in place by renames, from whatever point an earlier attempt
// reached: every step is a single rename, and what is still in the swap place says which
// steps are left. work/rulesets is at every moment the old set, absent, or the new set, and
// config.json the old file or the new one.
Status finish_swap(const StartPaths& p) {
  if (platform::exists(p.swap_rulesets)) {
    if (platform::exists(p.rulesets)) {
      auto moved = platform::rename_replace_retrying(p.rulesets, platform::join(p.swap, PREVIOUS_RULESETS));
      if (!moved) moved = platform::remove_all(p.rulesets);
      if (!moved) return std::move(moved).error().context(std::string(REPLACE_RULESETS_FAILED));
    }
    Status moved = platform::exists(p.work) ? Status{} : platform::create_directories(p.work);
    if (moved) moved = platform::rename_replace_retrying(p.swap_rulesets, p.rulesets);
    if (!moved) return std::move(moved).error().context(std::string(REPLACE_RULESETS_FAILED));
  }
  // A start without rule-set files leaves no directory behind, as before.
  if (auto entries = platform::directory_entries(p.rulesets); entries && entries->empty()) {
    if (auto removed = platform::remove_all(p.rulesets); !removed) {
      return std::move(removed).error().context(std::string(REPLACE_RULESETS_FAILED));
    }
  }
  if (platform::exists(p.swap_config)) {
    if (auto moved = platform::rename_replace_retrying(p.swap_config, p.config); !moved) {
      return std::move(moved).error().context(std::string(WRITE_CONFIG_FAILED));
    }
  }
  // Also takes the previous rule-set files with it.
  return remove_if_present(p.swap, REPLACE_RULESETS_FAILED);
}

// Commits the checked start (one rename of the whole staging place) and puts its files in
// place; the old core has been stopped, so nothing holds the live files open.
Status swap_in(const StartPaths& p) {
  if (auto moved = platform::rename_replace_retrying(p.staging, p.swap); !moved) {
    return std::move(moved).error().context(std::string(REPLACE_RULESETS_FAILED));
  }
  return finish_swap(p);
}

}  // namespace

Status handle_start(const platform::Path& service_dir, CoreSlot& slot, LeaseClock& lease,
                    nlohmann::json config, const std::vector<protocol::RuleSetFile>& rulesets,
                    std::chrono::milliseconds check_time_limit, const StopFlag* stop) {
  // Held across the whole sequence: config.json is never rewritten under a running check,
  // and no core can be launched outside the slot by two interleaved starts.
  std::lock_guard sequence(slot.sequence_lock());

  remove_log_output(config);
  if (auto guarded = check_config_paths(config); !guarded) return guarded;
  if (config_json_size(config, CONFIG_JSON_LIMIT) > CONFIG_JSON_LIMIT) {
    return CommandError(std::string(CONFIG_TOO_LARGE));
  }

  const StartPaths p = paths_in(service_dir);
  // A committed start whose swap an earlier failure interrupted is finished first, so that
  // the live files are one start's before anything else happens to them.
  if (platform::exists(p.swap)) {
    if (auto finished = finish_swap(p); !finished) return finished;
  }
  // Until the check has passed, config.json, work/rulesets and the running core stay as they are.
  if (auto staged = stage_and_check(p, service_dir, config, rulesets, check_time_limit, stop);
      !staged) {
    (void)platform::remove_all(p.staging);
    return staged;
  }

  stop_core(slot);
  if (auto swapped = swap_in(p); !swapped) {
    (void)platform::remove_all(p.staging);
    return swapped;
  }
  if (auto launched = launch_core(slot, service_dir, p.config, p.work); !launched) return launched;
  lease.renew();
  return {};
}

Status recover_start_files(const platform::Path& service_dir) {
  const StartPaths p = paths_in(service_dir);
  if (platform::exists(p.swap)) {
    if (auto finished = finish_swap(p); !finished) return finished;
  }
  if (auto cleared = remove_if_present(p.staging, CLEAR_STAGING_FAILED); !cleared) return cleared;
  auto entries = platform::directory_entries(service_dir);
  if (!entries) return std::move(entries).error().context(std::string(CLEAR_TEMPORARY_FAILED));
  for (const platform::Path& entry : *entries) {
    const std::string name = platform::to_utf8(entry);
    if (!name.ends_with(files::TEMPORARY_SUFFIX)) continue;
    if (auto removed = platform::remove_all(platform::join(service_dir, name)); !removed) {
      return std::move(removed).error().context(std::string(CLEAR_TEMPORARY_FAILED));
    }
  }
  return {};
}

}  // namespace tavrel::core

// The start sequence: screen the configuration, stage it with its rule-set files, let the
// core check them, and only then replace the running core and its files.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/command_error.h"
#include "core/core_process.h"
#include "core/lease_clock.h"
#include "core/singbox.h"
#include "protocol/protocol.h"

namespace tavrel::core {

inline constexpr std::string_view WRITE_CONFIG_FAILED = "write config";
inline constexpr std::string_view CHECK_FAILED = "配置校验失败：";
inline constexpr std::string_view CLEAR_STAGING_FAILED = "clear staging dir";
inline constexpr std::string_view CREATE_STAGING_FAILED = "create staging dir";
inline constexpr std::string_view REPLACE_RULESETS_FAILED = "replace rulesets dir";
inline constexpr std::string_view CLEAR_TEMPORARY_FAILED = "remove temporary files";

// On success the new core is recorded in `slot` and the lease renewed. The new files are
// written and checked in the staging place; only once the check has passed and the old core
// has been stopped do they replace config.json and work/rulesets, by renames. The whole
// sequence holds the slot's sequence lock, so no other start or stop interleaves with it. A
// raised `stop` (the service is stopping) cuts a running check short, as a failed check.
Status handle_start(const platform::Path& service_dir, CoreSlot& slot, LeaseClock& lease,
                    nlohmann::json config, const std::vector<protocol::RuleSetFile>& rulesets,
                    std::chrono::milliseconds check_time_limit = CHECK_TIME_LIMIT,
                    const StopFlag* stop = nullptr);

// At start-up, before listening: finishes the swap of a start that was committed when the
// service ended, and removes the staging place and temporary files a crash left behind.
Status recover_start_files(const platform::Path& service_dir);

}  // namespace tavrel::core

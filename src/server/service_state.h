// The record shared by all tasks of one server run.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/stop_flag.h"
#include "core/core_process.h"
#include "core/lease_clock.h"
#include "core/singbox.h"
#include "files/service_dir.h"

namespace tavrel::server {

struct ServiceState {
  ServiceState(files::ServiceDir dir_, std::string token_, const core::CoreTimings& timings,
               std::chrono::milliseconds check_time_limit_ = core::CHECK_TIME_LIMIT,
               std::shared_ptr<const StopFlag> stop_ = nullptr)
      : dir(std::move(dir_)),
        token(std::move(token_)),
        check_time_limit(check_time_limit_),
        stop(std::move(stop_)),
        core(timings) {}

  const files::ServiceDir dir;
  const std::string token;
  // How long a start waits for the core's check of its configuration.
  const std::chrono::milliseconds check_time_limit;
  // The service's stop: once raised, a running check or version probe is ended at once.
  const std::shared_ptr<const StopFlag> stop;
  core::CoreSlot core;
  core::LeaseClock last_contact;
};

using SharedState = std::shared_ptr<ServiceState>;

}  // namespace tavrel::server

// The record shared by all tasks of one server run.
#pragma once

#include <memory>
#include <string>

#include "core/core_process.h"
#include "core/lease_clock.h"
#include "files/service_dir.h"

namespace tavrel::server {

struct ServiceState {
  ServiceState(files::ServiceDir dir_, std::string token_, const core::CoreTimings& timings)
      : dir(std::move(dir_)), token(std::move(token_)), core(timings) {}

  const files::ServiceDir dir;
  const std::string token;
  core::CoreSlot core;
  core::LeaseClock last_contact;
};

using SharedState = std::shared_ptr<ServiceState>;

}  // namespace tavrel::server

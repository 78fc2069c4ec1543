// The glue between the platform's service manager and the server.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "common/stop_flag.h"

namespace tavrel::platform {

struct ServiceHostCalls {
  // Runs the server until it returns; called once, on the thread the platform chooses. It
  // calls `running` once a client can reach it: the service manager is told then that the
  // service runs. False when it could not start serving: the service manager is then told of
  // a stop with an error, so that its recovery actions restart the service.
  std::function<bool(std::shared_ptr<StopFlag>, const std::function<void()>& running)> serve;
  // Writes one line to the service log.
  std::function<void(const std::string&)> log;
  // The longest a stop may take once it has been asked for; the service manager is told so
  // while the service stops.
  std::chrono::milliseconds stop_wait_hint{0};
};

// Windows: connects to the service control manager as the service `name`, reports its states
// and turns stop and shutdown controls into `stop`; when the process was not started by the
// service control manager, serves in the console. POSIX: serves in the console, SIGTERM and
// SIGINT raise `stop`. Returns once the server has returned.
void run_service_host(const std::string& name, std::shared_ptr<StopFlag> stop, const ServiceHostCalls& calls);

// True in a process that the service manager has started as the service, from the moment it
// hands over to the service entry. Always false on POSIX.
bool started_by_service_manager();

}  // namespace tavrel::platform

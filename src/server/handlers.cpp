#include "server/handlers.h"

#include <type_traits>

#include "common/version.h"
#include "core/core_process.h"
#include "core/start.h"
#include "core/version_probe.h"

namespace tavrel::server {
namespace {

constexpr std::string_view WAKE_DECLINED = "这个系统上由应用自己唤醒电脑";

std::string log_path(const ServiceState& state) {
  return platform::to_utf8(platform::join(state.dir, files::CORE_LOG_FILE));
}

protocol::Response ok_response() {
  protocol::Response response;
  response.ok = true;
  return response;
}

protocol::Response version(const ServiceState& state) {
  protocol::Response response = ok_response();
  response.version = std::string(SERVICE_VERSION);
  response.protocol = PROTOCOL_VERSION;
  response.singbox_version =
      core::probe_core_version(state.dir, core::VERSION_PROBE_TIME_LIMIT, state.stop.get());
  response.log_path = log_path(state);
  return response;
}

protocol::Response status(ServiceState& state) {
  state.last_contact.renew();
  protocol::Response response = ok_response();
  const auto info = core::core_status(state.core);
  response.running = info.has_value();
  if (info) {
    response.pid = info->pid;
    response.uptime_secs = info->uptime_secs;
  } else {
    response.exit_code = core::core_exit_code(state.core);
  }
  response.log_path = log_path(state);
  return response;
}

protocol::Response start(ServiceState& state, protocol::Request::Start request) {
  auto started = core::handle_start(state.dir, state.core, state.last_contact, std::move(request.config),
                                    request.rulesets, state.check_time_limit, state.stop.get());
  if (!started) return protocol::Response::failure(started.error().chain());
  protocol::Response response = ok_response();
  response.running = true;
  response.log_path = log_path(state);
  return response;
}

protocol::Response stop(ServiceState& state) {
  {
    // A stop never interleaves with a start sequence's own stop and launch.
    std::lock_guard sequence(state.core.sequence_lock());
    core::stop_core(state.core);
  }
  protocol::Response response = ok_response();
  response.running = false;
  return response;
}

}  // namespace

protocol::Response handle_request(protocol::Request request, SharedState state) {
  return std::visit(
      [&](auto&& kind) -> protocol::Response {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<Kind, protocol::Request::Version>) {
          return version(*state);
        } else if constexpr (std::is_same_v<Kind, protocol::Request::Status>) {
          return status(*state);
        } else if constexpr (std::is_same_v<Kind, protocol::Request::Start>) {
          return start(*state, std::move(kind));
        } else if constexpr (std::is_same_v<Kind, protocol::Request::Stop>) {
          return stop(*state);
        } else {
          return protocol::Response::failure(std::string(WAKE_DECLINED));
        }
      },
      std::move(request.kind));
}

}  // namespace tavrel::server

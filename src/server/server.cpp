#include "server/server.h"

#include <asio.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "common/version.h"
#include "core/core_process.h"
#include "core/singbox.h"
#include "core/start.h"
#include "core/version_probe.h"
#include "files/service_dir.h"
#include "files/service_log.h"
#include "platform/access.h"
#include "platform/fs.h"
#include "platform/leftovers.h"
#include "server/listener.h"
#include "server/server_context.h"
#include "server/service_state.h"
#include "server/token.h"
#include "server/watchdog.h"

namespace tavrel::server {
namespace {

// Fixed whatever raised the stop, so that a reader of the log may match it; the cause has a
// line of its own just before it: STOP_REQUESTED, the cause, ")".
constexpr std::string_view SHUTTING_DOWN = "shutting down (signal 0)";
constexpr std::string_view STOP_REQUESTED = "stop requested (";
// "ended N leftover processes of a previous run"
constexpr std::string_view ENDED_LEFTOVERS = "ended ";
constexpr std::string_view ENDED_LEFTOVERS_TAIL = " leftover processes of a previous run";

void log_fatal(const CommandError& error) { files::log_line("fatal: " + error.chain()); }

void wait_for_stop(const StopFlag& stop, const ServerOptions& options) {
  while (!stop.raised()) std::this_thread::sleep_for(options.stop_poll);
}

// Returns the state of a run that got as far as serving, so that run_server can make sure no
// core outlives it.
SharedState server_main(ServerContext& context, const std::shared_ptr<StopFlag>& stop_flag,
                        const std::function<void()>& running) {
  const StopFlag& stop = *stop_flag;
  const files::ServiceDir dir = files::service_dir();
  if (auto made = platform::create_directories(platform::join(dir, files::WORK_DIR)); !made) {
    log_fatal(std::move(made).error().context("create service dir"));
    return nullptr;
  }
  // Files written by a console run, or before an install secured the directory, may carry
  // wider access: secrets readable by every account. Not fatal: the service still runs.
  if (platform::start_up_sets_access()) {
    if (auto secured = files::secure_service_files(dir); !secured) files::log_line(secured.error().chain());
  }
  // What a crashed run left of its cores, checks and probes must not run on beside this one.
  if (const std::size_t ended = platform::end_recorded_children(core::child_records_dir(dir));
      ended > 0) {
    files::log_line(std::string(ENDED_LEFTOVERS) + std::to_string(ended) +
                    std::string(ENDED_LEFTOVERS_TAIL));
  }
  // Before the token: a client that sees the new token sees the files of one start.
  if (auto recovered = core::recover_start_files(dir); !recovered) {
    log_fatal(std::move(recovered).error().context("recover start files"));
    return nullptr;
  }
  std::string token = generate_token();
  const platform::Path token_path = platform::join(dir, files::TOKEN_FILE);
  if (auto written = write_token_file(token_path, token); !written) {
    log_fatal(std::move(written).error().context("write " + platform::to_utf8(token_path)));
    return nullptr;
  }
  if (running) running();
  auto state = std::make_shared<ServiceState>(dir, std::move(token), context.options.core_timings,
                                              context.options.check_time_limit, stop_flag);

  const std::string singbox =
      core::probe_core_version(dir, core::VERSION_PROBE_TIME_LIMIT, &stop).value_or("missing");
  files::log_line("tavrel-service " + std::string(SERVICE_VERSION) + " starting, dir " + platform::to_utf8(dir) +
                  ", sing-box " + singbox);

  std::optional<asio::ip::tcp::acceptor> listener = bind_listener(context, stop);
  if (!listener) return nullptr;
  const std::uint16_t port = listener->local_endpoint().port();
  files::log_line("listening on 127.0.0.1:" + std::to_string(port));
  asio::co_spawn(context.io, accept_loop(std::move(*listener), state, context), asio::detached);
  asio::co_spawn(context.io,
                 lease_watchdog(state, context.sequence, context.options.lease_check_period,
                                context.options.lease_timeout),
                 asio::detached);
  if (context.options.on_listening) context.options.on_listening(port);

  wait_for_stop(stop, context.options);
  files::log_line(std::string(STOP_REQUESTED) + std::string(stop_cause_name(stop.cause())) + ")");
  files::log_line(std::string(SHUTTING_DOWN));
  core::stop_core(state->core);
  return state;
}

}  // namespace

bool run_server(std::shared_ptr<StopFlag> stop, const std::function<void()>& running) {
  return run_server(std::move(stop), ServerOptions{}, running);
}

bool run_server(std::shared_ptr<StopFlag> stop, const ServerOptions& options,
                const std::function<void()>& running) {
  asio::io_context io(EVENT_LOOP_THREADS);
  asio::thread_pool blocking(BLOCKING_POOL_THREADS);
  // One thread: a start decodes its configuration only there, so at most one decoded start
  // exists at a time, and its memory is reused by the next.
  asio::thread_pool sequence_thread(1);
  SequenceQueue sequence(sequence_thread);
  // Keeps the workers waiting for tasks until the server is done.
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> workers;
  for (int i = 0; i < EVENT_LOOP_THREADS; ++i) workers.emplace_back([&io] { io.run(); });

  ServerContext context{io, blocking, options, sequence};
  SharedState state = server_main(context, stop, running);

  // Tasks still waiting are abandoned; handlers already running on the pool may finish.
  io.stop();
  for (auto& worker : workers) worker.join();
  blocking.stop();
  sequence_thread.stop();
  blocking.join();
  sequence_thread.join();
  // A start that was already running at the stop may have launched a core after it; none
  // may outlive the server.
  if (state) core::stop_core(state->core);
  return state != nullptr || stop->raised();
}

}  // namespace tavrel::server

#include <signal.h>

#include <atomic>

#include "platform/service_host.h"

namespace tavrel::platform {
namespace {

// The flag the signal handler raises; set while the host runs.
std::atomic<StopFlag*> signal_target{nullptr};

extern "C" void raise_stop(int signal) {
  if (StopFlag* flag = signal_target.load())
    flag->raise(signal == SIGINT ? StopCause::Sigint : StopCause::Sigterm);
}

}  // namespace

bool started_by_service_manager() { return false; }

void run_service_host(const std::string&, std::shared_ptr<StopFlag> stop,
                      const ServiceHostCalls& calls) {
  signal_target.store(stop.get());
  struct sigaction action {};
  action.sa_handler = raise_stop;
  sigemptyset(&action.sa_mask);
  struct sigaction old_term {
  }, old_int{};
  ::sigaction(SIGTERM, &action, &old_term);
  ::sigaction(SIGINT, &action, &old_int);
  calls.serve(stop, {});
  ::sigaction(SIGTERM, &old_term, nullptr);
  ::sigaction(SIGINT, &old_int, nullptr);
  signal_target.store(nullptr);
}

}  // namespace tavrel::platform

#include <signal.h>

#include <atomic>

#include "platform/interrupt.h"

namespace tavrel::platform {
namespace {

std::atomic<StopFlag*> interrupt_target{nullptr};

extern "C" void raise_interrupt_flag(int signal) {
  if (StopFlag* flag = interrupt_target.load())
    flag->raise(signal == SIGINT ? StopCause::Sigint : StopCause::Sigterm);
}

}  // namespace

void raise_on_interrupt(StopFlag& flag) {
  interrupt_target.store(&flag);
  struct sigaction action {};
  action.sa_handler = raise_interrupt_flag;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace tavrel::platform

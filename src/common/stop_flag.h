// The one-way stop signal raised by the service control handler (or a console signal) and
// polled by the server, with what raised it.
#pragma once

#include <atomic>
#include <string_view>

namespace tavrel {

enum class StopCause {
  None,
  Sigint,
  Sigterm,
  ServiceStop,
  SystemShutdown,
  CtrlC,
  CtrlBreak,
  ConsoleClosed
};

// How the stop-requested line names the cause.
constexpr std::string_view stop_cause_name(StopCause cause) {
  switch (cause) {
    case StopCause::None:
      return "none";
    case StopCause::Sigint:
      return "SIGINT";
    case StopCause::Sigterm:
      return "SIGTERM";
    case StopCause::ServiceStop:
      return "service stop";
    case StopCause::SystemShutdown:
      return "system shutdown";
    case StopCause::CtrlC:
      return "Ctrl-C";
    case StopCause::CtrlBreak:
      return "Ctrl-Break";
    case StopCause::ConsoleClosed:
      return "console closed";
  }
  return "unknown";
}

class StopFlag {
 public:
  // The first cause stays; later ones are ignored. Lock-free, so a signal handler may raise it.
  void raise(StopCause cause) {
    StopCause none = StopCause::None;
    cause_.compare_exchange_strong(none, cause);
  }
  bool raised() const { return cause() != StopCause::None; }
  StopCause cause() const { return cause_.load(); }

 private:
  std::atomic<StopCause> cause_{StopCause::None};
  static_assert(std::atomic<StopCause>::is_always_lock_free);
};

}  // namespace tavrel

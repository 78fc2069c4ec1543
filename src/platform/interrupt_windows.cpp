#include <windows.h>

#include <atomic>

#include "platform/interrupt.h"

namespace tavrel::platform {
namespace {

std::atomic<StopFlag*> interrupt_target{nullptr};

// Runs on a thread of its own. Windows ends the process when the handler returns from a
// close event, so it gives the program a few seconds to finish first.
BOOL WINAPI raise_interrupt_flag(DWORD event) {
  StopFlag* flag = interrupt_target.load();
  if (flag == nullptr) return FALSE;
  switch (event) {
    case CTRL_C_EVENT:
      flag->raise(StopCause::CtrlC);
      return TRUE;
    case CTRL_BREAK_EVENT:
      flag->raise(StopCause::CtrlBreak);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      flag->raise(StopCause::ConsoleClosed);
      ::Sleep(5000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void raise_on_interrupt(StopFlag& flag) {
  interrupt_target.store(&flag);
  ::SetConsoleCtrlHandler(raise_interrupt_flag, TRUE);
}

}  // namespace tavrel::platform

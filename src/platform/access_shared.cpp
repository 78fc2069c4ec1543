#include "platform/access.h"

namespace tavrel::platform {

std::string_view access_sddl(Access kind) {
  switch (kind) {
    case Access::ServiceDir:
      return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;IU)(A;OINPIO;FR;;;IU)";
    case Access::PrivateDir:
      return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    case Access::PrivateFile:
      return "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
    case Access::Token:
      // Medium integrity, no read up: a low-integrity process cannot read it.
      return "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;IU)S:(ML;;NR;;;ME)";
    case Access::Log:
      return "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;IU)";
    case Access::Program:
      return "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  }
  return {};
}

std::optional<unsigned> access_mode(Access kind) {
  switch (kind) {
    case Access::PrivateDir:
      return 0700;
    case Access::PrivateFile:
      return 0600;
    case Access::Token:
    case Access::Log:
      return 0640;
    case Access::ServiceDir:
    case Access::Program:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tavrel::platform

#include "command_error.h"

namespace tavrel {

std::string CommandError::chain() const {
  std::string out;
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (i != 0) out += ": ";
    out += messages_[i];
  }
  return out;
}

}  // namespace tavrel

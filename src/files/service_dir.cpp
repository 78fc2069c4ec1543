#include "files/service_dir.h"

#include "platform/env.h"

namespace tavrel::files {

ServiceDir service_dir() {
  if (auto overridden = platform::env_path(SERVICE_DIR_VARIABLE)) return *overridden;
  const platform::Path base =
      platform::env_path("ProgramFiles").value_or(platform::from_utf8(platform::DEFAULT_PROGRAM_FILES));
  return platform::join(platform::join(base, "Tavrel"), "service");
}

}  // namespace tavrel::files

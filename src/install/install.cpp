#include "install/install.h"

namespace tavrel::install {

// Not built yet: the install steps arrive with the installer work.
Status install(const platform::Path&) { return CommandError("install: 尚未实现"); }

void uninstall() {}

}  // namespace tavrel::install

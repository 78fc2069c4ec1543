// The rule-set files of a start request, written into the rule-set directory.
#pragma once

#include <string_view>
#include <vector>

#include "common/command_error.h"
#include "platform/paths.h"
#include "protocol/protocol.h"

namespace tavrel::core {

// A name that can only be a plain file directly inside the rule-set directory: 5 to 72
// bytes of ASCII letters, digits and "-_.@!", ending ".srs", not starting with "." and
// without "..". Windows device names ("NUL.srs", "com1.x.srs") are refused as well: they
// would open a device instead of a file.
bool is_valid_ruleset_name(std::string_view name);

// Replaces the contents of `dir` with exactly `files`, written in list order. With an
// empty list `dir` is removed and not created again. A failure leaves what was written so
// far.
Status install_rulesets(const platform::Path& dir, const std::vector<protocol::RuleSetFile>& files);

}  // namespace tavrel::core

// The rule-set files of a start request, written into the rule-set directory.
#pragma once

#include <string_view>
#include <vector>

#include "common/command_error.h"
#include "platform/paths.h"
#include "protocol/protocol.h"
#include "protocol/ruleset_name.h"

namespace tavrel::core {

// The name rule is the protocol's, so that a client can apply it too.
using protocol::is_valid_ruleset_name;

// Replaces the contents of `dir` with exactly `files`, written in list order. With an
// empty list `dir` is removed and not created again. A failure leaves what was written so
// far.
Status install_rulesets(const platform::Path& dir, const std::vector<protocol::RuleSetFile>& files);

}  // namespace tavrel::core

// The files of a start request, read and checked on the client's side before anything is
// sent, so that a mistake is reported with the file it is in.
#pragma once

#include <string>

#include "common/command_error.h"
#include "platform/paths.h"
#include "protocol/protocol.h"

namespace tavrel::client {

// The configuration file as compact JSON text for a start request: a leading UTF-8 byte-order
// mark and the white space between tokens are dropped, everything else (key order, repeated
// keys, the text of numbers) stays as written. A file that the service's decoder would refuse
// as a start's config fails with the decoder's description, line and column in the file (one
// nested too deep with a message of its own).
Result<std::string> read_config_file(const platform::Path& file);

// A rule-set file under its base name, Base64-encoded. A name the service would refuse, and an
// empty file, fail with the service's own message.
Result<protocol::RuleSetFile> read_ruleset_file(const platform::Path& file);

}  // namespace tavrel::client

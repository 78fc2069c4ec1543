// Strict Base64 (standard alphabet, "=" padding required, canonical last symbol).
#pragma once

#include <string>
#include <string_view>

#include "common/command_error.h"

namespace tavrel {

// Decodes `text`. On failure the error's only message says what was wrong and where, e.g.
// "Invalid symbol 10, offset 4.", "Invalid input length: 1", "Invalid last symbol 82,
// offset 1." or "Invalid padding".
Result<std::string> base64_decode_strict(std::string_view text);

// The standard alphabet with "=" padding: the one form the strict decoder accepts.
std::string base64_encode(std::string_view bytes);

}  // namespace tavrel

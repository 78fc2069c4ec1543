// The rule that a rule-set file's name must pass before the service writes anything under it.
// It belongs to the protocol so that a client can refuse a name before sending it.
#pragma once

#include <string_view>

namespace tavrel::protocol {

// The service's refusal of a name: this text followed by the name as the request gave it.
inline constexpr std::string_view BAD_RULESET_NAME = "非法的规则集文件名：";

// A name that can only be a plain file directly inside the rule-set directory: 5 to 72
// bytes of ASCII letters, digits and "-_.@!", ending ".srs", not starting with "." and
// without "..". Windows device names ("NUL.srs", "com1.x.srs") are refused as well: they
// would open a device instead of a file.
bool is_valid_ruleset_name(std::string_view name);

// Whether Windows maps this one component of a path (no separators in it) to a device, in any
// directory: NUL, CON, PRN, AUX, COM0 to COM9 and LPT0 to LPT9 (the superscript digits ¹²³
// count as digits too), in any case, with or without an extension, spaces before the
// extension and trailing dots and spaces ignored. The screening of locations uses it as well.
bool is_device_name(std::string_view component);

}  // namespace tavrel::protocol

// Text renderings of I/O and parse errors used inside panic messages.
#pragma once

#include <string>
#include <string_view>

namespace tolva {

// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string render_os_error(int error_number);

// Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }
std::string render_plain_error(std::string_view kind, std::string_view message);

// The kind name of an operating-system error number (NotFound, PermissionDenied, ...).
std::string_view io_error_kind(int error_number);

}  // namespace tolva

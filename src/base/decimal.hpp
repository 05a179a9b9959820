// The one parser of unsigned decimal numbers: the .flag reader's vertex numbers and the
// worker-count settings (environment variables, cgroup quota files) both go through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolva {

enum class ParseIntErrorKind { InvalidDigit, PosOverflow };

// Unsigned decimal with an optional leading '+'; reports the first problem in reading order.
struct ParsedUnsigned {
  std::uint64_t value = 0;
  std::optional<ParseIntErrorKind> error;
};
ParsedUnsigned parse_unsigned_decimal(std::string_view token);

}  // namespace tolva

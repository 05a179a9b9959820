#include "base/decimal.hpp"

namespace tolva {

ParsedUnsigned parse_unsigned_decimal(std::string_view token) {
  ParsedUnsigned result;
  if (token.empty() || token == "+" || token == "-") {
    result.error = ParseIntErrorKind::InvalidDigit;
    return result;
  }
  if (token.front() == '+') token.remove_prefix(1);
  for (const char c : token) {
    if (c < '0' || c > '9') {
      result.error = ParseIntErrorKind::InvalidDigit;
      return result;
    }
    if (__builtin_mul_overflow(result.value, std::uint64_t{10}, &result.value) ||
        __builtin_add_overflow(result.value, static_cast<std::uint64_t>(c - '0'), &result.value)) {
      result.error = ParseIntErrorKind::PosOverflow;
      return result;
    }
  }
  return result;
}

}  // namespace tolva

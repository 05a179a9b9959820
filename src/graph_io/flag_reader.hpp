// Reader of .flag text files: vertex count from line 2 (one token per vertex), one edge
// "from to" per line from line 4 on. Lines 1 and 3 are not inspected.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "graph/graph.hpp"

namespace tolva {

Graph read_flag_file(const std::string& path);

// The same, on text already in memory (the file's contents).
Graph parse_flag_text(std::string_view text);

enum class ParseIntErrorKind { InvalidDigit, PosOverflow };

// Unsigned decimal with an optional leading '+'; reports the first problem in reading order.
struct ParsedUnsigned {
  std::uint64_t value = 0;
  std::optional<ParseIntErrorKind> error;
};
ParsedUnsigned parse_unsigned_decimal(std::string_view token);

bool is_valid_utf8(std::string_view text);

}  // namespace tolva

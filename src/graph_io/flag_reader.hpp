// Reader of .flag text files: vertex count from line 2 (one token per vertex), one edge
// "from to" per line from line 4 on. Lines 1 and 3 are not inspected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/decimal.hpp"
#include "graph/graph.hpp"

namespace tolva {

Graph read_flag_file(const std::string& path);

// The same, reading `chunk_bytes` at a time (tests put line ends and characters at the
// chunks' edges with small ones).
constexpr std::size_t kFlagReadChunkBytes = std::size_t{1} << 20;
Graph read_flag_file(const std::string& path, std::size_t chunk_bytes);

// The same, on text already in memory (the file's contents).
Graph parse_flag_text(std::string_view text);

bool is_valid_utf8(std::string_view text);

}  // namespace tolva

#include "graph_io/flag_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "base/flat_buffer.hpp"
#include "base/io_error.hpp"
#include "base/panic.hpp"
#include "base/task.hpp"

namespace tolva {
namespace {

constexpr const char* kOpenFailed = "could not find .flag input file";
constexpr const char* kParseFailed = "File Parsing failed";

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int open_for_reading(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    panic(std::string(kOpenFailed) + ": " +
          render_plain_error("InvalidInput", "file name contained an unexpected NUL byte"));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) panic(std::string(kOpenFailed) + ": " + render_os_error(errno));
  return fd;
}

// Splits at '\n'; a final line feed ends no further line; one trailing '\r' is dropped.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : rest_(text) {}

  std::optional<std::string_view> next() {
    if (rest_.empty()) return std::nullopt;
    const auto end = rest_.find('\n');
    std::string_view line = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

 private:
  std::string_view rest_;
};

// Splits at single spaces and drops the empty pieces; a tab belongs to its token.
class TokenCursor {
 public:
  explicit TokenCursor(std::string_view line) : rest_(line) {}

  // Plain loops: tokens are a few bytes long, too short for a library search to pay off.
  std::optional<std::string_view> next() {
    const char* at = rest_.data();
    const char* const end = at + rest_.size();
    while (at != end && *at == ' ') ++at;
    if (at == end) return std::nullopt;
    const char* const start = at;
    while (at != end && *at != ' ') ++at;
    rest_ = std::string_view(at, static_cast<std::size_t>(end - at));
    return std::string_view(start, static_cast<std::size_t>(at - start));
  }

 private:
  std::string_view rest_;
};

std::uint64_t count_tokens(std::string_view line) {
  TokenCursor tokens(line);
  std::uint64_t count = 0;
  while (tokens.next()) ++count;
  return count;
}

std::uint64_t parse_vertex(std::string_view token) {
  const ParsedUnsigned parsed = parse_unsigned_decimal(token);
  if (parsed.error) {
    const char* kind = *parsed.error == ParseIntErrorKind::InvalidDigit ? "InvalidDigit" : "PosOverflow";
    panic(std::string(kParseFailed) + ": ParseIntError { kind: " + kind + " }");
  }
  return parsed.value;
}

[[noreturn]] void panic_not_utf8() {
  panic(std::string(kParseFailed) + ": " + render_plain_error("InvalidData", "stream did not contain valid UTF-8"));
}

// .flag text taken a batch of whole lines at a time: the vertex count from line 2 (one token
// per vertex), an edge "from to" from each line from line 4 on.
class FlagParser {
 public:
  // Takes the lines of `text`, which ends where a line does or where the whole text does.
  // Progress in bytes parsed (the stage is begun by the reading); a cancelled call stops
  // within one check's worth of lines.
  void take(std::string_view text) {
    constexpr std::uint64_t kLinesPerCheck = 1 << 16;
    std::uint64_t lines_to_check = kLinesPerCheck;
    const char* reported = text.data();
    LineCursor lines(text);
    while (const auto line = lines.next()) {
      if (--lines_to_check == 0) {
        throw_if_cancelled();
        advance_stage(static_cast<std::uint64_t>(line->data() - reported));
        reported = line->data();
        lines_to_check = kLinesPerCheck;
      }
      take_line(*line);
    }
    advance_stage(static_cast<std::uint64_t>(text.data() + text.size() - reported));
  }

  // The graph; fails when the text had no line 2.
  Graph finish() {
    if (!graph_) panic(kParseFailed);
    return std::move(*graph_);
  }

 private:
  void take_line(std::string_view line) {
    ++lines_taken_;
    if (lines_taken_ > 3) {
      TokenCursor tokens(line);
      const auto first = tokens.next();
      const auto second = tokens.next();
      if (!second) return;  // fewer than two tokens: not an edge line
      const std::uint64_t from = parse_vertex(*first);
      const std::uint64_t to = parse_vertex(*second);
      graph_->add_edge(from, to);
    } else if (lines_taken_ == 2) {
      graph_.emplace(count_tokens(line));
    }  // lines 1 and 3: not inspected
  }

  std::uint64_t lines_taken_ = 0;
  std::optional<Graph> graph_;
};

// The file's size where it is a regular file; 0 where unknown (pipes and the like).
std::uint64_t regular_file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) return static_cast<std::uint64_t>(info.st_size);
  return 0;
}

// Reads the file through one buffer of `chunk_bytes` (grown only for a longer line) and calls
// `take` with its text in batches that end where a line does, the last with what follows the
// last line feed. Progress counts each byte read.
template <class Take>
void for_each_batch_of_lines(int fd, std::size_t chunk_bytes, Take&& take) {
  FlatBuffer<char> buffer;
  buffer.reserve(std::max<std::size_t>(1, chunk_bytes));
  std::size_t carried = 0;  // the start of a line not yet ended, moved to the buffer's front
  for (;;) {
    if (carried == buffer.capacity()) buffer.reserve(2 * carried);
    const ssize_t got = ::read(fd, buffer.data() + carried, buffer.capacity() - carried);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      panic(std::string(kParseFailed) + ": " + render_os_error(errno));
    }
    throw_if_cancelled();
    advance_stage(static_cast<std::uint64_t>(got));
    const std::string_view text(buffer.data(), carried + static_cast<std::size_t>(got));
    const std::size_t last_feed = text.substr(carried).rfind('\n');  // the carried bytes hold none
    if (last_feed == std::string_view::npos) {
      carried = text.size();
      continue;
    }
    const std::size_t lines_end = carried + last_feed + 1;
    take(text.substr(0, lines_end));
    carried = text.size() - lines_end;
    std::memmove(buffer.data(), buffer.data() + lines_end, carried);
  }
  take(std::string_view(buffer.data(), carried));
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t at = 0;
  while (at < size) {
    // Edge lines are ASCII: pass eight bytes at a time while none has its top bit set.
    while (size - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + at, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      at += 8;
    }
    if (at == size) break;
    const unsigned char lead = bytes[at];
    if (lead < 0x80) {
      ++at;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (size - at < length) return false;
    if (bytes[at + 1] < low || bytes[at + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((bytes[at + k] & 0xC0) != 0x80) return false;
    }
    at += length;
  }
  return true;
}

Graph parse_flag_text(std::string_view text) {
  if (!is_valid_utf8(text)) panic_not_utf8();
  FlagParser parser;
  parser.take(text);
  return parser.finish();
}

// The text is parsed as it is read, so it is never held whole (nor its pages touched twice).
// Failures keep the order of reading it all, then checking that it is UTF-8, then parsing:
// a read that fails ends the call at once, and text that is not UTF-8 anywhere fails as
// such, so a line that does not parse fails (and is reported) only once the rest has been
// read and checked. UTF-8 is checked batch by batch: a line feed never lies within a valid
// multi-byte character, so batches cut after one are valid exactly when the whole text is.
Graph read_flag_file(const std::string& path, std::size_t chunk_bytes) {
  const FileDescriptor file(open_for_reading(path));
  begin_stage(Stage::Reading, 2 * regular_file_size(file.get()));  // each byte read, then parsed
  FlagParser parser;
  bool valid_utf8 = true;
  std::exception_ptr parse_failure;
  std::string parse_failure_reports;
  for_each_batch_of_lines(file.get(), chunk_bytes, [&](std::string_view lines) {
    valid_utf8 = valid_utf8 && is_valid_utf8(lines);
    if (!valid_utf8 || parse_failure) return;
    const PanicReportsKept kept(parse_failure_reports);
    try {
      parser.take(lines);
    } catch (const Cancelled&) {
      throw;
    } catch (...) {
      parse_failure = std::current_exception();
    }
  });
  if (!valid_utf8) panic_not_utf8();
  if (parse_failure) {
    write_panic_reports(parse_failure_reports);
    std::rethrow_exception(parse_failure);
  }
  return parser.finish();
}

Graph read_flag_file(const std::string& path) { return read_flag_file(path, kFlagReadChunkBytes); }

}  // namespace tolva

#include "graph_io/flag_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Into a FlatBuffer, so that the memory guard sees the file's size before it is read.
FlatBuffer<char> read_all(int fd) {
  FlatBuffer<char> contents;
  struct stat info {};
  std::uint64_t size = 0;  // unknown for pipes and the like
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    size = static_cast<std::uint64_t>(info.st_size);
    contents.reserve(static_cast<std::size_t>(size));
  }
  // Progress counts each byte twice: once read, once parsed.
  begin_stage(Stage::Reading, 2 * size);
  char chunk[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
      throw_if_cancelled();
      advance_stage(static_cast<std::uint64_t>(got));
      contents.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return contents;
    } else if (errno != EINTR) {
      panic(std::string(kParseFailed) + ": " + render_os_error(errno));
    }
  }
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
  if (!is_valid_utf8(text)) {
    panic(std::string(kParseFailed) + ": " +
          render_plain_error("InvalidData", "stream did not contain valid UTF-8"));
  }
  LineCursor lines(text);
  lines.next();  // line 1: not inspected
  const auto vertex_line = lines.next();
  if (!vertex_line) panic(kParseFailed);
  Graph graph(count_tokens(*vertex_line));
  lines.next();  // line 3: not inspected
  // Progress in bytes parsed (the stage is begun by the file's reading); a cancelled call
  // stops within one batch of lines.
  constexpr std::uint64_t kLinesPerCheck = 1 << 16;
  std::uint64_t lines_to_check = kLinesPerCheck;
  std::uint64_t reported = 0;
  while (const auto line = lines.next()) {
    if (--lines_to_check == 0) {
      throw_if_cancelled();
      const auto parsed = static_cast<std::uint64_t>(line->data() - text.data());
      advance_stage(parsed - reported);
      reported = parsed;
      lines_to_check = kLinesPerCheck;
    }
    TokenCursor tokens(*line);
    const auto first = tokens.next();
    const auto second = tokens.next();
    if (!second) continue;  // fewer than two tokens: not an edge line
    const std::uint64_t from = parse_vertex(*first);
    const std::uint64_t to = parse_vertex(*second);
    graph.add_edge(from, to);
  }
  return graph;
}

Graph read_flag_file(const std::string& path) {
  FlatBuffer<char> contents;
  {
    const FileDescriptor file(open_for_reading(path));
    contents = read_all(file.get());
  }
  return parse_flag_text(std::string_view(contents.data(), contents.size()));
}

}  // namespace tolva

#define TEST_SUITE "flag_reader"
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "check.hpp"
#include "graph_io/flag_reader.hpp"

using tolva::Graph;
using tolva::VertexPair;
using Edges = std::vector<VertexPair>;

namespace {

std::string temporary_path(const std::string& stem) {
  return "/tmp/tolva-cpp-test-" + std::to_string(::getpid()) + "-" + stem;
}

}  // namespace

TEST(vertex_count_from_line_two_and_edges_from_line_four) {
  const Graph graph = tolva::parse_flag_text("dim 0\n0 0 0\ndim 1\n0 1\n1 2\n");
  CHECK_EQ(graph.vertex_count(), 3u);
  CHECK(graph.edges() == (Edges{{0, 1}, {1, 2}}));
}

TEST(line_ends_and_spacing_do_not_change_the_graph) {
  const Edges expected{{0, 1}, {1, 2}};
  for (const char* text : {"x\n0 0 0\ny\n0 1\n1 2", "x\r\n0 0 0\r\ny\r\n0 1\r\n1 2\r\n",
                           "x\n  0  0 0  \ny\n  0   1  \n1 2 \n", "x\n0 0 0\ny\n0 1\n1 2\r"}) {
    const Graph graph = tolva::parse_flag_text(text);
    CHECK_EQ(graph.vertex_count(), 3u);
    CHECK(graph.edges() == expected);
  }
}

TEST(tokens_after_the_second_are_ignored) {
  CHECK(tolva::parse_flag_text("\na b c\n\n0 1 2.5\n").edges() == (Edges{{0, 1}}));
}

TEST(lines_with_fewer_than_two_tokens_are_skipped) {
  const Graph graph = tolva::parse_flag_text("\na b c\n\n\n   \n2\n0\t1\n1 2\n");
  CHECK(graph.edges() == (Edges{{1, 2}}));
}

TEST(a_tab_belongs_to_its_token) {
  CHECK_PANICS(tolva::parse_flag_text("\na b c\n\n0\t1 2\n"), "File Parsing failed: ParseIntError { kind: InvalidDigit }");
}

TEST(signs_and_bad_characters) {
  CHECK(tolva::parse_flag_text("\na b c\n\n+1 2\n").edges() == (Edges{{1, 2}}));
  for (const char* line : {"-1 2", "1 -2", "+ 2", "1 +", "edge 2", "0x1 2", "1 2x"}) {
    CHECK_PANICS(tolva::parse_flag_text(std::string("\na b c\n\n") + line + "\n"),
                 "File Parsing failed: ParseIntError { kind: InvalidDigit }");
  }
}

TEST(values_beyond_64_bits_overflow) {
  CHECK_PANICS(tolva::parse_flag_text("\na b c\n\n18446744073709551616 0\n"),
               "File Parsing failed: ParseIntError { kind: PosOverflow }");
  CHECK_PANICS(tolva::parse_flag_text("\na b c\n\n18446744073709551615 0\n"), "to out of bounds: 18446744073709551615 >= 3");
}

TEST(parse_reports_the_first_problem_in_reading_order) {
  using tolva::ParseIntErrorKind;
  CHECK_EQ(tolva::parse_unsigned_decimal("0").value, 0u);
  CHECK_EQ(tolva::parse_unsigned_decimal("+007").value, 7u);
  CHECK_EQ(tolva::parse_unsigned_decimal("18446744073709551615").value, ~std::uint64_t{0});
  CHECK(tolva::parse_unsigned_decimal("1x99999999999999999999").error == ParseIntErrorKind::InvalidDigit);
  CHECK(tolva::parse_unsigned_decimal("99999999999999999999x").error == ParseIntErrorKind::PosOverflow);
  CHECK(tolva::parse_unsigned_decimal("++1").error == ParseIntErrorKind::InvalidDigit);
}

TEST(self_loops_are_ignored_even_out_of_range) {
  const Graph graph = tolva::parse_flag_text("\na b c\n\n2 2\n9 9\n0 1\n");
  CHECK(graph.edges() == (Edges{{0, 1}}));
}

TEST(endpoints_not_below_n) {
  CHECK_PANICS(tolva::parse_flag_text("\na b c\n\n0 7\n"), "from out of bounds: 7 >= 3");
  CHECK_PANICS(tolva::parse_flag_text("\na b c\n\n7 0\n"), "to out of bounds: 7 >= 3");
}

TEST(short_files) {
  CHECK_EQ(tolva::parse_flag_text("x\n0 0\n").vertex_count(), 2u);
  CHECK(tolva::parse_flag_text("x\n0 0\n").edges().empty());
  CHECK_PANICS(tolva::parse_flag_text(""), "File Parsing failed");
  CHECK_PANICS(tolva::parse_flag_text("only line\n"), "File Parsing failed");
  CHECK_PANICS(tolva::parse_flag_text("only line"), "File Parsing failed");
  CHECK_EQ(tolva::parse_flag_text("\n\n").vertex_count(), 0u);
}

TEST(no_vertices_then_edge_lines) {
  CHECK_PANICS(tolva::parse_flag_text("x\n\ny\n3 4\n"), "from out of bounds: 4 >= 0");
  CHECK(tolva::parse_flag_text("x\n\ny\n3 3\n").edges().empty());
}

TEST(invalid_utf8_anywhere_fails) {
  const std::string message =
      "File Parsing failed: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
  CHECK_PANICS(tolva::parse_flag_text("x\n0 0\ny\n0 1 \xff\n"), message);
  CHECK_PANICS(tolva::parse_flag_text("\xc3\n0 0\n"), message);
  CHECK_EQ(tolva::parse_flag_text("\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80\n0 0\n").vertex_count(), 2u);
}

TEST(utf8_validation_rejects_overlong_surrogate_and_out_of_range_forms) {
  CHECK(tolva::is_valid_utf8("plain \xe2\x82\xac \xf4\x8f\xbf\xbf"));
  for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80",
                          "\xe2\x82", "\x80"}) {
    CHECK(!tolva::is_valid_utf8(bad));
  }
}

TEST(missing_file) {
  CHECK_PANICS(tolva::read_flag_file(temporary_path("does-not-exist.flag")),
               "could not find .flag input file: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
}

TEST(directory_opens_but_cannot_be_read) {
  CHECK_PANICS(tolva::read_flag_file("/tmp"),
               "File Parsing failed: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
}

TEST(path_with_nul_character_is_refused) {
  CHECK_PANICS(tolva::read_flag_file(std::string("a\0b.flag", 8)),
               "could not find .flag input file: Error { kind: InvalidInput, message: \"file name contained an "
               "unexpected NUL byte\" }");
}

TEST(reads_a_file_from_disk) {
  const std::string path = temporary_path("graph.flag");
  std::ofstream(path) << "dim 0\n0 0 0 0\ndim 1\n3 0\n0 1\n1 0\n";
  const Graph graph = tolva::read_flag_file(path);
  std::remove(path.c_str());
  CHECK_EQ(graph.vertex_count(), 4u);
  CHECK(graph.edges() == (Edges{{3, 0}, {0, 1}, {1, 0}}));
  CHECK(graph.reciprocal_pairs() == (Edges{{1, 0}}));
}

namespace {

std::string written(const std::string& stem, const std::string& text) {
  const std::string path = temporary_path(stem);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

}  // namespace

TEST(reading_in_chunks_of_any_size_gives_the_graph_of_the_whole_text) {
  // Line feeds, a carriage return, multi-byte characters and a line 2 longer than most chunks
  // fall on chunk edges for one size or another; the last line has no line feed.
  const std::string text = "d\xc3\xa9j\xc3\xa0 \xf0\x9f\x98\x80\r\n0 0 0 0 0 0 0 0\n\xe2\x82\xac\n3 0\r\n0 1\n\n4 4\n1 0\n2 4";
  const std::string path = written("chunks.flag", text);
  const Graph whole = tolva::parse_flag_text(text);
  CHECK_EQ(whole.vertex_count(), 8u);
  for (std::size_t chunk = 1; chunk <= text.size() + 1; ++chunk) {
    const Graph read = tolva::read_flag_file(path, chunk);
    CHECK_EQ(read.vertex_count(), whole.vertex_count());
    CHECK(read.edges() == whole.edges());
  }
  std::remove(path.c_str());
}

TEST(reading_in_chunks_keeps_the_order_of_failures) {
  const std::string not_utf8 =
      "File Parsing failed: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
  const std::string head = "x\n0 0 0\ny\n0 1\n";
  const struct {
    std::string text, message;
  } cases[] = {
      {head + "abc 1\n1 2\n", "File Parsing failed: ParseIntError { kind: InvalidDigit }"},
      {head + "0 9\nabc 1\n", "from out of bounds: 9 >= 3"},
      {head + "abc 1\n1 2\n2 0 \xff\n", not_utf8},  // text that is not UTF-8 anywhere comes first
      {head + "abc 1\n1 2\n\xc3", not_utf8},         // even cut at the end of the file
      {"x", "File Parsing failed"},
  };
  for (const auto& [text, message] : cases) {
    const std::string path = written("failures.flag", text);
    for (std::size_t chunk = 1; chunk <= text.size() + 1; ++chunk) CHECK_PANICS(tolva::read_flag_file(path, chunk), message);
    std::remove(path.c_str());
  }
}

TEST(kept_panic_reports_wait_for_their_keeper) {
  std::string kept;
  {
    const tolva::PanicReportsKept keeper(kept);
    CHECK_PANICS(tolva::panic("first"), "first");
  }
  CHECK(kept.find("panicked at 'first'") != std::string::npos);
  CHECK(kept.find("tests/cpp/test_flag_reader.cpp:") != std::string::npos);  // where it was raised
}

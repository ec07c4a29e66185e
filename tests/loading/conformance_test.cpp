#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "loading/json_cursor.hpp"
#include "loading_test_support.hpp"
#include "rejection_checks.hpp"

namespace norvel {
namespace {

// One case of data/json_conformance.jsonl: an RFC 8259 case embedded as the
// value of an unrecognised member of an empty graph document.
struct ConformanceCase {
  std::string text;
  bool accept;
  std::string file;
};

// The string member `key` of one line of the file (written by a JSON
// encoder: ASCII only, standard escapes).
std::optional<std::string> string_member(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\": \"";
  std::size_t at = line.find(marker);
  if (at == std::string::npos) return std::nullopt;
  at += marker.size();
  std::string out;
  while (at < line.size() && line[at] != '"') {
    char c = line[at++];
    if (c != '\\') {
      out += c;
      continue;
    }
    char escape = line.at(at++);
    switch (escape) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'f': out += '\f'; break;
      case 'b': out += '\b'; break;
      case 'u': {
        std::uint32_t unit = static_cast<std::uint32_t>(std::stoul(line.substr(at, 4), nullptr, 16));
        at += 4;
        if (unit >= 0xD800 && unit <= 0xDBFF && line.compare(at, 2, "\\u") == 0) {
          std::uint32_t low = static_cast<std::uint32_t>(std::stoul(line.substr(at + 2, 4), nullptr, 16));
          at += 6;
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, unit);
        break;
      }
      default: out += escape;
    }
  }
  return out;
}

std::vector<ConformanceCase> conformance_cases() {
  std::ifstream file(NORVEL_LOADING_TEST_DATA "/json_conformance.jsonl");
  std::vector<ConformanceCase> cases;
  std::string line;
  while (std::getline(file, line)) {
    std::optional<std::string> text = string_member(line, "text");
    std::optional<std::string> expect = string_member(line, "expect");
    std::optional<std::string> name = string_member(line, "file");
    if (!text || !expect || !name) {
      ADD_FAILURE() << "unreadable case: " << line;
      continue;
    }
    cases.push_back({*text, *expect == "accept", *name});
  }
  return cases;
}

TEST(LoadingConformance, AcceptedTextsLoadAsEmptyGraphsAndRejectedOnesGiveWellFormedMessages) {
  std::vector<ConformanceCase> cases = conformance_cases();
  ASSERT_EQ(cases.size(), 271u);
  std::size_t accepted = 0;
  for (const ConformanceCase& c : cases) {
    std::expected<RoadGraph, DocumentError> graph = load_graph(c.text);
    if (c.accept) {
      ++accepted;
      ASSERT_TRUE(graph.has_value()) << c.file << ": " << graph.error().message();
      EXPECT_EQ(node_count(*graph), 0u) << c.file;
      EXPECT_EQ(edge_count(*graph), 0u) << c.file;
    } else {
      ASSERT_FALSE(graph.has_value()) << c.file;
      EXPECT_TRUE(testing::is_well_formed_rejection(c.text, graph.error())) << c.file;
    }
  }
  EXPECT_EQ(accepted, 95u);
}

// A few rejected cases with their exact message, as a check on the reading
// of the file itself.
TEST(LoadingConformance, SampleRejectionsHaveTheirExactMessages) {
  std::vector<ConformanceCase> cases = conformance_cases();
  auto message_for = [&](const std::string& file) {
    for (const ConformanceCase& c : cases) {
      if (c.file == file) return testing::message_of(c.text);
    }
    return std::string("no such case");
  };
  EXPECT_EQ(message_for("n_array_1_true_without_comma.json"), "expected `,` or `]` at line 1 column 31");
  EXPECT_EQ(message_for("n_array_extra_comma.json"), "trailing comma at line 1 column 32");
  EXPECT_EQ(message_for("n_array_colon_instead_of_comma.json"), "expected `,` or `]` at line 1 column 31");
}

}  // namespace
}  // namespace norvel

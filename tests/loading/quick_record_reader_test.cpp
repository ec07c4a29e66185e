// The quick record reader may only ever take a record the careful reader
// would read to the same values and the same end: the document reader with
// it and without it must agree on every text, accepted or refused.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "document_generator.hpp"
#include "loading/graph_document_reader.hpp"
#include "loading/quick_record_reader.hpp"
#include "text_mutation.hpp"

namespace norvel {
namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

::testing::AssertionResult same_nodes(const std::vector<Node>& a, const std::vector<Node>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " nodes against " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || bits(a[i].lat) != bits(b[i].lat) || bits(a[i].lon) != bits(b[i].lon)) {
      return ::testing::AssertionFailure() << "node " << i << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_edges(const std::vector<Edge>& a, const std::vector<Edge>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " edges against " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].from != b[i].from || a[i].to != b[i].to || bits(a[i].distance_m) != bits(b[i].distance_m) ||
        bits(a[i].risk_score) != bits(b[i].risk_score) || bits(a[i].familiarity) != bits(b[i].familiarity)) {
      return ::testing::AssertionFailure() << "edge " << i << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

void expect_same_reading(const std::string& text) {
  GraphBuilder quick, careful;
  ReadFailure quick_failure, careful_failure;
  const bool quick_read = read_graph_document(text, quick, quick_failure);
  const bool careful_read = read_graph_document_carefully(text, careful, careful_failure);
  ASSERT_EQ(quick_read, careful_read) << text << "\n" << careful_failure.description << quick_failure.description;
  if (careful_read) {
    ASSERT_TRUE(same_nodes(quick.nodes, careful.nodes)) << text;
    ASSERT_TRUE(same_edges(quick.edges, careful.edges)) << text;
  } else {
    ASSERT_EQ(quick_failure.description, careful_failure.description) << text;
    ASSERT_EQ(quick_failure.offset, careful_failure.offset) << text;
  }
}

// Documents of the kind the quick reader is for: plain numbers, both record
// forms, the separators Python's json module writes or none, now and then
// an unknown member, an escaped name or a number it leaves to others.
class RoadLikeWriter {
 public:
  explicit RoadLikeWriter(std::uint64_t seed) : random_(seed) {}

  std::size_t below(std::size_t limit) { return static_cast<std::size_t>(random_() % limit); }

  std::string id() {
    switch (below(8)) {
      case 0: return std::to_string(below(10));
      case 1: return std::to_string(UINT64_MAX - below(3));  // beyond the window: left to the others
      default: return std::to_string(random_() >> (20 + below(40)));
    }
  }

  std::string real() {
    std::string text = below(6) == 0 ? "-" : "";
    switch (below(10)) {
      case 0: return text + std::to_string(below(400));
      case 1: return text + "0." + std::string(below(6), '0') + std::to_string(1 + below(999));
      case 2: {  // the shortest text of a double: up to 17 digits, now and then an exponent
        char buffer[32];
        double value = static_cast<double>(random_() >> 11) / static_cast<double>(1ull << (below(60)));
        std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, value);
        return text.append(buffer, written.ptr);
      }
      default: {
        char buffer[32];
        std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer,
                                                     static_cast<double>(random_() % 4000000000) / 1e7,
                                                     std::chars_format::fixed, static_cast<int>(1 + below(7)));
        return text.append(buffer, written.ptr);
      }
    }
  }

  std::string name(std::string_view plain) {
    std::string text = "\"";
    for (char c : plain) {
      if (below(80) == 0) {
        char escaped[8];
        std::to_chars_result written = std::to_chars(escaped, escaped + sizeof escaped, static_cast<unsigned char>(c), 16);
        text.append("\\u00").append(escaped, written.ptr);
      } else {
        text += c;
      }
    }
    return text + "\"";
  }

  // A record in object form with its members shuffled.
  std::string object(std::vector<std::pair<std::string_view, std::string>> members) {
    for (std::size_t i = members.size(); i > 1; --i) std::swap(members[i - 1], members[below(i)]);
    std::string text = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i > 0) text += comma_;
      if (below(25) == 0) text.append(name("note")).append(colon_).append(testing::random_json_value(random_, 2)).append(comma_);
      text.append(name(members[i].first)).append(colon_).append(members[i].second);
    }
    return text + "}";
  }

  std::string node() {
    if (below(2)) return "[" + id() + comma_ + real() + comma_ + real() + "]";
    return object({{"id", id()}, {"lat", real()}, {"lon", real()}});
  }

  std::string edge() {
    std::string familiarity = below(3) == 0 ? "null" : real();
    if (below(2)) {
      return "[" + id() + comma_ + id() + comma_ + real() + comma_ + real() + comma_ + familiarity + "]";
    }
    std::vector<std::pair<std::string_view, std::string>> members = {
        {"from", id()}, {"to", id()}, {"distance_m", real()}, {"risk_score", real()}};
    if (below(3) != 0) members.push_back({"familiarity", familiarity});
    return object(members);
  }

  std::string document(std::size_t nodes, std::size_t edges) {
    const bool pretty = below(2) == 0;
    comma_ = pretty ? ", " : ",";
    colon_ = pretty ? ": " : ":";
    const std::string line = below(3) == 0 ? "\n" : "";
    std::string text = "{" + name("nodes") + colon_ + "[" + line;
    for (std::size_t i = 0; i < nodes; ++i) text.append(i > 0 ? comma_ + line : "").append(node());
    text += "]" + comma_ + name("edges") + colon_ + "[" + line;
    for (std::size_t i = 0; i < edges; ++i) text.append(i > 0 ? comma_ + line : "").append(edge());
    return text + "]}";
  }

 private:
  std::mt19937_64 random_;
  std::string comma_ = ",";
  std::string colon_ = ":";
};

// Edits aimed at what the quick reader must leave alone.
std::string with_flaw(std::string text, std::mt19937_64& random) {
  static const std::string kNumbers[] = {"1e5",  "-0",    "-12", "01",  "1.",   ".5",   "18446744073709551616",
                                         "1.5E+3", "null", "true", "\"7\"", "[]", "{}", "123456789012345.25",
                                         "-0.0", "1e400", "-",   "0.1e-400", "4.9e-324", "2.2250738585072014e-308"};
  static const std::string kInsertions[] = {"\"from\":1,", "\"id\":1,", "\"lat\":1,", "\"familiarity\":null,",
                                            "\"x\":[1,{\"y\":null}],", ",", ",7", " ", "\n", "\t", "}", "]"};
  if (text.empty()) return text;
  // Positions just before a digit are where numbers start or continue.
  std::vector<std::size_t> number_starts;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if ((text[i] == '-' || (text[i] >= '0' && text[i] <= '9')) && (text[i - 1] == ',' || text[i - 1] == ':' ||
                                                                     text[i - 1] == '[' || text[i - 1] == ' ')) {
      number_starts.push_back(i);
    }
  }
  switch (random() % 4) {
    case 0:
      if (!number_starts.empty()) {
        std::size_t at = number_starts[random() % number_starts.size()];
        std::size_t end = text.find_first_of(",]}", at);
        text.replace(at, end - at, kNumbers[random() % std::size(kNumbers)]);
      }
      break;
    case 1: {
      std::size_t at = text.find_first_of("{[,", random() % text.size());
      if (at != std::string::npos) text.insert(at + 1, kInsertions[random() % std::size(kInsertions)]);
      break;
    }
    case 2: {  // drop a member or an element
      std::size_t at = text.find(',', random() % text.size());
      if (at != std::string::npos) text.erase(at, text.find_first_of(",]}", at + 1) - at);
      break;
    }
    default:
      text.resize(random() % text.size());
  }
  return text;
}

TEST(QuickRecordReader, ReadsRoadLikeRecordsItself) {
  // The careful reader is not involved: these records are the quick reader's own.
  RoadLikeWriter writer(5);
  for (int round = 0; round < 2000; ++round) {
    // Long ids, exponents, escaped names and unknown members are read
    // through the careful reader's pieces, but the record is still taken.
    const std::string record = round % 2 ? writer.edge() : writer.node();
    const std::string text = record + "]" + std::string(64, ' ');
    JsonCursor cursor(text);
    QuickRecordReader quick(cursor);
    Node node{};
    Edge edge{};
    ASSERT_TRUE(round % 2 ? quick.first(edge) : quick.first(node)) << record;
    ASSERT_EQ(cursor.position(), text.data() + record.size()) << record;

    GraphBuilder careful;
    ReadFailure failure;
    const std::string document =
        round % 2 ? "{\"nodes\":[],\"edges\":[" + record + "]}" : "{\"nodes\":[" + record + "],\"edges\":[]}";
    ASSERT_TRUE(read_graph_document_carefully(document, careful, failure)) << document;
    if (round % 2) {
      ASSERT_TRUE(same_edges({edge}, careful.edges)) << record;
    } else {
      ASSERT_TRUE(same_nodes({node}, careful.nodes)) << record;
    }
  }
}

TEST(QuickRecordReader, AgreesWithTheCarefulReaderOnGeneratedDocuments) {
  std::mt19937_64 random(8080);
  for (int round = 0; round < 4000; ++round) {
    const testing::GeneratorOptions options{.max_nodes = 30,
                                            .max_edges = 30,
                                            .unrecognised_members = round % 2 == 0,
                                            .whitespace = round % 3 != 0};
    expect_same_reading(testing::generate_document(random, options).text);
    if (HasFatalFailure()) return;
  }
}

TEST(QuickRecordReader, AgreesWithTheCarefulReaderOnFlawedRoadLikeDocuments) {
  RoadLikeWriter writer(31);
  std::mt19937_64 random(32);
  for (int round = 0; round < 12000; ++round) {
    std::string text = writer.document(writer.below(12), writer.below(24));
    for (std::size_t flaws = round % 4; flaws > 0; --flaws) text = with_flaw(text, random);
    expect_same_reading(text);
    if (HasFatalFailure()) return;
  }
}

TEST(QuickRecordReader, AgreesWithTheCarefulReaderOnMutatedDocuments) {
  RoadLikeWriter writer(71);
  std::mt19937_64 random(72);
  for (int round = 0; round < 8000; ++round) {
    std::string text = round % 2 ? writer.document(writer.below(8), writer.below(8))
                                 : testing::generate_document(random).text;
    expect_same_reading(testing::mutate(std::move(text), random));
    if (HasFatalFailure()) return;
  }
}

// Cut anywhere, a record runs into the end of the text: the quick reader
// must notice the end wherever it is, including inside the room it wants
// for reading a number or a name at once.
TEST(QuickRecordReader, AgreesWithTheCarefulReaderOnEveryTruncation) {
  RoadLikeWriter writer(99);
  for (int round = 0; round < 6; ++round) {
    const std::string text = writer.document(6, 10);
    for (std::size_t length = 0; length <= text.size(); ++length) {
      expect_same_reading(text.substr(0, length));
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace norvel

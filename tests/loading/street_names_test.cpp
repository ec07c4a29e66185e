// The street names read with a graph: which members name an edge, how the
// names are decoded and stored, and that asking for them changes nothing
// else about reading a document, in either reader.
#include <gtest/gtest.h>

#include <cstring>
#include <expected>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "document_generator.hpp"
#include "loading/graph_document_reader.hpp"
#include "loading_test_support.hpp"
#include "text_mutation.hpp"

namespace norvel {
namespace {

using Names = std::vector<std::string>;
const std::string kReplacement = "\xEF\xBF\xBD";

// Every name stored once, none empty, each carried by an edge; nothing at
// all, not even room, for a document without names.
::testing::AssertionResult well_laid_out(const StreetNames& names, std::size_t edges) {
  if (names.of_edge.empty()) {
    if (names.of_edge.capacity() == 0 && names.text.empty() && names.starts.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no edge has a name, yet the table holds something";
  }
  if (names.of_edge.size() != edges || name_count(names) == 0 || names.starts[0] != 0 ||
      names.starts.back() != names.text.size()) {
    return ::testing::AssertionFailure() << "sizes do not match";
  }
  std::set<std::string_view> distinct;
  for (std::uint32_t k = 0; k < name_count(names); ++k) {
    if (names.starts[k] >= names.starts[k + 1] || !distinct.insert(name_text(names, k)).second) {
      return ::testing::AssertionFailure() << "name " << k << " is empty or stored twice";
    }
  }
  std::set<std::uint32_t> carried(names.of_edge.begin(), names.of_edge.end());
  carried.erase(0);
  if (carried.size() != name_count(names) || *carried.rbegin() > name_count(names)) {
    return ::testing::AssertionFailure() << "a name no edge carries, or an edge a name not stored";
  }
  return ::testing::AssertionSuccess();
}

bool same_names(const StreetNames& a, const StreetNames& b) {
  return a.of_edge == b.of_edge && a.text == b.text && a.starts == b.starts;
}

// The names of an accepted document's edges ("" for none), read by both
// readers, which must agree.
Names names_of(std::string_view text) {
  StreetNames names, careful;
  std::expected<RoadGraph, DocumentError> graph = load_graph(text, names);
  EXPECT_TRUE(graph.has_value()) << text << "\n" << (graph ? "" : graph.error().message());
  GraphBuilder builder;
  ReadFailure failure;
  EXPECT_TRUE(read_graph_document_carefully(text, builder, failure, &careful));
  if (!graph || !well_laid_out(names, edge_count(*graph)) || !same_names(names, careful)) return {"laid out badly"};
  Names result;
  for (std::uint32_t i = 0; i < edge_count(*graph); ++i) result.emplace_back(edge_name(names, i));
  return result;
}

std::string one_edge(std::string_view members) {
  return std::string(R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":0,)").append(members) + "}]}";
}

TEST(StreetNames, TheLastNameMemberOfAnEdgeObjectNamesItIfANonEmptyString) {
  EXPECT_EQ(names_of(R"({"name":"graph","nodes":[{"id":1,"lat":0,"lon":0,"name":"node"}],"edges":[
      {"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"A"},
      [2,1,1,0,null],
      {"name":"B","from":2,"to":3,"distance_m":1,"risk_score":0},
      {"from":3,"to":2,"x":{"name":"nested"},"Name":"case","names":"plural","distance_m":1,"risk_score":0},
      { "n\u0061me" :	"C"
      ,"from":3,"to":2,"distance_m":1,"risk_score":0}]})"),
            (Names{"A", "", "B", "", "C"}));
  EXPECT_EQ(names_of(one_edge(R"("name":"A","familiarity":null,"name":"B")")), Names{"B"});
  for (const char* other : {"null", "0", "1e999", "true", "[\"A\"]", "{\"name\":\"A\"}", "\"\""}) {
    EXPECT_EQ(names_of(one_edge(std::string(R"("name":"A","name":)") + other)), Names{""}) << other;
  }
}

TEST(StreetNames, EscapesAreDecodedAndWhatStandsForNoCharacterIsReplaced) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
      {R"(\u00e4\u00C4\u0000)", std::string("\xC3\xA4\xC3\x84\0", 5)},
      {R"(\uD83D\uDEB2)", "\xF0\x9F\x9A\xB2"},
      // Surrogates that pair into no code point: accepted, as when skipped.
      {R"(a\uD800)", "a" + kReplacement},
      {R"(\uD800\u0041)", kReplacement + "A"},
      {R"(\uDC00\uD800\uD83D\uDEB2)", kReplacement + kReplacement + "\xF0\x9F\x9A\xB2"},
      // Bytes that are not UTF-8 (from outside Python): one U+FFFD for each
      // longest start of a sequence.
      {"\xFF\xC3\xA4", kReplacement + "\xC3\xA4"},
      {"x\xE6\x97", "x" + kReplacement},
      {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},
  };
  for (const auto& [written, text] : cases) {
    EXPECT_EQ(names_of(one_edge("\"name\":\"" + written + "\"")), Names{text}) << written;
  }
}

TEST(StreetNames, EachDistinctNameIsStoredOnce) {
  StreetNames names;
  ASSERT_TRUE(load_graph(R"([[],[{"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"Etel\u00e4ranta"},
      {"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"B"}, [1,2,3,4,null],
      {"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"Eteläranta"},
      {"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"\u0042"}]])",
                         names));
  EXPECT_EQ(names.of_edge, (std::vector<std::uint32_t>{1, 2, 0, 1, 2}));
  EXPECT_EQ(std::string_view(names.text.data(), names.text.size()), "Etel\xC3\xA4rantaB");
  EXPECT_EQ(names.starts, (std::vector<std::uint32_t>{0, 11, 12}));
}

TEST(StreetNames, WithoutNamesOrOnRefusalTheTableIsEmpty) {
  const std::string texts[] = {R"({"nodes":[{"id":1,"lat":0,"lon":0,"name":"node"}],"edges":[[1,2,3,4,5]]})",
                               one_edge(R"("name":"","name":null)"),
                               // Refused after a named edge; the quick reader
                               // gives up on the second edge after its name.
                               R"([[],[{"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"A"},
                                   {"name":"B","from":1,"to":2,"to":3,"distance_m":1,"risk_score":0}]])"};
  for (const std::string& text : texts) {
    StreetNames names{{7}, {'l', 'e', 'f', 't'}, {0, 4}};
    std::expected<RoadGraph, DocumentError> graph = load_graph(text, names);
    EXPECT_EQ(graph ? "accepted" : graph.error().message(), testing::message_of(text));
    EXPECT_TRUE(well_laid_out(names, graph ? edge_count(*graph) : 0)) << text;
  }
}

TEST(StreetNames, GeneratedDocumentsGiveTheirNames) {
  std::mt19937_64 random(4711);
  const testing::GeneratorOptions options{.max_edges = 20, .street_names = true};
  for (int round = 0; round < 2000; ++round) {
    const testing::GeneratedDocument doc = testing::generate_document(random, options);
    ASSERT_EQ(names_of(doc.text), doc.edge_names) << doc.text;
  }
}

::testing::AssertionResult same_graph(const RoadGraph& a, const RoadGraph& b) {
  auto same = [](const auto& x, const auto& y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof x[0]) == 0);
  };
  if (same(a.nodes, b.nodes) && same(edge_list(a), edge_list(b)) && same(a.id_of, b.id_of) &&
      same(a.out_begin, b.out_begin) && same(a.in_begin, b.in_begin) && same(a.plane, b.plane) &&
      a.has_negative_cost == b.has_negative_cost && a.has_familiarity == b.has_familiarity) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the graphs differ";
}

// On any text, valid or not: the same verdict, message and graph as without
// names, and the same names from both readers, up to a failure too.
TEST(StreetNames, AskingForNamesChangesNothingElse) {
  std::mt19937_64 random(1871);
  testing::GeneratorOptions options{.max_nodes = 4, .max_edges = 6};
  for (int round = 0; round < 20000; ++round) {
    options.street_names = round % 4 != 0;
    std::string text = testing::generate_document(random, options).text;
    if (round % 8 != 0) text = testing::mutate(std::move(text), random);
    StreetNames names;
    std::expected<RoadGraph, DocumentError> named = load_graph(text, names);
    std::expected<RoadGraph, DocumentError> plain = load_graph(text);
    ASSERT_EQ(named.has_value(), plain.has_value()) << text;
    if (plain) {
      ASSERT_TRUE(same_graph(*named, *plain)) << text;
    } else {
      ASSERT_EQ(named.error().message(), plain.error().message()) << text;
    }
    ASSERT_TRUE(well_laid_out(names, plain ? edge_count(*plain) : 0)) << text;

    GraphBuilder quick_builder, careful_builder;
    ReadFailure quick_failure, careful_failure;
    StreetNames quick, careful;
    read_graph_document(text, quick_builder, quick_failure, &quick);
    read_graph_document_carefully(text, careful_builder, careful_failure, &careful);
    ASSERT_TRUE(same_names(quick, careful)) << text;
  }
}

}  // namespace
}  // namespace norvel

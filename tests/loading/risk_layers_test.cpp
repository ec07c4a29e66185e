// The risk layers of a document: read in the same pass as the graph,
// refused with a message and a position, and no trouble to a text made of
// anything.

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>

#include "loading/graph_document_reader.hpp"
#include "loading/graph_loader.hpp"
#include "text_mutation.hpp"

namespace norvel {
namespace {

const std::string kGraph =
    R"({"nodes": [{"id": 1, "lat": 60.0, "lon": 24.0}, {"id": 2, "lat": 60.001, "lon": 24.0}],)"
    R"( "edges": [{"from": 1, "to": 2, "distance_m": 111.2, "risk_score": 0.5}, [2, 1, 111.2, 0.5, null]])";

std::string message_of(const std::string& layers) {
  const auto loaded = read_document(kGraph + ", \"risk_layers\": " + layers + "}", false);
  return loaded ? "" : loaded.error().message();
}

TEST(RiskLayersReader, ReadsEveryLayerInDocumentOrder) {
  const auto loaded = read_document(kGraph + R"(, "risk_layers": {"night": [1.5, 0.25], "child": [0, 2e-3]},)" +
                                        R"( "risk_layers": {"d\u0061wn": [3, 4]}})",
                                    false);
  ASSERT_TRUE(loaded) << loaded.error().message();
  ASSERT_EQ(loaded->risk_layers.size(), 0u + 3);
  EXPECT_EQ(loaded->risk_layers[0].name, "night");
  EXPECT_EQ(loaded->risk_layers[0].by_edge, (std::vector<double>{1.5, 0.25}));
  EXPECT_EQ(loaded->risk_layers[1].by_edge, (std::vector<double>{0.0, 0.002}));
  EXPECT_EQ(loaded->risk_layers[2].name, "dawn");
  EXPECT_EQ(loaded->records.edges.size(), 2u);
}

TEST(RiskLayersReader, NamesWhatIsWrongAndWhere) {
  // Positions are those of the layer's name, its array or the value at fault.
  EXPECT_EQ(message_of(R"({"night": [1.5]})"), "risk layer \"night\" has 1 values, one per edge is 2 at line 1 column 212");
  EXPECT_EQ(message_of(R"({"night": [1, -0.5]})"),
            "risk layer \"night\" has a negative risk at edge 1: -0.5 at line 1 column 216");
  EXPECT_EQ(message_of(R"({"a b": [1, 2]})"),
            "the risk layer name \"a b\" is not a plain identifier (ASCII letters, digits and _; not starting with "
            "a digit) at line 1 column 203");
  EXPECT_EQ(message_of(R"({"default": [1, 2]})"),
            "the risk layer name \"default\" is the document's own risk_score at line 1 column 203");
  EXPECT_EQ(message_of(R"({"a": [1, 2], "a": [1, 2]})"), "risk layer \"a\" is given twice at line 1 column 216");
  EXPECT_EQ(message_of(R"({"a": [1, true]})"),
            "risk layer \"a\" must be an array of numbers, one per edge at line 1 column 212");
  EXPECT_EQ(message_of(R"([1, 2])"), "`risk_layers` must be an object of risk layers at line 1 column 202");
  EXPECT_EQ(message_of(R"({"a": [1, 1e999]})"), "number out of range at line 1 column 217");
  // The graph's own errors come first, and the module's reader skips the
  // member whatever it holds.
  EXPECT_EQ(read_document(R"({"nodes": [], "risk_layers": 5})", false).error().message(),
            "missing field `edges` at line 1 column 31");
  EXPECT_EQ(message_of("{}"), "");
}

// How a reading takes the layers: after the document reader's pass, on its
// way, or from a read ahead on another thread, whatever the text's size.
enum class Reading { kAfter, kOnTheWay, kAhead };

// What a reading gives, in words: the graph's failure, the layers' failure,
// or every layer with its values' bits.
std::string outcome(const std::string& text, Reading reading) {
  GraphBuilder builder;
  ReadFailure failure;
  RiskLayersMembers members;
  members.read = reading != Reading::kAfter;
  std::optional<RiskLayersAhead> ahead;
  if (reading == Reading::kAhead) members.ahead = &ahead.emplace(text, 0);
  if (!read_graph_document(text, builder, failure, nullptr, members)) {
    return "graph " + std::to_string(failure.offset) + " " + failure.description;
  }
  const auto layers = read_risk_layers(text, members, builder.edges.size());
  if (!layers) return "layers " + std::to_string(layers.error().offset) + " " + layers.error().description;
  std::string read = "read";
  for (const NamedRisks& layer : *layers) {
    read += " " + layer.name + ":";
    for (double risk : layer.by_edge) {
      char bits[32];
      std::snprintf(bits, sizeof bits, " %a", risk);
      read += bits;
    }
  }
  return read;
}

// The layers read on the document reader's pass are those, and the faults
// the ones, of the careful reader reading every member after that pass.
TEST(RiskLayersReader, OnePassReadsWhatTheCarefulReaderReads) {
  const std::string nodes = R"({"nodes": [{"id": 1, "lat": 60.0, "lon": 24.0}, {"id": 2, "lat": 60.0, "lon": 24.1}])";
  const std::string edges = R"("edges": [[1, 2, 5.5, 0.5, null], [2, 1, 5.5, 0.5, null]])";
  const std::string cases[] = {
      // Sound; before the edges, after them, twice, escaped, spaced out.
      nodes + ", " + edges + R"(, "risk_layers": {"night": [1.5, 0.25], "child": [0, 2e-3]}})",
      nodes + R"(, "risk_layers": {"night": [1.5,0.25]}, )" + edges + "}",
      nodes + ", " + edges + R"(, "risk_layers": {"a": [1, 2]}, "x": 1, "risk_layers": {"d\u0061wn": [3, 4]}})",
      nodes + ", " + edges + "\n,\t\"risk_layers\" :\r{ \"a\" : [ 1 , -0.0 ] , \"b\":[ ] }\n}",
      nodes + ", " + edges + R"(, "risk_layers": {}, "risk_layers": {"b": []}})",
      // A count fault of a sound layer before a fault the careful reader
      // finds; the other way round; a fault in a second member.
      nodes + ", " + edges + R"(, "risk_layers": {"a": [1], "b": [1, -2]}})",
      nodes + ", " + edges + R"(, "risk_layers": {"a": [1, -2], "b": [1]}})",
      nodes + R"(, "risk_layers": {"a": [1, 2, 3]}, )" + edges + R"(, "risk_layers": {"a": [1, 2]}})",
      nodes + ", " + edges + R"(, "risk_layers": {"a": [1, 2]}, "risk_layers": {"b": [1, 1e999]}})",
      nodes + ", " + edges + R"(, "risk_layers": {"a": [1, 2], "a": 5}})",
      // A fault of the layers before one of the graph's.
      nodes + R"(, "risk_layers": {"a b": [1, 2]}, )" + edges + ", }",
      nodes + ", " + edges + R"(, "risk_layers": {"a": [1, 2,]}})",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(outcome(text, Reading::kOnTheWay), outcome(text, Reading::kAfter)) << text;
    EXPECT_EQ(outcome(text, Reading::kAhead), outcome(text, Reading::kAfter)) << text;
  }
  std::mt19937_64 random(31);
  std::size_t read = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::string text = testing::mutate(cases[round % std::size(cases)], random);
    const std::string one_pass = outcome(text, Reading::kOnTheWay);
    const std::string after = outcome(text, Reading::kAfter);
    ASSERT_EQ(one_pass, after) << text;
    // A thread each: a quarter of them.
    if (round % 4 == 0) {
      ASSERT_EQ(outcome(text, Reading::kAhead), after) << text;
    }
    read += one_pass.starts_with("read");
  }
  EXPECT_GT(read, 1000u);
}

// A document large enough to be read with its last member read ahead gives
// what it gives with that member first, read on the way; a member the read
// ahead mistakes for the layers (one inside another member, the first of
// two, one at fault) changes nothing.
TEST(RiskLayersReader, ALargeDocumentReadsItsLastLayersAhead) {
  std::string nodes = R"({"nodes": [)";
  std::string edges = R"("edges": [)";
  std::string night = "[";
  std::string child = "[";
  constexpr int kNodes = 40000;
  for (int i = 0; i < kNodes; ++i) {
    nodes += (i > 0 ? ", " : "") + std::string(R"({"id": )") + std::to_string(1000 + i) + R"(, "lat": 60.0)" +
             std::to_string(i) + R"(, "lon": 24.0})";
    for (int step : {1, 7, 39}) {
      const std::string sep = night.size() > 1 ? "," : "";
      edges += sep + "[" + std::to_string(1000 + i) + ", " + std::to_string(1000 + (i + step) % kNodes) +
               ", 12.5, 0.5, null]";
      night += sep + "0." + std::to_string((i * step) % 997);
      child += sep + std::to_string((i + step) % 13) + ".25";
    }
  }
  nodes += "], ";
  edges += "]";
  night += "]";
  child += "]";
  const std::string layers = R"("risk_layers": {"night": )" + night + R"(, "child": )" + child + "}";
  const std::string last = nodes + edges + ", " + layers + "}";
  ASSERT_GE(last.size(), RiskLayersAhead::kSmallestText);

  const auto first = read_document(nodes + layers + ", " + edges + "}", false);
  ASSERT_TRUE(first) << first.error().message();
  const auto ahead = read_document(last, false);
  ASSERT_TRUE(ahead) << ahead.error().message();
  ASSERT_EQ(ahead->risk_layers.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(ahead->risk_layers[i].name, first->risk_layers[i].name);
    EXPECT_EQ(ahead->risk_layers[i].by_edge, first->risk_layers[i].by_edge);
  }
  EXPECT_EQ(ahead->risk_layers[1].by_edge[4], 8.25);
  const std::size_t value = last.size() - 1 - (layers.size() - std::string_view(R"("risk_layers": )").size());
  ASSERT_EQ(ahead->risk_layers_members.size(), 1u);
  EXPECT_EQ(ahead->risk_layers_members[0], std::make_pair(value, last.size() - 1));

  // Inside another member: no layers at all.
  const auto inside = read_document(nodes + edges + R"(, "about": {)" + layers + "}}", false);
  ASSERT_TRUE(inside) << inside.error().message();
  EXPECT_TRUE(inside->risk_layers.empty());
  // The second of two members, its name taken by the first.
  EXPECT_EQ(read_document(nodes + edges + R"(, "risk_layers": {"child": )" + child + "}, " + layers + "}", false)
                .error()
                .description,
            "risk layer \"child\" is given twice");
  // At fault: the careful reader's message.
  std::string faulty = last;
  faulty.replace(faulty.rfind(",11.25]"), 6, ",-3");
  const auto refused = read_document(faulty, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description,
            "risk layer \"child\" has a negative risk at edge " + std::to_string(3 * kNodes - 1) + ": -3");
}

TEST(RiskLayersReader, NoTextCrashesTheReader) {
  std::mt19937_64 random(4242);
  const std::string layered = kGraph + R"(, "risk_layers": {"night": [1.5, 0.25], "child": [0, 2e-3]}})";
  std::size_t loaded = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = testing::mutate(layered, random);
    const auto document = read_document(text, round % 2 == 0);
    if (document) {
      ++loaded;
      for (const NamedRisks& layer : document->risk_layers) {
        ASSERT_EQ(layer.by_edge.size(), document->records.edges.size()) << text;
      }
      continue;
    }
    ASSERT_FALSE(document.error().description.empty()) << text;
    // A graph the module's loader reads is refused for its layers alone,
    // somewhere in them (on a text of one line, the column is the offset).
    if (load_graph(text) && text.find('\n') == std::string::npos) {
      ASSERT_GE(document.error().column, text.find("\"risk_layers\"")) << text;
    }
  }
  EXPECT_GT(loaded, 0u);
}

}  // namespace
}  // namespace norvel

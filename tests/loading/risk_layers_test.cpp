// The risk layers of a document: read in the same pass as the graph,
// refused with a message and a position, and no trouble to a text made of
// anything.

#include <gtest/gtest.h>

#include <random>
#include <string>

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

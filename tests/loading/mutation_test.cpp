#include <gtest/gtest.h>

#include <random>
#include <string>

#include "document_generator.hpp"
#include "loading_test_support.hpp"
#include "rejection_checks.hpp"
#include "text_mutation.hpp"

namespace norvel {
namespace {

TEST(LoadingMutations, NoInputCrashesAndEveryRejectionIsWellFormed) {
  std::mt19937_64 random(31337);
  const testing::GeneratorOptions options{.max_nodes = 4, .max_edges = 4};
  std::size_t rejected = 0;
  constexpr int kRounds = 20000;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = testing::mutate(testing::generate_document(random, options).text, random);
    std::expected<RoadGraph, DocumentError> graph = load_graph(text);
    if (graph) continue;
    ++rejected;
    ASSERT_TRUE(testing::is_well_formed_rejection(text, graph.error())) << "round " << round << ": " << text;
    // The same text always gives the same message.
    ASSERT_EQ(testing::message_of(text), graph.error().message());
  }
  // Most mutations break the document; the few that do not are fine too.
  EXPECT_GT(rejected, kRounds / 2);
}

// Random well-formed JSON values of every kind in recognised positions are
// either read or refused with a well-formed message, never anything else.
TEST(LoadingMutations, ArbitraryValuesInRecognisedPositions) {
  std::mt19937_64 random(99);
  const std::string templates[] = {
      R"({"nodes":@,"edges":[]})",    R"([[@],[]])",         R"([[[@,0,0]],[]])",       R"([[[0,@,0]],[]])",
      R"([[],[[1,2,3,4,@]]])",        R"({"nodes":[],"edges":[{"from":@}]})", R"(@)",
      R"({"nodes":[{"id":1,"lat":2,"lon":@}],"edges":[]})", R"([[],[@]])"};
  for (int round = 0; round < 5000; ++round) {
    std::string text = templates[random() % std::size(templates)];
    text.replace(text.find('@'), 1, testing::random_json_value(random, 3));
    std::expected<RoadGraph, DocumentError> graph = load_graph(text);
    if (!graph) {
      ASSERT_TRUE(testing::is_well_formed_rejection(text, graph.error())) << text;
    }
  }
}

}  // namespace
}  // namespace norvel

#pragma once

#include <random>
#include <string>
#include <vector>

#include "graph/road_graph.hpp"

namespace norvel::testing {

// A valid graph document and the graph content it stands for.
struct GeneratedDocument {
  std::string text;
  std::vector<Node> nodes;
  std::vector<Edge> edges;  // familiarity 0.0 where the document gives none
  std::vector<std::string> edge_names;  // per edge, decoded; empty for none
};

struct GeneratorOptions {
  std::size_t max_nodes = 6;
  std::size_t max_edges = 6;
  bool unrecognised_members = true;  // skipped members with values of every kind
  bool whitespace = true;            // random whitespace between tokens
  // `name` members on object-form edges: strings in several spellings,
  // escapes that stand for no character, empty strings, other values,
  // repeats; now and then on a node too, and look-alike members.
  bool street_names = false;
};

GeneratedDocument generate_document(std::mt19937_64& random, const GeneratorOptions& options = {});

// A random well-formed JSON value, nested up to `depth` levels.
std::string random_json_value(std::mt19937_64& random, int depth);

}  // namespace norvel::testing

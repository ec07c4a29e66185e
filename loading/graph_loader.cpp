#include "loading/graph_loader.hpp"

#include <utility>

#include "loading/graph_document_reader.hpp"
#include "loading/text_position.hpp"

namespace norvel {

std::string DocumentError::message() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

std::expected<RoadGraph, DocumentError> load(std::string_view text, StreetNames* names) {
  GraphBuilder builder;
  ReadFailure failure;
  if (!read_graph_document(text, builder, failure, names)) {
    TextPosition position = text_position(text, failure.offset);
    return std::unexpected(DocumentError{std::move(failure.description), position.line, position.column});
  }
  return build_graph(std::move(builder));
}

}  // namespace

std::expected<GraphBuilder, DocumentError> read_graph_records(std::string_view text, StreetNames& names) {
  GraphBuilder builder;
  ReadFailure failure;
  if (!read_graph_document(text, builder, failure, &names)) {
    names = StreetNames{};
    TextPosition position = text_position(text, failure.offset);
    return std::unexpected(DocumentError{std::move(failure.description), position.line, position.column});
  }
  return builder;
}

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text) { return load(text, nullptr); }

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text, StreetNames& names) {
  std::expected<RoadGraph, DocumentError> graph = load(text, &names);
  // All or nothing, the names too.
  if (!graph) names = StreetNames{};
  return graph;
}

}  // namespace norvel

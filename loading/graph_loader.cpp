#include "loading/graph_loader.hpp"

#include <utility>

#include "loading/graph_document_reader.hpp"
#include "loading/text_position.hpp"

namespace norvel {

std::string DocumentError::message() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text) {
  GraphBuilder builder;
  ReadFailure failure;
  if (!read_graph_document(text, builder, failure)) {
    TextPosition position = text_position(text, failure.offset);
    return std::unexpected(DocumentError{std::move(failure.description), position.line, position.column});
  }
  return build_graph(std::move(builder));
}

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text, StreetNames& names) {
  names = StreetNames{};
  return load_graph(text);
}

}  // namespace norvel

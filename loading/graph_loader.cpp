#include "loading/graph_loader.hpp"

#include <optional>
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

DocumentError error_at(std::string_view text, ReadFailure&& failure) {
  TextPosition position = text_position(text, failure.offset);
  return DocumentError{std::move(failure.description), position.line, position.column};
}

}  // namespace

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text) { return load(text, nullptr); }

std::expected<DocumentRecords, DocumentError> read_document(std::string_view text, bool names, bool layers) {
  DocumentRecords document;
  ReadFailure failure;
  RiskLayersMembers members;
  members.read = layers;
  std::optional<RiskLayersAhead> ahead;
  if (layers) members.ahead = &ahead.emplace(text);
  if (!read_graph_document(text, document.records, failure, names ? &document.names : nullptr, members)) {
    return std::unexpected(error_at(text, std::move(failure)));
  }
  for (std::string_view value : members.values) {
    const auto start = static_cast<std::size_t>(value.data() - text.data());
    document.risk_layers_members.emplace_back(start, start + value.size());
  }
  if (!layers) return document;
  std::expected<std::vector<NamedRisks>, ReadFailure> read =
      read_risk_layers(text, members, document.records.edges.size());
  if (!read) return std::unexpected(error_at(text, std::move(read.error())));
  document.risk_layers = std::move(*read);
  std::expected<std::vector<NamedHours>, ReadFailure> hours =
      read_layer_hours(text, members.hours_values, document.risk_layers);
  if (!hours) return std::unexpected(error_at(text, std::move(hours.error())));
  document.layer_hours = std::move(*hours);
  return document;
}

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text, StreetNames& names) {
  std::expected<RoadGraph, DocumentError> graph = load(text, &names);
  // All or nothing, the names too.
  if (!graph) names = StreetNames{};
  return graph;
}

}  // namespace norvel

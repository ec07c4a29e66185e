#include "loading/graph_loader.hpp"

#include <utility>

#include "loading/background_indexer.hpp"
#include "loading/graph_document_reader.hpp"
#include "loading/text_position.hpp"

namespace norvel {

namespace {

// Below this size a document loads in a few milliseconds on one thread, less
// than a second thread would be worth.
constexpr std::size_t kWorthASecondThread = std::size_t{1} << 20;

DocumentError document_error(std::string_view text, ReadFailure&& failure) {
  TextPosition position = text_position(text, failure.offset);
  return DocumentError{std::move(failure.description), position.line, position.column};
}

}  // namespace

std::string DocumentError::message() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::expected<RoadGraph, DocumentError> load_graph(std::string_view text, LoadThreads threads) {
  if (threads == LoadThreads::kBySize) threads = text.size() >= kWorthASecondThread ? LoadThreads::kTwo : LoadThreads::kOne;
  GraphBuilder builder;
  ReadFailure failure;
  if (threads == LoadThreads::kOne) {
    if (!read_graph_document(text, builder, failure)) return std::unexpected(document_error(text, std::move(failure)));
    return build_graph(std::move(builder));
  }
  BackgroundIndexer indexer(builder);
  if (!read_graph_document(text, builder, failure, &indexer)) {
    return std::unexpected(document_error(text, std::move(failure)));
  }
  return indexer.finish();
}

}  // namespace norvel

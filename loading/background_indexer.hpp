#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "graph/graph_indexer.hpp"
#include "graph/road_graph.hpp"
#include "loading/graph_document_reader.hpp"

namespace norvel {

// Indexes the records of a document on a second thread while the reader
// goes on reading: the nodes as soon as their list is complete, then the
// edges in runs as they become final. The indexer sees the same records in
// the same order as after a plain read, so the graph is the same.
class BackgroundIndexer final : public RecordListener {
 public:
  explicit BackgroundIndexer(GraphBuilder& builder) : builder_(builder) {}
  // Stops the thread, if any, after a failed read.
  ~BackgroundIndexer();
  BackgroundIndexer(const BackgroundIndexer&) = delete;
  BackgroundIndexer& operator=(const BackgroundIndexer&) = delete;

  void nodes_final() override;
  void edges_final(std::size_t count) override;
  void edges_moving() override;
  void edges_moved() override;

  // After the whole document was read: indexes what is left and builds the
  // graph from the builder's records. Rethrows what the thread threw.
  RoadGraph finish();

 private:
  void index_edges_as_they_come();
  void stop();

  GraphBuilder& builder_;
  std::optional<GraphIndexer> indexer_;
  std::thread thread_;
  // Held by the thread while it indexes edges in place, and by the reader
  // while it moves the edge array.
  std::mutex edges_storage_;
  // The count of final edges times two, plus one once no more will come.
  std::atomic<std::uint64_t> progress_{0};
  std::atomic<bool> abandoned_{false};
  // The thread's own until it is joined.
  bool nodes_indexed_ = false;
  std::size_t edges_indexed_ = 0;
  std::exception_ptr thread_failure_;
};

}  // namespace norvel

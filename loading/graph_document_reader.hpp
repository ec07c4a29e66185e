#pragma once

#include <cstddef>
#include <string_view>

#include "graph/road_graph.hpp"
#include "loading/json_cursor.hpp"

namespace norvel {

// Hears of the records as they become final, so that a loader can put them
// to use before the whole document is read. Called on the reading thread.
class RecordListener {
 public:
  // The node list is read: the reader does not touch `builder.nodes` again.
  virtual void nodes_final() = 0;
  // The first `count` edges are final: the reader writes only after them,
  // except when it moves the whole edge array, between the two calls below.
  virtual void edges_final(std::size_t count) = 0;
  virtual void edges_moving() = 0;
  virtual void edges_moved() = 0;

 protected:
  ~RecordListener() = default;
};

// Reads a whole graph document, nodes and edges going into `builder` in
// document order; on failure the builder holds whatever had been read.
// The failure is the first error in reading order.
bool read_graph_document(std::string_view text, GraphBuilder& builder, ReadFailure& failure,
                         RecordListener* listener = nullptr);

// The same without the quick record reader: every record is read the careful
// way. Gives the same records and the same failure as `read_graph_document`,
// only slower; tests compare the two.
bool read_graph_document_carefully(std::string_view text, GraphBuilder& builder, ReadFailure& failure);

}  // namespace norvel

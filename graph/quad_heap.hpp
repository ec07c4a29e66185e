#pragma once

#include <cstddef>
#include <vector>

namespace norvel {

// The two sift steps of a 4-ary min-heap kept in a vector, the children of
// entry i at 4i + 1 .. 4i + 4. Half as deep as a binary heap, with the
// four children of a node in one or two cache lines: a search whose heap
// moves small entries spends far less on memory traffic.
// `less(x, y)`: whether x comes out before y.

template <class Entry, class Less>
void quad_heap_rise(std::vector<Entry>& heap, std::size_t at, Less less) {
  const Entry moving = heap[at];
  while (at > 0) {
    const std::size_t parent = (at - 1) / 4;
    if (!less(moving, heap[parent])) break;
    heap[at] = heap[parent];
    at = parent;
  }
  heap[at] = moving;
}

template <class Entry, class Less>
void quad_heap_sink(std::vector<Entry>& heap, std::size_t at, Less less) {
  const Entry moving = heap[at];
  const std::size_t length = heap.size();
  for (;;) {
    const std::size_t first = 4 * at + 1;
    if (first >= length) break;
    std::size_t least = first;
    const std::size_t last = first + 4 < length ? first + 4 : length;
    for (std::size_t child = first + 1; child < last; ++child) {
      if (less(heap[child], heap[least])) least = child;
    }
    if (!less(heap[least], moving)) break;
    heap[at] = heap[least];
    at = least;
  }
  heap[at] = moving;
}

template <class Entry, class Less>
void quad_heap_push(std::vector<Entry>& heap, const Entry& entry, Less less) {
  heap.push_back(entry);
  quad_heap_rise(heap, heap.size() - 1, less);
}

// Takes the first entry out. Precondition: not empty.
template <class Entry, class Less>
Entry quad_heap_pop(std::vector<Entry>& heap, Less less) {
  const Entry first = heap.front();
  heap.front() = heap.back();
  heap.pop_back();
  if (!heap.empty()) quad_heap_sink(heap, 0, less);
  return first;
}

}  // namespace norvel

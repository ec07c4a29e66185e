#pragma once

#include <cstddef>
#include <vector>

namespace norvel {

// Binary heap with children of slot i at 2i+1 and 2i+2. Tied elements leave
// in an order fixed by exactly these moves, so they must not be "improved".
// `before(x, y)` says whether x comes strictly before y.
template <class Key, class Before>
void sift_up(std::vector<Key>& heap, std::size_t hole, Key moving, const Before& before) {
  while (hole > 0) {
    std::size_t parent = (hole - 1) / 2;
    if (!before(moving, heap[parent])) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = moving;
}

template <class Key, class Before>
void open_list_push(std::vector<Key>& heap, Key key, const Before& before) {
  heap.push_back(key);
  sift_up(heap, heap.size() - 1, key, before);
}

// Precondition: the heap is not empty.
template <class Key, class Before>
Key open_list_pop(std::vector<Key>& heap, const Before& before) {
  Key last = heap.back();
  heap.pop_back();
  if (heap.empty()) return last;
  Key first = heap[0];
  const std::size_t length = heap.size();
  std::size_t hole = 0;
  std::size_t child = 1;
  // Walk the hole down to a leaf, always taking the right child unless the
  // left one comes strictly first; then let the old last element rise.
  while (child + 1 < length) {
    if (!before(heap[child], heap[child + 1])) ++child;
    heap[hole] = heap[child];
    hole = child;
    child = 2 * hole + 1;
  }
  if (child == length - 1) {
    heap[hole] = heap[child];
    hole = child;
  }
  sift_up(heap, hole, last, before);
  return first;
}

}  // namespace norvel

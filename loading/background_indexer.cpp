#include "loading/background_indexer.hpp"

#include <span>
#include <system_error>
#include <utility>

namespace norvel {

BackgroundIndexer::~BackgroundIndexer() {
  abandoned_.store(true, std::memory_order_relaxed);
  stop();
}

void BackgroundIndexer::nodes_final() {
  indexer_.emplace(builder_.nodes.size() + builder_.nodes.size() / 4);
  try {
    thread_ = std::thread([this] {
      try {
        indexer_->index_nodes(builder_.nodes);
        nodes_indexed_ = true;
        index_edges_as_they_come();
      } catch (...) {
        thread_failure_ = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: everything is indexed after the reading.
  }
}

void BackgroundIndexer::edges_final(std::size_t count) {
  progress_.store(std::uint64_t{count} * 2, std::memory_order_release);
  if (thread_.joinable()) progress_.notify_one();
}

void BackgroundIndexer::edges_moving() {
  if (thread_.joinable()) edges_storage_.lock();
}

void BackgroundIndexer::edges_moved() {
  if (thread_.joinable()) edges_storage_.unlock();
}

void BackgroundIndexer::index_edges_as_they_come() {
  for (;;) {
    const std::uint64_t progress = progress_.load(std::memory_order_acquire);
    if (abandoned_.load(std::memory_order_relaxed)) return;
    const std::size_t final_count = progress / 2;
    if (final_count > edges_indexed_) {
      std::lock_guard<std::mutex> storage(edges_storage_);
      indexer_->index_edges(std::span<Edge>(builder_.edges.data() + edges_indexed_, final_count - edges_indexed_));
      edges_indexed_ = final_count;
    } else if (progress % 2 == 1) {
      return;
    } else {
      progress_.wait(progress, std::memory_order_acquire);
    }
  }
}

void BackgroundIndexer::stop() {
  if (!thread_.joinable()) return;
  progress_.fetch_or(1, std::memory_order_release);
  progress_.notify_one();
  thread_.join();
}

RoadGraph BackgroundIndexer::finish() {
  stop();
  if (thread_failure_) std::rethrow_exception(thread_failure_);
  if (!indexer_) indexer_.emplace(builder_.nodes.size() + builder_.edges.size() / 8);
  if (!nodes_indexed_) indexer_->index_nodes(builder_.nodes);
  indexer_->index_edges(std::span<Edge>(builder_.edges.data() + edges_indexed_, builder_.edges.size() - edges_indexed_));
  return indexer_->finish(std::move(builder_.nodes), std::move(builder_.edges), GraphIndexer::FinishThreads::kTwo);
}

}  // namespace norvel

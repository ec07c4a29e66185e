#pragma once

#include <algorithm>
#include <initializer_list>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace norvel {

// One of a graph's arrays: either a vector it owns (a graph built from a
// document) or a view of memory that another object keeps alive (a graph
// read from a snapshot file, whose pages every process that maps the file
// shares). The searches read it through `data_` alone, as they read a
// vector, so either kind costs them the same: one pointer and an index.
//
// Only an owning array changes. The mutating members are those the builders
// use, and each points the view at the vector again after it moved; on a
// view they are not to be called (its memory is read-only).
template <class T>
class GraphArray {
 public:
  using value_type = T;
  using const_iterator = const T*;

  GraphArray() = default;
  GraphArray(std::vector<T>&& owned) : owned_(std::move(owned)) { point_at_owned(); }  // NOLINT: a vector converts
  GraphArray(std::initializer_list<T> values) : owned_(values) { point_at_owned(); }

  // `values`, which `keeper` keeps alive for as long as this array (or a
  // copy of it) lives.
  static GraphArray viewing(std::span<const T> values, std::shared_ptr<const void> keeper) {
    GraphArray array;
    array.data_ = values.data();
    array.size_ = values.size();
    array.keeper_ = std::move(keeper);
    return array;
  }

  GraphArray(const GraphArray& other) : owned_(other.owned_), keeper_(other.keeper_) {
    if (keeper_) {
      data_ = other.data_;
      size_ = other.size_;
    } else {
      point_at_owned();
    }
  }
  GraphArray(GraphArray&& other) noexcept
      : owned_(std::move(other.owned_)), data_(other.data_), size_(other.size_), keeper_(std::move(other.keeper_)) {
    other.forget();
  }
  GraphArray& operator=(const GraphArray& other) {
    if (this != &other) *this = GraphArray(other);
    return *this;
  }
  GraphArray& operator=(GraphArray&& other) noexcept {
    if (this != &other) {
      owned_ = std::move(other.owned_);
      data_ = other.data_;
      size_ = other.size_;
      keeper_ = std::move(other.keeper_);
      other.forget();
    }
    return *this;
  }
  GraphArray& operator=(std::vector<T>&& owned) { return *this = GraphArray(std::move(owned)); }

  // Reading, either kind.
  const T& operator[](std::size_t i) const { return data_[i]; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  const T& back() const { return data_[size_ - 1]; }
  const T& at(std::size_t i) const {
    if (i >= size_) throw std::out_of_range("GraphArray::at");
    return data_[i];
  }
  std::span<const T> span() const { return {data_, size_}; }
  // Whether the memory is another object's (a mapped file).
  bool is_view() const { return keeper_ != nullptr; }

  friend bool operator==(const GraphArray& a, const GraphArray& b) { return std::ranges::equal(a.span(), b.span()); }
  friend bool operator==(const GraphArray& a, const std::vector<T>& b) { return std::ranges::equal(a.span(), b); }

  // Building, an owning array only. Element access reads through `data_`
  // like the const one, so that reading a view through a mutable graph is
  // sound too (`data_` is the vector's own storage when owned).
  T& operator[](std::size_t i) { return const_cast<T*>(data_)[i]; }
  T* data() { return const_cast<T*>(data_); }
  void push_back(const T& value) {
    owned_.push_back(value);
    point_at_owned();
  }
  void append(const T* first, std::size_t count) {
    owned_.insert(owned_.end(), first, first + count);
    point_at_owned();
  }
  void resize(std::size_t count) {
    owned_.resize(count);
    point_at_owned();
  }
  void resize(std::size_t count, const T& value) {
    owned_.resize(count, value);
    point_at_owned();
  }
  void assign(std::size_t count, const T& value) {
    owned_.assign(count, value);
    point_at_owned();
  }
  void reserve(std::size_t count) {
    owned_.reserve(count);
    point_at_owned();
  }
  void shrink_to_fit() {
    owned_.shrink_to_fit();
    point_at_owned();
  }
  std::size_t capacity() const { return keeper_ ? size_ : owned_.capacity(); }

 private:
  void point_at_owned() {
    data_ = owned_.data();
    size_ = owned_.size();
  }
  void forget() {
    owned_.clear();
    data_ = nullptr;
    size_ = 0;
    keeper_.reset();
  }

  std::vector<T> owned_;
  const T* data_ = nullptr;
  std::size_t size_ = 0;
  std::shared_ptr<const void> keeper_;  // set on a view only
};

}  // namespace norvel

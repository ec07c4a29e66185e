#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace norvel {

// The edges a request must not take, a bit per entry of the graph's
// outgoing rows (the incoming rows reach theirs through
// `IncomingEdge::out_row`). A request that avoids edges costs this bit set
// and nothing else: no row is copied, and every search skips an avoided
// entry before it reads anything of the edge's head, so that the places it
// touches, in the order it touches them, are those of the same search on
// a document without those edges.
class AvoidedRows {
 public:
  // Nothing avoided yet, among `rows` entries. `zeroed`: bits for as many,
  // all zero, as `release` gives them back (else they are made here).
  // `expected`: how many entries are to be avoided, at most.
  explicit AvoidedRows(std::size_t rows, std::vector<std::uint64_t>&& zeroed = {}, std::size_t expected = 0)
      : words_(std::move(zeroed)) {
    if (words_.size() != (rows + 63) / 64) words_ = std::vector<std::uint64_t>((rows + 63) / 64);
    avoided_.reserve(expected);
  }
  void avoid(std::uint32_t row) {
    words_[row / 64] |= std::uint64_t{1} << (row % 64);
    avoided_.push_back(row);
  }
  // The bits, zeroed again in time proportional to the entries avoided
  // (not to the graph's size), for another request's rows.
  std::vector<std::uint64_t> release() && {
    for (const std::uint32_t row : avoided_) words_[row / 64] = 0;
    return std::move(words_);
  }
  bool avoided(std::uint32_t row) const { return avoided_in(words_.data(), row); }
  // The bits, a word per 64 rows, for a loop that keeps them in a register.
  const std::uint64_t* words() const { return words_.data(); }
  static bool avoided_in(const std::uint64_t* words, std::uint32_t row) {
    return (words[row / 64] >> (row % 64) & 1) != 0;
  }

 private:
  std::vector<std::uint64_t> words_;
  std::vector<std::uint32_t> avoided_;  // the entries avoided, to zero their words
};

// Whether a search may take the entry `row`: always, when nothing is avoided.
inline bool takes_row(const AvoidedRows* avoided, std::uint32_t row) {
  return avoided == nullptr || !avoided->avoided(row);
}

}  // namespace norvel

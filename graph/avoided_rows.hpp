#pragma once

#include <cstddef>
#include <cstdint>
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
  explicit AvoidedRows(std::size_t rows) : words_((rows + 63) / 64, 0) {}
  void avoid(std::uint32_t row) { words_[row / 64] |= std::uint64_t{1} << (row % 64); }
  bool avoided(std::uint32_t row) const { return avoided_in(words_.data(), row); }
  // The bits, a word per 64 rows, for a loop that keeps them in a register.
  const std::uint64_t* words() const { return words_.data(); }
  static bool avoided_in(const std::uint64_t* words, std::uint32_t row) {
    return (words[row / 64] >> (row % 64) & 1) != 0;
  }

 private:
  std::vector<std::uint64_t> words_;
};

// Whether a search may take the entry `row`: always, when nothing is avoided.
inline bool takes_row(const AvoidedRows* avoided, std::uint32_t row) {
  return avoided == nullptr || !avoided->avoided(row);
}

}  // namespace norvel

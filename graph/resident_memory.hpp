#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace norvel {

// A graph touches some hundred megabytes of fresh memory while it is loaded,
// and on virtual machines a page fault costs microseconds: left to the first
// writes, the faults of 4 KiB pages take as long as reading the document.
// Two hints cut that down. Only hints: where a call is unknown or refused,
// nothing happens and the writes fault the pages in as usual.

#if defined(__linux__)
// Gives `advice` for the whole `unit`-aligned blocks (a power of two) inside
// a buffer; a block only partly inside is left alone.
inline void advise_whole_blocks(const void* data, std::size_t bytes, std::uintptr_t unit, int advice) {
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (first + unit - 1) & ~(unit - 1);
  const std::uintptr_t end = (first + bytes) & ~(unit - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
#endif

// Asks for 2 MiB pages over a buffer, so that one fault serves 512 small
// pages' worth. Costs nothing until the memory is touched.
inline void prefer_huge_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  advise_whole_blocks(data, bytes, std::uintptr_t{2} << 20, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Makes the pages of a buffer that is about to be written resident in one
// system call instead of a fault per page.
inline void make_resident(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::size_t kWorthACall = std::size_t{1} << 20;
  if (bytes < kWorthACall) return;
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  advise_whole_blocks(data, bytes, page, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Room for `count` elements, resident, beyond the ones held (a vector, or
// an owning GraphArray).
template <class Records>
void reserve_resident(Records& records, std::size_t count) {
  using T = typename Records::value_type;
  records.reserve(count);
  if (count > records.size()) {
    prefer_huge_pages(records.data() + records.size(), (count - records.size()) * sizeof(T));
    make_resident(records.data() + records.size(), (count - records.size()) * sizeof(T));
  }
}

}  // namespace norvel

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace norvel {

// Makes the pages of a large buffer that is about to be written resident in
// one system call. Left to the first writes, every fresh page costs a fault
// of its own, which is several times dearer per byte than populating the
// range at once; a graph touches some hundred megabytes of fresh memory
// while it is loaded. Only a hint: where the call is unknown nothing happens
// and the writes fault the pages in as usual.
inline void make_resident(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::size_t kWorthACall = std::size_t{1} << 20;
  if (bytes < kWorthACall) return;
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (first + page - 1) & ~(page - 1);
  const std::uintptr_t end = (first + bytes) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Room for `count` elements, resident, beyond the ones held.
template <class T>
void reserve_resident(std::vector<T>& records, std::size_t count) {
  records.reserve(count);
  if (count > records.size()) make_resident(records.data() + records.size(), (count - records.size()) * sizeof(T));
}

}  // namespace norvel

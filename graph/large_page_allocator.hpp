#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvel {

// An allocator for the arrays a search grows to tens of megabytes (a
// catchment's labels and their links, the buckets of a radix open list).
// Fresh memory costs a page fault and a zeroed page every 4 KiB, which on a
// whole-graph catchment was a tenth of its time; such an array is asked for
// in 2 MiB pages instead where the system gives them on request (Linux's
// transparent huge pages in their "madvise" mode, the default of many
// distributions): one fault per 2 MiB. Only where the memory comes from
// changes, never what is stored in it, so answers are the same whatever the
// system grants. Smaller arrays are allocated as usual. (A load's arrays are
// not asked for so: filled once and kept, they loaded slower in large
// pages here.)
template <class T>
struct LargePageAllocator {
  using value_type = T;

  static constexpr std::size_t kLargePage = std::size_t{2} << 20;

  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}  // NOLINT: allocators convert

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kLargePage) return std::allocator<T>().allocate(count);
    // A whole number of large pages, aligned to one, so that every page of
    // the array can be a large one.
    const std::size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    void* memory = std::aligned_alloc(kLargePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: refused, the pages are small ones.
    (void)madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(memory);
  }

  void deallocate(T* memory, std::size_t count) noexcept {
    if (count * sizeof(T) < kLargePage) {
      std::allocator<T>().deallocate(memory, count);
    } else {
      std::free(memory);
    }
  }

  template <class U>
  friend bool operator==(const LargePageAllocator&, const LargePageAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace norvel

#pragma once

#include <cstddef>
#include <cstdint>

namespace norvel::engine {

// CRC32C (Castagnoli, the checksum of iSCSI and ext4: reflected polynomial
// 0x82f63b78, initial value and final xor all ones) of `bytes` bytes.
// `crc32c(b, n, crc32c(a, m))` is the checksum of a followed by b.
//
// Where the processor has SSE4.2 (asked at run time, so the build stays for
// any x86-64) the `crc32` instruction computes it in three interleaved
// streams, near the speed of memory; elsewhere a table, eight bytes a step.
std::uint32_t crc32c(const void* data, std::size_t bytes, std::uint32_t crc = 0);

// The table's computation alone, whatever the processor: what the tests
// check the fast one against.
std::uint32_t crc32c_portable(const void* data, std::size_t bytes, std::uint32_t crc = 0);

}  // namespace norvel::engine

// libFuzzer target for the snapshot reader, outside the normal build (the
// sanitized suite runs its deterministic cousin, Snapshot.Resealed... in
// tests/engine/snapshot_test.cpp). Every checksum of the input is made good
// before it is read, so that the fuzzer reaches the structural checks
// rather than stopping at the first CRC. Build and run from the project root
// (clang 14 and libclang-rt-14-dev):
//   mkdir -p build-snapshot-fuzz && clang++-14 -std=c++2b -O1 -g -fsanitize=fuzzer,address,undefined -I. \
//     tests/engine/fuzz/snapshot_fuzzer.cpp engine/snapshot.cpp engine/crc32c.cpp engine/nearest_index.cpp \
//     graph/*.cpp -o build-snapshot-fuzz/snapshot_fuzzer
//   build-snapshot-fuzz/snapshot_fuzzer -max_total_time=300 -max_len=65536 build-snapshot-fuzz/corpus
// Seed the corpus with a snapshot or two (norvel pack of tests' grids).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "engine/crc32c.hpp"
#include "engine/nearest_index.hpp"
#include "engine/snapshot.hpp"
#include "graph/safe_route_request.hpp"

namespace {

std::uint32_t get32(const std::byte* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}
std::uint64_t get64(const std::byte* at) {
  std::uint64_t value;
  std::memcpy(&value, at, 8);
  return value;
}
void put32(std::byte* at, std::uint32_t value) { std::memcpy(at, &value, 4); }

// The checksums made good, from the documented layout (docs/documents.md).
void reseal(std::byte* bytes, std::size_t size) {
  using norvel::engine::crc32c;
  if (size < 128) return;
  const std::uint32_t count = get32(bytes + 24);
  if (128 + std::uint64_t{count} * 64 > size) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::byte* row = bytes + 128 + std::size_t{i} * 64;
    const std::uint64_t offset = get64(row + 32), length = get64(row + 40);
    if (offset <= size && length <= size - offset) put32(row + 56, crc32c(bytes + offset, length));
  }
  put32(bytes + 28, crc32c(bytes + 128, std::size_t{count} * 64));
  put32(bytes + 124, crc32c(bytes, 124));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::shared_ptr<std::byte> memory(static_cast<std::byte*>(::operator new(size + 64, std::align_val_t{64})),
                                    [](std::byte* p) { ::operator delete(p, std::align_val_t{64}); });
  if (size != 0) std::memcpy(memory.get(), data, size);
  reseal(memory.get(), size);
  auto engine = norvel::engine::read_snapshot({memory.get(), size}, memory);
  if (!engine) {
    if (engine.error().description.empty()) std::abort();
    return 0;
  }
  // Whatever is accepted is safe to search.
  const norvel::RoadGraph& graph = engine->graph;
  if (!graph.id_of.empty()) {
    (void)norvel::compute_safe_routes(graph, graph.id_of[0], graph.id_of[graph.id_of.size() - 1], 0.0);
  }
  const norvel::engine::NearestIndex index = norvel::engine::build_nearest_index(*engine);
  if (!index.order.empty()) (void)norvel::engine::nearest_node(index, 60.0, 25.0);
  for (std::size_t e = 0; e < norvel::edge_count(graph); ++e) {
    (void)norvel::edge_name(engine->names, static_cast<std::uint32_t>(e));
  }
  return 0;
}

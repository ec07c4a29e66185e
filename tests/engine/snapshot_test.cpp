// Snapshot files: CRC32C against known values, a graph through a snapshot
// and back against the graph itself (arrays and routes, bit for bit), and
// the reader against damaged files: every bit flipped, every length cut,
// and random edits with their checksums made good again, so that the
// structural checks have to catch them (run under the sanitizers too).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/crc32c.hpp"
#include "engine/nearest_index.hpp"
#include "engine/snapshot.hpp"
#include "graph/safe_route_request.hpp"
#include "loading/graph_loader.hpp"

namespace norvel::engine {
namespace {

// Bytes at a 64-byte boundary, as a mapping gives them.
struct Aligned {
  explicit Aligned(const std::string& bytes)
      : size(bytes.size()), memory(static_cast<std::byte*>(::operator new(size + 64, std::align_val_t{64})),
                                   [](std::byte* p) { ::operator delete(p, std::align_val_t{64}); }) {
    if (size != 0) std::memcpy(memory.get(), bytes.data(), size);
  }
  std::span<const std::byte> span() const { return {memory.get(), size}; }
  std::size_t size;
  std::shared_ptr<std::byte> memory;
};

std::expected<EngineGraph, SnapshotError> read(const std::string& bytes, SnapshotFacts* facts = nullptr) {
  Aligned aligned(bytes);
  return read_snapshot(aligned.span(), aligned.memory, facts);
}

std::string refusal(const std::string& bytes) {
  auto graph = read(bytes);
  return graph ? std::string("(read)") : graph.error().description;
}

// A random grid-like document with street names on some edges and a few
// repeated node records, as JSON.
std::string random_document(std::mt19937_64& random, int side) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::string text = R"({"nodes":[)";
  for (int i = 0; i < side * side; ++i) {
    if (i) text += ",";
    text += R"({"id":)" + std::to_string(1000 + 7 * i) + R"(,"lat":)" + std::to_string(60.1 + (i / side) * 0.001 + unit(random) * 1e-4) +
            R"(,"lon":)" + std::to_string(24.9 + (i % side) * 0.002) + "}";
  }
  text += R"(],"edges":[)";
  bool first = true;
  for (int i = 0; i < side * side; ++i) {
    for (int j : {i + 1, i + side, i - 1, i - side}) {
      if (j < 0 || j >= side * side || (j == i + 1 && j % side == 0) || (j == i - 1 && i % side == 0)) continue;
      if (unit(random) < 0.1) continue;
      if (!first) text += ",";
      first = false;
      text += R"({"from":)" + std::to_string(1000 + 7 * i) + R"(,"to":)" + std::to_string(1000 + 7 * j) +
              R"(,"distance_m":)" + std::to_string(50.0 + 100.0 * unit(random)) + R"(,"risk_score":)" +
              std::to_string(unit(random));
      if (unit(random) < 0.3) text += R"(,"familiarity":)" + std::to_string(unit(random));
      if (unit(random) < 0.5) text += R"(,"name":"Katu )" + std::to_string(i % 5) + "\"";
      text += "}";
    }
  }
  return text + "]}";
}

EngineGraph engine_of(const std::string& text) {
  EngineGraph engine;
  auto graph = load_graph(text, engine.names);
  EXPECT_TRUE(graph.has_value());
  engine.graph = std::move(*graph);
  return engine;
}

Sha256 some_source() {
  Sha256 source{};
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 7 + 1);
  return source;
}

TEST(Crc32c, KnownValuesAndTheFastWayAgreesWithTheTable) {
  EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32c_portable("123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32c("", 0), 0u);
  const std::string zeros(32, '\0');
  EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);  // RFC 3720, B.4
  std::mt19937_64 random(7);
  std::string bytes(5 * 4096 * 3 + 123, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  for (std::size_t length : {0, 1, 7, 8, 9, 4095, 3 * 4096 - 1, 3 * 4096, 3 * 4096 + 5, 10 * 4096 + 3}) {
    for (std::size_t offset : {0, 1, 3}) {
      EXPECT_EQ(crc32c(bytes.data() + offset, length), crc32c_portable(bytes.data() + offset, length)) << length;
    }
  }
  // In pieces, as a writer computes it block by block.
  const std::uint32_t whole = crc32c(bytes.data(), bytes.size());
  EXPECT_EQ(crc32c(bytes.data() + 1000, bytes.size() - 1000, crc32c(bytes.data(), 1000)), whole);
}

void expect_same_graph(const EngineGraph& a, const EngineGraph& b) {
  const RoadGraph& x = a.graph;
  const RoadGraph& y = b.graph;
  auto same_bytes = [](const auto& p, const auto& q) {
    return p.size() == q.size() && (p.size() == 0 || std::memcmp(p.data(), q.data(), p.size() * sizeof(p[0])) == 0);
  };
  EXPECT_EQ(x.nodes.size(), y.nodes.size());
  EXPECT_TRUE(same_bytes(x.nodes, y.nodes));
  EXPECT_TRUE(x.id_of == y.id_of);
  EXPECT_TRUE(x.listed == y.listed);
  EXPECT_TRUE(same_bytes(x.lat, y.lat) && same_bytes(x.lon, y.lon) && same_bytes(x.cos_lat, y.cos_lat));
  EXPECT_TRUE(x.out_begin == y.out_begin && x.in_begin == y.in_begin);
  EXPECT_TRUE(same_bytes(x.out_edges, y.out_edges));
  ASSERT_EQ(x.in_edges.size(), y.in_edges.size());
  for (std::size_t i = 0; i < x.in_edges.size(); ++i) {
    EXPECT_EQ(x.in_edges[i].from, y.in_edges[i].from);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(x.in_edges[i].distance_m), std::bit_cast<std::uint64_t>(y.in_edges[i].distance_m));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(x.in_edges[i].risk_score), std::bit_cast<std::uint64_t>(y.in_edges[i].risk_score));
  }
  EXPECT_TRUE(same_bytes(x.plane, y.plane));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(x.plane_cos_reference), std::bit_cast<std::uint64_t>(y.plane_cos_reference));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(x.distance_per_plane_unit), std::bit_cast<std::uint64_t>(y.distance_per_plane_unit));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(x.risk_per_plane_unit), std::bit_cast<std::uint64_t>(y.risk_per_plane_unit));
  EXPECT_EQ(x.has_negative_cost, y.has_negative_cost);
  EXPECT_EQ(x.costs_bounded_below, y.costs_bounded_below);
  EXPECT_EQ(x.has_familiarity, y.has_familiarity);
  EXPECT_EQ(x.distance_sums_exact, y.distance_sums_exact);
  EXPECT_EQ(x.risk_sums_exact, y.risk_sums_exact);
  EXPECT_EQ(x.parallel_edges_differ, y.parallel_edges_differ);
  EXPECT_TRUE(a.names.of_edge == b.names.of_edge && a.names.text == b.names.text && a.names.starts == b.names.starts);
  for (NodeId id : x.id_of) EXPECT_EQ(x.dense_of.find(id), y.dense_of.find(id));
  EXPECT_EQ(y.dense_of.find(3), IdIndex::kAbsent);
}

void expect_same_routes(const RoadGraph& a, const RoadGraph& b, std::mt19937_64& random, int pairs) {
  for (int k = 0; k < pairs; ++k) {
    const NodeId s = a.id_of[random() % a.id_of.size()];
    const NodeId t = a.id_of[random() % a.id_of.size()];
    for (double eps : {0.0, 0.1}) {
      auto x = compute_safe_routes(a, s, t, eps);
      auto y = compute_safe_routes(b, s, t, eps);
      ASSERT_EQ(x.has_value(), y.has_value());
      if (!x) continue;
      ASSERT_EQ(x->size(), y->size());
      for (std::size_t i = 0; i < x->size(); ++i) {
        EXPECT_EQ((*x)[i].path, (*y)[i].path);
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*x)[i].total_distance_m), std::bit_cast<std::uint64_t>((*y)[i].total_distance_m));
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*x)[i].total_risk), std::bit_cast<std::uint64_t>((*y)[i].total_risk));
      }
    }
  }
}

TEST(Snapshot, ARandomGraphReadsBackBitForBitAndRoutesTheSame) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 6; ++round) {
    const EngineGraph built = engine_of(random_document(random, 4 + round * 3));
    const std::string bytes = snapshot_bytes(built, some_source());
    // The same graph gives the same bytes: padding is zeroed.
    EXPECT_EQ(snapshot_bytes(built, some_source()), bytes);
    SnapshotFacts facts;
    Aligned aligned(bytes);
    auto loaded = read_snapshot(aligned.span(), aligned.memory, &facts);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().description;
    EXPECT_EQ(facts.version, kSnapshotVersion);
    EXPECT_EQ(facts.source_sha256, some_source());
    EXPECT_TRUE(loaded->graph.out_edges.is_view());
    expect_same_graph(built, *loaded);
    expect_same_routes(built.graph, loaded->graph, random, 20);
    // The index it brings is the one the graph would build.
    const NearestIndex fresh = build_nearest_index(built);
    const NearestIndex brought = build_nearest_index(*loaded);
    EXPECT_TRUE(brought.order.is_view());
    EXPECT_TRUE(fresh.order == brought.order && fresh.axis == brought.axis);
    // A snapshot of the snapshot is the same file.
    EXPECT_EQ(snapshot_bytes(*loaded, some_source()), bytes);
  }
}

TEST(Snapshot, AnEmptyGraphAndOneWithoutNames) {
  for (const char* text : {R"({"nodes":[],"edges":[]})", R"({"nodes":[{"id":1,"lat":1,"lon":2}],"edges":[{"from":1,"to":5,"distance_m":1,"risk_score":0}]})"}) {
    const EngineGraph built = engine_of(text);
    auto loaded = read(snapshot_bytes(built, some_source()));
    ASSERT_TRUE(loaded.has_value()) << loaded.error().description;
    expect_same_graph(built, *loaded);
  }
}

TEST(Snapshot, EveryFlippedBitAndEveryCutIsRefused) {
  std::mt19937_64 random(5);
  const std::string bytes = snapshot_bytes(engine_of(random_document(random, 3)), some_source());
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      EXPECT_FALSE(read(flipped).has_value()) << "byte " << at << " bit " << bit;
    }
  }
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(read(bytes.substr(0, length)).has_value()) << length;
  }
}

// The header's fields where docs/documents.md puts them.
void put32(std::string& bytes, std::size_t at, std::uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }
void put64(std::string& bytes, std::size_t at, std::uint64_t value) { std::memcpy(bytes.data() + at, &value, 8); }
std::uint32_t get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}
std::uint64_t get64(const std::string& bytes, std::size_t at) {
  std::uint64_t value;
  std::memcpy(&value, bytes.data() + at, 8);
  return value;
}

// Makes every checksum good again after an edit, from the documented
// layout: each section's, the table's, the header's.
void reseal(std::string& bytes) {
  if (bytes.size() < 128) return;
  const std::uint32_t count = get32(bytes, 24);
  if (128 + std::uint64_t{count} * 64 > bytes.size()) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t row = 128 + std::size_t{i} * 64;
    const std::uint64_t offset = get64(bytes, row + 32), length = get64(bytes, row + 40);
    if (offset <= bytes.size() && length <= bytes.size() - offset) put32(bytes, row + 56, crc32c(bytes.data() + offset, length));
  }
  put32(bytes, 28, crc32c(bytes.data() + 128, std::size_t{count} * 64));
  put32(bytes, 124, crc32c(bytes.data(), 124));
}

TEST(Snapshot, RefusalsSayWhatIsWrong) {
  std::mt19937_64 random(3);
  const std::string bytes = snapshot_bytes(engine_of(random_document(random, 3)), some_source());
  EXPECT_EQ(refusal("{\"nodes\":[]}"), "not a snapshot: it does not start with a snapshot's magic bytes");
  EXPECT_EQ(refusal(bytes.substr(0, 100)), "truncated snapshot: 100 bytes, shorter than its 128-byte header");
  EXPECT_EQ(refusal(bytes.substr(0, 1000)),
            "truncated snapshot: 1000 bytes of the " + std::to_string(bytes.size()) + " its header gives");
  EXPECT_EQ(refusal(bytes + std::string(64, '\0')), "corrupt snapshot: " + std::to_string(bytes.size() + 64) +
                                                        " bytes, but its header gives " + std::to_string(bytes.size()));
  std::string flipped = bytes;
  flipped[40] ^= 1;
  EXPECT_EQ(refusal(flipped), "corrupt snapshot: the header's checksum does not match");
  flipped = bytes;
  flipped[128 + 70] ^= 1;  // the second row of the table
  EXPECT_EQ(refusal(flipped), "corrupt snapshot: the section table's checksum does not match");
  flipped = bytes;
  flipped[bytes.size() - 1] ^= 4;  // the last section: the nearest-node axes
  EXPECT_EQ(refusal(flipped), "corrupt snapshot: section 17 (`nearest_axis`) fails its checksum");
  std::string other = bytes;
  put32(other, 8, 3);
  auto version = read(other);
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.error().description, "a snapshot of format version 3, and this norvel reads version 2");
  EXPECT_EQ(version.error().other_version, 3u);
  std::string swapped = bytes;
  put32(swapped, 12, 0x04030201);
  EXPECT_EQ(refusal(swapped), "a snapshot in the other byte order than this machine's");
  // Sound checksums over unsound contents.
  std::string edited = bytes;
  const std::size_t out_begin_row = 128 + 8 * 64;
  ASSERT_EQ(std::string(edited.data() + out_begin_row), "out_begin");
  put32(edited, get64(edited, out_begin_row + 32) + 4, 1000);
  reseal(edited);
  EXPECT_EQ(refusal(edited), "invalid snapshot: section `out_begin` decreases");
  edited = bytes;
  const std::size_t heads_row = 128 + 9 * 64;
  put32(edited, get64(edited, heads_row + 32), 5000);
  reseal(edited);
  EXPECT_EQ(refusal(edited), "invalid snapshot: an edge of `out_edges` points past the nodes");
}

// Random edits of a sound snapshot with every checksum made good again:
// whatever the reader accepts, the searches and the index read safely.
TEST(Snapshot, ResealedRandomEditsNeverGiveAnUnsafeGraph) {
  std::mt19937_64 random(17);
  const std::string bytes = snapshot_bytes(engine_of(random_document(random, 4)), some_source());
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string edited = bytes;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % edited.size();
      switch (random() % 4) {
        case 0: edited[at] = static_cast<char>(random()); break;
        case 1: edited[at] = static_cast<char>(edited[at] ^ (1 << (random() % 8))); break;
        case 2: if (at + 4 <= edited.size()) put32(edited, at, static_cast<std::uint32_t>(random() % 64)); break;
        default: if (at + 8 <= edited.size()) put64(edited, at, random() % 4096); break;
      }
    }
    if (random() % 8 == 0) edited.resize(random() % edited.size());
    reseal(edited);
    auto graph = read(edited);
    if (!graph) {
      EXPECT_FALSE(graph.error().description.empty());
      continue;
    }
    ++accepted;
    const RoadGraph& g = graph->graph;
    if (!g.id_of.empty()) {
      for (int k = 0; k < 3; ++k) {
        (void)compute_safe_routes(g, g.id_of[random() % g.id_of.size()], g.id_of[random() % g.id_of.size()], 0.0);
      }
    }
    const NearestIndex index = build_nearest_index(*graph);
    if (!index.order.empty()) (void)nearest_node(index, 60.1, 24.9);
    for (std::size_t e = 0; e < edge_count(g); ++e) (void)edge_name(graph->names, static_cast<std::uint32_t>(e));
  }
  // Edits of the coordinates, costs and ids pass the checks; the test is
  // of those as much as of the refusals.
  EXPECT_GT(accepted, 100);
}

}  // namespace
}  // namespace norvel::engine

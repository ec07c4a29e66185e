#include "engine/snapshot.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/crc32c.hpp"
#include "engine/nearest_index.hpp"
#include "graph/cost_facts.hpp"
#include "graph/risk_layer_rules.hpp"

namespace norvel::engine {

namespace {

// Where the fixed header keeps what (docs/documents.md). The first sixteen
// bytes (magic, version, byte-order mark) stay where they are in every
// version, so that any reader can tell which version a file is.
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kByteOrderAt = 12;
constexpr std::size_t kFileSizeAt = 16;
constexpr std::size_t kSectionCountAt = 24;
constexpr std::size_t kTableCrcAt = 28;
constexpr std::size_t kSourceAt = 32;
constexpr std::size_t kHeaderCrcAt = kSnapshotHeaderBytes - 4;
constexpr std::uint32_t kByteOrderMark = 0x01020304;

// A section table row.
constexpr std::size_t kNameBytes = 32;
constexpr std::size_t kOffsetAt = 32;
constexpr std::size_t kLengthAt = 40;
constexpr std::size_t kCountAt = 48;
constexpr std::size_t kCrcAt = 56;
constexpr std::size_t kElementAt = 60;

// The sections besides the arrays: the graph's scalar facts, and its risk
// layers' names (one a line), risks (`layer_section_name`) and hours (a
// start and an end per layer, both NaN for a layer without; no section
// where no layer has hours, so that such a graph's snapshot is what it
// was before layers had hours).
constexpr std::string_view kFactsSection = "facts";
constexpr std::string_view kLayerNamesSection = "layer_names";
constexpr std::string_view kLayerHoursSection = "layer_hours";
std::string layer_section_name(std::size_t k) { return "layer:" + std::to_string(k); }

// The facts record: the count of ids, then the doubles and the flags (a
// byte each, 0 or 1) of the graph at these places, zeros in the rest.
constexpr std::size_t kFactsBytes = 40;
constexpr std::size_t kIdCountAt = 0;
constexpr std::size_t kFactDoublesAt = 8;
constexpr double RoadGraph::*kFactDoubles[] = {&RoadGraph::plane_cos_reference, &RoadGraph::distance_per_plane_unit,
                                               &RoadGraph::risk_per_plane_unit};
constexpr std::size_t kFactFlagsAt = 32;
constexpr bool RoadGraph::*kFactFlags[] = {&RoadGraph::has_negative_cost,   &RoadGraph::costs_bounded_below,
                                           &RoadGraph::has_familiarity,     &RoadGraph::distance_sums_exact,
                                           &RoadGraph::risk_sums_exact,     &RoadGraph::parallel_edges_differ};
static_assert(kFactDoublesAt + sizeof(double) * std::size(kFactDoubles) <= kFactFlagsAt &&
              kFactFlagsAt + std::size(kFactFlags) <= kFactsBytes);

// The array sections in the order they are written, each with its name:
// `section(name, array)` once for each. `id_slots` and the nearest-node
// index's arrays are passed in, since the writer and the reader keep them
// apart from the graph's own; either goes through here, so that a
// section's name and place are written once.
template <class Engine, class Slots, class Order, class Axis, class Section>
void each_array_section(Engine& engine, Slots& id_slots, Order& nearest_order, Axis& nearest_axis,
                        Section&& section) {
  auto& g = engine.graph;
  section("nodes", g.nodes);
  section("id_slots", id_slots);
  section("id_of", g.id_of);
  section("listed", g.listed);
  section("lat", g.lat);
  section("lon", g.lon);
  section("cos_lat", g.cos_lat);
  section("out_begin", g.out_begin);
  section("out_edges", g.out_edges);
  section("in_begin", g.in_begin);
  section("in_edges", g.in_edges);
  section("plane", g.plane);
  section("name_of_edge", engine.names.of_edge);
  section("name_text", engine.names.text);
  section("name_starts", engine.names.starts);
  section("nearest_order", nearest_order);
  section("nearest_axis", nearest_axis);
}

// Records are written as the searches read them. A struct with padding has
// it zeroed first, so that the same graph gives the same bytes; should a
// struct change, these fail and the writer and reader must follow (and the
// format version go up).
static_assert(sizeof(Node) == 24 && sizeof(SearchEdge) == 32 && sizeof(PlanePoint) == 8);
static_assert(sizeof(IncomingEdge) == 24 && offsetof(IncomingEdge, out_row) == 4 &&
                  offsetof(IncomingEdge, distance_m) == 8,
              "IncomingEdge changed: write its fields in snapshot.cpp and raise kSnapshotVersion");
static_assert(sizeof(IdIndex::Slot) == 16);
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

template <class T>
T load_at(const std::byte* bytes, std::size_t at) {
  T value;
  std::memcpy(&value, bytes + at, sizeof(T));
  return value;
}

template <class T>
void store_at(std::byte* bytes, std::size_t at, T value) {
  std::memcpy(bytes + at, &value, sizeof(T));
}

constexpr std::uint64_t aligned(std::uint64_t at) { return (at + kSnapshotAlignment - 1) & ~(kSnapshotAlignment - 1); }

// ---------------------------------------------------------------- writing

// Where the bytes go: a file, or a string in memory.
using Put = std::function<bool(std::uint64_t offset, const void* data, std::size_t bytes)>;

struct Section {
  std::string_view name;
  std::uint64_t count;
  std::uint32_t element_bytes;
  // Writes the section's bytes from `offset` on through `put`, returning
  // their CRC32C (or nothing when `put` failed).
  std::function<std::expected<std::uint32_t, bool>(const Put& put, std::uint64_t offset)> write;
};

// A section of records written as they lie in memory.
template <class T>
Section raw(std::string_view name, std::span<const T> values) {
  return {name, values.size(), sizeof(T),
          [values](const Put& put, std::uint64_t offset) -> std::expected<std::uint32_t, bool> {
            if (!put(offset, values.data(), values.size_bytes())) return std::unexpected(false);
            return crc32c(values.data(), values.size_bytes());
          }};
}

// A section of records copied into zeroed ones field by field, a block at
// a time, so that padding reads as zeros.
template <class T, class Clean>
Section cleaned(std::string_view name, std::span<const T> values, Clean clean) {
  return {name, values.size(), sizeof(T),
          [values, clean](const Put& put, std::uint64_t offset) -> std::expected<std::uint32_t, bool> {
            constexpr std::size_t kBlock = 1 << 14;
            std::vector<std::byte> block(kBlock * sizeof(T));
            std::uint32_t crc = 0;
            for (std::size_t first = 0; first < values.size(); first += kBlock) {
              const std::size_t count = std::min(kBlock, values.size() - first);
              std::fill(block.begin(), block.end(), std::byte{0});
              for (std::size_t i = 0; i < count; ++i) clean(values[first + i], block.data() + i * sizeof(T));
              const std::size_t bytes = count * sizeof(T);
              if (!put(offset + first * sizeof(T), block.data(), bytes)) return std::unexpected(false);
              crc = crc32c(block.data(), bytes, crc);
            }
            return crc;
          }};
}

// The records that have padding, written field by field into zeros.
void clean_record(const IdIndex::Slot& slot, std::byte* to) {
  store_at(to, offsetof(IdIndex::Slot, id), slot.id);
  store_at(to, offsetof(IdIndex::Slot, index), slot.index);
}
void clean_record(const IncomingEdge& edge, std::byte* to) {
  store_at(to, offsetof(IncomingEdge, from), edge.from);
  store_at(to, offsetof(IncomingEdge, out_row), edge.out_row);
  store_at(to, offsetof(IncomingEdge, distance_m), edge.distance_m);
  store_at(to, offsetof(IncomingEdge, risk_score), edge.risk_score);
}

// An array's section: cleaned where its records have padding, else raw.
template <class T>
Section array_section(std::string_view name, std::span<const T> values) {
  if constexpr (requires(const T& record, std::byte* to) { clean_record(record, to); }) {
    return cleaned(name, values, [](const T& record, std::byte* to) { clean_record(record, to); });
  } else {
    return raw(name, values);
  }
}

// What the sections of a graph's risk layers point into while they are
// written: the layers, and their names (one a line) and section names.
struct LayerSections {
  std::shared_ptr<const RiskLayers> layers;
  std::string names;
  std::vector<std::string> section_names;
  std::vector<double> hours;
};

std::vector<Section> sections_of(const EngineGraph& engine, const NearestIndex& nearest,
                                 std::array<std::byte, kFactsBytes>& facts, LayerSections& layered) {
  const RoadGraph& g = engine.graph;
  facts.fill(std::byte{0});
  store_at<std::uint64_t>(facts.data(), kIdCountAt, g.dense_of.size());
  for (std::size_t i = 0; i < std::size(kFactDoubles); ++i) {
    store_at<double>(facts.data(), kFactDoublesAt + i * sizeof(double), g.*kFactDoubles[i]);
  }
  for (std::size_t i = 0; i < std::size(kFactFlags); ++i) {
    store_at<std::uint8_t>(facts.data(), kFactFlagsAt + i, g.*kFactFlags[i] ? 1 : 0);
  }

  std::vector<Section> sections;
  sections.push_back(raw(kFactsSection, std::span<const std::byte>(facts)));
  sections.back().element_bytes = kFactsBytes;
  sections.back().count = 1;
  const std::span<const IdIndex::Slot> slots = g.dense_of.slots();
  each_array_section(engine, slots, nearest.order, nearest.axis, [&](std::string_view name, const auto& values) {
    sections.push_back(array_section(name, std::span(values.data(), values.size())));
  });
  // Each risk layer's risks by row entry, as the layer holds them; its
  // facts are found again when it is read.
  layered.layers = engine.layers->current();
  const std::vector<std::optional<LayerHours>> hours = engine.layers->hours();
  const bool any_hours = std::any_of(hours.begin(), hours.begin() + static_cast<std::ptrdiff_t>(layered.layers->size()),
                                     [](const auto& held) { return held.has_value(); });
  layered.section_names.reserve(layered.layers->size());
  for (std::size_t k = 0; k < layered.layers->size(); ++k) {
    layered.names += (*layered.layers)[k]->name + "\n";
    layered.section_names.push_back(layer_section_name(k));
    if (any_hours) {
      constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
      layered.hours.push_back(hours[k] ? hours[k]->start : kNone);
      layered.hours.push_back(hours[k] ? hours[k]->end : kNone);
    }
  }
  if (!layered.layers->empty()) {
    sections.push_back(raw(kLayerNamesSection, std::span<const char>(layered.names)));
    for (std::size_t k = 0; k < layered.layers->size(); ++k) {
      sections.push_back(raw(layered.section_names[k], std::span<const double>((*layered.layers)[k]->layer.by_row)));
    }
  }
  if (any_hours) sections.push_back(raw(kLayerHoursSection, std::span<const double>(layered.hours)));
  return sections;
}

// Lays the sections out and writes them, the table and the header.
bool write_all(const EngineGraph& engine, const Sha256& source, const Put& put) {
  const NearestIndex nearest = build_nearest_index(engine);
  std::array<std::byte, kFactsBytes> facts{};
  LayerSections layered;
  const std::vector<Section> sections = sections_of(engine, nearest, facts, layered);
  std::vector<std::byte> table(sections.size() * kSnapshotSectionBytes);
  std::uint64_t at = aligned(kSnapshotHeaderBytes + table.size());
  std::uint64_t end = at;
  static constexpr std::byte kZeros[kSnapshotAlignment] = {};
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& section = sections[i];
    const std::uint64_t bytes = section.count * section.element_bytes;
    if (at > end && !put(end, kZeros, at - end)) return false;
    const auto crc = section.write(put, at);
    if (!crc) return false;
    std::byte* row = table.data() + i * kSnapshotSectionBytes;
    std::memcpy(row, section.name.data(), section.name.size());
    store_at<std::uint64_t>(row, kOffsetAt, at);
    store_at<std::uint64_t>(row, kLengthAt, bytes);
    store_at<std::uint64_t>(row, kCountAt, section.count);
    store_at<std::uint32_t>(row, kCrcAt, *crc);
    store_at<std::uint32_t>(row, kElementAt, section.element_bytes);
    end = at + bytes;
    at = aligned(end);
  }
  const std::uint64_t table_end = kSnapshotHeaderBytes + table.size();
  if (aligned(table_end) > table_end && !put(table_end, kZeros, aligned(table_end) - table_end)) return false;
  if (sections.empty()) end = table_end;
  std::array<std::byte, kSnapshotHeaderBytes> header{};
  std::memcpy(header.data(), kSnapshotMagic.data(), kSnapshotMagic.size());
  store_at<std::uint32_t>(header.data(), kVersionAt, kSnapshotVersion);
  store_at<std::uint32_t>(header.data(), kByteOrderAt, kByteOrderMark);
  store_at<std::uint64_t>(header.data(), kFileSizeAt, end);
  store_at<std::uint32_t>(header.data(), kSectionCountAt, static_cast<std::uint32_t>(sections.size()));
  store_at<std::uint32_t>(header.data(), kTableCrcAt, crc32c(table.data(), table.size()));
  std::memcpy(header.data() + kSourceAt, source.data(), source.size());
  store_at<std::uint32_t>(header.data(), kHeaderCrcAt, crc32c(header.data(), kHeaderCrcAt));
  return put(kSnapshotHeaderBytes, table.data(), table.size()) && put(0, header.data(), header.size());
}

std::string system_error(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// ---------------------------------------------------------------- reading

struct Found {
  std::span<const std::byte> bytes;
  std::uint64_t count;
  std::uint32_t element_bytes;
};

struct NamedSection {
  std::string name;
  Found found;
};

std::unexpected<SnapshotError> refuse(std::string description) {
  return std::unexpected(SnapshotError{std::move(description), 0});
}

class Reader {
 public:
  Reader(std::span<const std::byte> bytes, std::shared_ptr<const void> keeper)
      : bytes_(bytes), keeper_(std::move(keeper)) {}

  std::expected<EngineGraph, SnapshotError> read(SnapshotFacts* facts);

 private:
  std::expected<void, SnapshotError> read_table();
  // The section `name` as an array of T, checked for its element size; or
  // why not.
  template <class T>
  std::expected<GraphArray<T>, SnapshotError> array(std::string_view name, std::size_t element_bytes = sizeof(T));
  const Found* find(std::string_view name) const;

  std::span<const std::byte> bytes_;
  std::shared_ptr<const void> keeper_;
  std::vector<NamedSection> sections_;
};

const Found* Reader::find(std::string_view name) const {
  for (const NamedSection& section : sections_) {
    if (section.name == name) return &section.found;
  }
  return nullptr;
}

template <class T>
std::expected<GraphArray<T>, SnapshotError> Reader::array(std::string_view name, std::size_t element_bytes) {
  const Found* found = find(name);
  if (found == nullptr) return refuse("invalid snapshot: it has no section `" + std::string(name) + "`");
  if (found->element_bytes != element_bytes) {
    return refuse("invalid snapshot: section `" + std::string(name) + "` holds elements of " +
                  std::to_string(found->element_bytes) + " bytes, not " + std::to_string(element_bytes));
  }
  // The section starts at a multiple of 64 bytes of a mapping that starts
  // at one too, so the cast reads aligned records.
  const auto* first = reinterpret_cast<const T*>(found->bytes.data());
  return GraphArray<T>::viewing(std::span<const T>(first, found->count), keeper_);
}

std::expected<void, SnapshotError> Reader::read_table() {
  const std::byte* bytes = bytes_.data();
  const std::size_t size = bytes_.size();
  const auto count = load_at<std::uint32_t>(bytes, kSectionCountAt);
  const std::uint64_t table_end = kSnapshotHeaderBytes + std::uint64_t{count} * kSnapshotSectionBytes;
  if (table_end > size) return refuse("corrupt snapshot: its section table runs past the end of the file");
  const std::byte* table = bytes + kSnapshotHeaderBytes;
  if (crc32c(table, table_end - kSnapshotHeaderBytes) != load_at<std::uint32_t>(bytes, kTableCrcAt)) {
    return refuse("corrupt snapshot: the section table's checksum does not match");
  }
  std::uint64_t end = table_end;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::byte* row = table + std::size_t{i} * kSnapshotSectionBytes;
    const auto* name_bytes = reinterpret_cast<const char*>(row);
    const std::size_t name_length = std::find(name_bytes, name_bytes + kNameBytes, '\0') - name_bytes;
    std::string name(name_bytes, name_length);
    const std::string called = "section " + std::to_string(i) + " (`" + name + "`)";
    if (name_length == 0 || name_length == kNameBytes ||
        std::any_of(name_bytes + name_length, name_bytes + kNameBytes, [](char c) { return c != '\0'; })) {
      return refuse("invalid snapshot: " + called + " has no proper name");
    }
    if (find(name) != nullptr) return refuse("invalid snapshot: two sections are named `" + name + "`");
    const auto offset = load_at<std::uint64_t>(row, kOffsetAt);
    const auto length = load_at<std::uint64_t>(row, kLengthAt);
    const auto elements = load_at<std::uint64_t>(row, kCountAt);
    const auto element_bytes = load_at<std::uint32_t>(row, kElementAt);
    // Each section starts at the first multiple of 64 after the one before,
    // so every byte of the file belongs to the header, the table, a section
    // or the zeros before one.
    if (offset != aligned(end) || offset > size || length > size - offset) {
      return refuse("invalid snapshot: " + called + " is not where the one before it ends");
    }
    if (element_bytes == 0 || elements != length / element_bytes || length % element_bytes != 0) {
      return refuse("invalid snapshot: " + called + " has a length that is not its count of elements");
    }
    if (std::any_of(bytes + end, bytes + offset, [](std::byte b) { return b != std::byte{0}; })) {
      return refuse("corrupt snapshot: the padding before " + called + " is not zeros");
    }
    if (crc32c(bytes + offset, length) != load_at<std::uint32_t>(row, kCrcAt)) {
      return refuse("corrupt snapshot: " + called + " fails its checksum");
    }
    sections_.push_back({std::move(name), Found{bytes_.subspan(offset, length), elements, element_bytes}});
    end = offset + length;
  }
  if (end != size) return refuse("invalid snapshot: bytes follow its last section");
  return {};
}

// The checks that make any snapshot safe to search: sizes agree, and every
// index points inside the array it indexes. (That the arrays describe the
// graph the source document did is what the checksums vouch for.)
std::string check_rows(const GraphArray<std::uint32_t>& begin, std::size_t dense, std::size_t edges,
                       std::string_view name) {
  if (begin.size() != dense + 1) return std::string(name) + " does not have one entry per node and one more";
  if (begin[0] != 0 || begin.back() != edges) return std::string(name) + " does not span the edges";
  for (std::size_t i = 0; i < dense; ++i) {
    if (begin[i + 1] < begin[i]) return std::string(name) + " decreases";
  }
  return {};
}

std::expected<EngineGraph, SnapshotError> Reader::read(SnapshotFacts* facts) {
  const std::byte* bytes = bytes_.data();
  const std::size_t size = bytes_.size();
  if (size < kSnapshotMagic.size() || std::memcmp(bytes, kSnapshotMagic.data(), kSnapshotMagic.size()) != 0) {
    return refuse("not a snapshot: it does not start with a snapshot's magic bytes");
  }
  if (reinterpret_cast<std::uintptr_t>(bytes) % kSnapshotAlignment != 0) {
    return refuse("not read: a snapshot's bytes must start at a multiple of 64 bytes in memory");
  }
  if (size < kSnapshotHeaderBytes) {
    return refuse("truncated snapshot: " + std::to_string(size) + " bytes, shorter than its " +
                  std::to_string(kSnapshotHeaderBytes) + "-byte header");
  }
  const auto mark = load_at<std::uint32_t>(bytes, kByteOrderAt);
  if (mark != kByteOrderMark) {
    if (mark == std::byteswap(kByteOrderMark)) {
      return std::unexpected(SnapshotError{"a snapshot in the other byte order than this machine's", 1});
    }
    return refuse("corrupt snapshot: its byte-order mark is damaged");
  }
  const auto version = load_at<std::uint32_t>(bytes, kVersionAt);
  if (version != kSnapshotVersion) {
    return std::unexpected(SnapshotError{"a snapshot of format version " + std::to_string(version) +
                                             ", and this norvel reads version " + std::to_string(kSnapshotVersion),
                                         version});
  }
  if (crc32c(bytes, kHeaderCrcAt) != load_at<std::uint32_t>(bytes, kHeaderCrcAt)) {
    return refuse("corrupt snapshot: the header's checksum does not match");
  }
  const auto file_size = load_at<std::uint64_t>(bytes, kFileSizeAt);
  if (size < file_size) {
    return refuse("truncated snapshot: " + std::to_string(size) + " bytes of the " + std::to_string(file_size) +
                  " its header gives");
  }
  if (size > file_size) {
    return refuse("corrupt snapshot: " + std::to_string(size) + " bytes, but its header gives " +
                  std::to_string(file_size));
  }
  if (auto table = read_table(); !table) return std::unexpected(table.error());
  if (facts != nullptr) {
    facts->version = version;
    std::memcpy(facts->source_sha256.data(), bytes + kSourceAt, facts->source_sha256.size());
  }

  EngineGraph engine;
  RoadGraph& g = engine.graph;
  auto fail = [](std::string_view what) { return refuse("invalid snapshot: " + std::string(what)); };
  const Found* facts_section = find(kFactsSection);
  if (facts_section == nullptr) return fail("it has no section `facts`");
  if (facts_section->count != 1 || facts_section->element_bytes != kFactsBytes) {
    return fail("section `facts` is not one record of " + std::to_string(kFactsBytes) + " bytes");
  }
  GraphArray<IdIndex::Slot> slots;
  std::optional<SnapshotError> missing;
  each_array_section(engine, slots, engine.nearest_order, engine.nearest_axis, [&](std::string_view name, auto& target) {
    if (missing) return;
    auto taken = array<typename std::remove_reference_t<decltype(target)>::value_type>(name);
    if (taken) {
      target = std::move(*taken);
    } else {
      missing = std::move(taken.error());
    }
  });
  if (missing) return std::unexpected(std::move(*missing));

  const std::byte* record = facts_section->bytes.data();
  const auto id_count = load_at<std::uint64_t>(record, kIdCountAt);
  for (std::size_t i = 0; i < std::size(kFactDoubles); ++i) {
    g.*kFactDoubles[i] = load_at<double>(record, kFactDoublesAt + i * sizeof(double));
  }
  for (std::size_t i = 0; i < std::size(kFactFlags); ++i) {
    const auto flag = load_at<std::uint8_t>(record, kFactFlagsAt + i);
    if (flag > 1) return fail("a flag of section `facts` is neither 0 nor 1");
    g.*kFactFlags[i] = flag == 1;
  }
  if (std::any_of(record + kFactFlagsAt + std::size(kFactFlags), record + kFactsBytes,
                  [](std::byte b) { return b != std::byte{0}; })) {
    return fail("section `facts` has bytes set that no fact uses");
  }

  const std::size_t dense = g.id_of.size();
  const std::size_t edges = g.out_edges.size();
  if (dense >= IdIndex::kAbsent || edges >= IdIndex::kAbsent) return fail("it has too many nodes or edges");
  for (const auto* per_node : {&g.lat, &g.lon, &g.cos_lat}) {
    if (per_node->size() != dense) return fail("a coordinate section does not have one entry per node");
  }
  if (g.listed.size() != dense || g.plane.size() != dense) {
    return fail("section `listed` or `plane` does not have one entry per node");
  }
  if (std::any_of(g.listed.begin(), g.listed.end(), [](std::uint8_t v) { return v > 1; })) {
    return fail("section `listed` holds a value that is neither 0 nor 1");
  }
  if (g.in_edges.size() != edges) return fail("sections `in_edges` and `out_edges` differ in length");
  if (auto why = check_rows(g.out_begin, dense, edges, "section `out_begin`"); !why.empty()) return fail(why);
  if (auto why = check_rows(g.in_begin, dense, edges, "section `in_begin`"); !why.empty()) return fail(why);
  for (const SearchEdge& edge : g.out_edges) {
    if (edge.to >= dense || edge.edge_index >= edges) return fail("an edge of `out_edges` points past the nodes");
  }
  for (const IncomingEdge& edge : g.in_edges) {
    if (edge.from >= dense) return fail("an edge of `in_edges` points past the nodes");
    if (edge.out_row >= edges) return fail("an edge of `in_edges` points past the outgoing rows");
  }
  // The id table: a power of two of slots, more than half of them empty
  // (so that every probe ends), each taken one naming a node.
  const std::size_t slot_count = slots.size();
  if (slot_count != 0 && !std::has_single_bit(slot_count)) return fail("the id table's size is no power of two");
  std::size_t taken = 0;
  for (const IdIndex::Slot& slot : slots) {
    if (slot.index == IdIndex::kAbsent) continue;
    if (slot.index >= dense) return fail("the id table names a node past the nodes");
    ++taken;
  }
  if (taken != dense || id_count != dense || (dense != 0 && taken * 2 > slot_count)) {
    return fail("the id table does not hold each node once");
  }
  g.dense_of = IdIndex::from_slots(std::move(slots), taken);
  // Street names: none at all, or a name number per edge and the offsets
  // of every name in the text.
  StreetNames& names = engine.names;
  if (!names.of_edge.empty() && names.of_edge.size() != edges) {
    return fail("section `name_of_edge` does not have one entry per edge");
  }
  if (!names.starts.empty()) {
    if (names.starts[0] != 0 || names.starts.back() != names.text.size()) {
      return fail("section `name_starts` does not span `name_text`");
    }
    for (std::size_t i = 1; i < names.starts.size(); ++i) {
      if (names.starts[i] < names.starts[i - 1]) return fail("section `name_starts` decreases");
    }
  } else if (!names.text.empty()) {
    return fail("section `name_text` has no `name_starts`");
  }
  const std::size_t name_total = name_count(names);
  for (std::uint32_t number : names.of_edge) {
    if (number > name_total) return fail("an edge of `name_of_edge` names no name");
  }
  // The nearest-node index: node indices, and an axis of three.
  if (engine.nearest_axis.size() != engine.nearest_order.size() || engine.nearest_order.size() > dense) {
    return fail("the sections of the nearest-node index differ in length");
  }
  for (std::uint32_t node : engine.nearest_order) {
    if (node >= dense) return fail("the nearest-node index names a node past the nodes");
  }
  for (std::uint8_t axis : engine.nearest_axis) {
    if (axis > 2) return fail("the nearest-node index has an axis other than 0, 1 or 2");
  }
  engine.has_nearest = true;
  // The risk layers, checked as a document's are; their facts are found
  // anew rather than trusted.
  if (const Found* layer_names = find(kLayerNamesSection); layer_names != nullptr) {
    const std::string_view text(reinterpret_cast<const char*>(layer_names->bytes.data()), layer_names->bytes.size());
    if (layer_names->element_bytes != 1 || text.empty() || text.back() != '\n') {
      return fail("section `layer_names` is not names, one a line");
    }
    std::size_t k = 0;
    for (std::size_t start = 0; start < text.size(); ++k) {
      const std::size_t end = text.find('\n', start);
      const std::string_view name = text.substr(start, end - start);
      start = end + 1;
      if (std::string problem = risk_layer_name_problem(name); !problem.empty()) return fail(problem);
      auto risks = array<double>(layer_section_name(k));
      if (!risks) return std::unexpected(risks.error());
      if (risks->size() != edges) return fail("risk layer \"" + std::string(name) + "\" has not one risk per edge");
      RiskLayer layer;
      layer.by_row.assign(risks->begin(), risks->end());
      for (std::size_t slot = 0; slot < edges; ++slot) {
        if (!acceptable_risk(layer.by_row[slot])) {
          return fail(risk_value_problem(name, g.out_edges[slot].edge_index, layer.by_row[slot]));
        }
      }
      layer.facts = cost_facts(g, [&](std::size_t slot) { return layer.by_row[slot]; });
      if (!engine.layers->add(std::make_shared<const NamedLayer>(NamedLayer{std::string(name), std::move(layer)}))) {
        return fail(risk_name_taken(name));
      }
    }
  }
  if (find(kLayerHoursSection) != nullptr) {
    const std::shared_ptr<const RiskLayers> layers = engine.layers->current();
    auto hours = array<double>(kLayerHoursSection);
    if (!hours) return std::unexpected(hours.error());
    if (hours->size() != 2 * layers->size()) return fail("section `layer_hours` has not two hours per risk layer");
    for (std::size_t k = 0; k < layers->size(); ++k) {
      const double start = (*hours)[2 * k], end = (*hours)[2 * k + 1];
      if (std::isnan(start) && std::isnan(end)) continue;
      const std::string& name = (*layers)[k]->name;
      if (std::string problem = layer_hours_problem(name, start, end); !problem.empty()) return fail(problem);
      engine.layers->set_hours(name, LayerHours{start, end});
    }
  }
  return engine;
}

// A read-only mapping of a whole file, unmapped when the last array that
// views it goes.
struct Mapping {
  void* base = MAP_FAILED;
  std::size_t bytes = 0;
  ~Mapping() {
    if (base != MAP_FAILED) munmap(base, bytes);
  }
};

}  // namespace

std::string snapshot_bytes(const EngineGraph& engine, const Sha256& source_sha256) {
  std::string out;
  write_all(engine, source_sha256, [&out](std::uint64_t offset, const void* data, std::size_t bytes) {
    if (out.size() < offset + bytes) out.resize(offset + bytes);
    if (bytes != 0) std::memcpy(out.data() + offset, data, bytes);
    return true;
  });
  return out;
}

std::expected<void, std::string> write_snapshot(const EngineGraph& engine, const Sha256& source_sha256,
                                                const std::string& path) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(system_error("cannot create", temporary));
  int failed_errno = 0;
  const bool written = write_all(engine, source_sha256, [&](std::uint64_t offset, const void* data, std::size_t bytes) {
    const auto* at = static_cast<const char*>(data);
    while (bytes > 0) {
      const ssize_t wrote = pwrite(fd, at, bytes, static_cast<off_t>(offset));
      if (wrote < 0) {
        if (errno == EINTR) continue;
        failed_errno = errno;
        return false;
      }
      at += wrote;
      offset += static_cast<std::uint64_t>(wrote);
      bytes -= static_cast<std::size_t>(wrote);
    }
    return true;
  });
  // Flushed before the rename, so that a crash leaves the old file or the
  // whole new one under the name, never a part.
  if (written && fsync(fd) != 0) failed_errno = errno;
  if (close(fd) != 0 && failed_errno == 0) failed_errno = errno;
  if (!written || failed_errno != 0) {
    unlink(temporary.c_str());
    errno = failed_errno;
    return std::unexpected(system_error("cannot write", temporary));
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int rename_errno = errno;
    unlink(temporary.c_str());
    errno = rename_errno;
    return std::unexpected(system_error("cannot rename a snapshot to", path));
  }
  return {};
}

std::expected<EngineGraph, SnapshotError> read_snapshot(std::span<const std::byte> bytes,
                                                        std::shared_ptr<const void> keeper, SnapshotFacts* facts) {
  return Reader(bytes, std::move(keeper)).read(facts);
}

std::expected<EngineGraph, SnapshotError> map_snapshot(const std::string& path, SnapshotFacts* facts) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return refuse(std::strerror(errno));
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    close(fd);
    return refuse(std::strerror(error));
  }
  auto mapping = std::make_shared<Mapping>();
  mapping->bytes = static_cast<std::size_t>(status.st_size);
  static constexpr std::byte kNothing[kSnapshotAlignment] = {};
  std::span<const std::byte> bytes(kNothing, 0);
  if (mapping->bytes != 0) {
    // Populated at once: the checksums read every page anyway, and one
    // call maps them all instead of a fault per few pages.
    mapping->base = mmap(nullptr, mapping->bytes, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (mapping->base == MAP_FAILED) {
      const int error = errno;
      close(fd);
      return refuse(std::string("cannot map it: ") + std::strerror(error));
    }
    bytes = std::span<const std::byte>(static_cast<const std::byte*>(mapping->base), mapping->bytes);
  }
  close(fd);  // the mapping holds the file
  return read_snapshot(bytes, std::move(mapping), facts);
}

}  // namespace norvel::engine

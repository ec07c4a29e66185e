#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "engine/engine_graph.hpp"

namespace norvel::engine {

// A snapshot file: an engine graph's arrays as they lie in memory, so that
// reading one is mapping it. Laid out in docs/documents.md ("Snapshots"):
//
//   fixed header (128 bytes): magic, format version, byte-order mark, file
//     size, section count, the section table's CRC32C, the source
//     document's SHA-256, and the header's own CRC32C;
//   section table: per section a name, offset, length, element count,
//     element size and CRC32C;
//   the sections, each at a multiple of 64 bytes, zeros between them.
//
// Every byte is covered by a checksum. A reader knows the sections of its
// version; a section it does not know is checked and left alone, so that a
// new kind of section (a risk layer, say) is one more row of the table.
inline constexpr std::array<unsigned char, 8> kSnapshotMagic = {0x89, 'N', 'O', 'R', 'V', 'E', 'L', '\n'};
inline constexpr std::uint32_t kSnapshotVersion = 2;
inline constexpr std::size_t kSnapshotHeaderBytes = 128;
inline constexpr std::size_t kSnapshotSectionBytes = 64;
inline constexpr std::size_t kSnapshotAlignment = 64;

using Sha256 = std::array<unsigned char, 32>;

// Why a snapshot was refused, without the file's name (the caller puts it
// first). `other_version` is set when the file is a sound snapshot of a
// format this reader does not read: the caller says how to make it again.
struct SnapshotError {
  std::string description;
  std::uint32_t other_version = 0;
};

// What the header says besides the arrays.
struct SnapshotFacts {
  std::uint32_t version = 0;
  Sha256 source_sha256{};
};

// Writes `engine` (its nearest-node index included, built if it has none)
// to `path` by way of a new temporary file beside it, flushed and renamed
// over `path`: a reader of the old file keeps reading the old file, and a
// reader of `path` never sees a part-written one. The error is the system's
// message.
std::expected<void, std::string> write_snapshot(const EngineGraph& engine, const Sha256& source_sha256,
                                                const std::string& path);

// The snapshot's bytes as the writer lays them out, for tests and fuzzing.
std::string snapshot_bytes(const EngineGraph& engine, const Sha256& source_sha256);

// Reads a snapshot from bytes that `keeper` keeps alive (aligned to 64
// bytes); the graph's arrays view them. Every byte is checked against its
// checksum, and every index against the arrays it points into, so that any
// bytes at all give either a graph the searches may read or an error.
std::expected<EngineGraph, SnapshotError> read_snapshot(std::span<const std::byte> bytes,
                                                        std::shared_ptr<const void> keeper,
                                                        SnapshotFacts* facts = nullptr);

// Maps the file read-only and reads it. The pages are the page cache's, so
// every process that maps the same file shares them.
std::expected<EngineGraph, SnapshotError> map_snapshot(const std::string& path, SnapshotFacts* facts = nullptr);

}  // namespace norvel::engine

#pragma once

#include <cstdint>

namespace norvel {

// OpenStreetMap node identifier: every 64-bit value is a valid id.
using NodeId = std::uint64_t;

}  // namespace norvel

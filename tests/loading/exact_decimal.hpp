#pragma once

#include <cstdint>
#include <string>

namespace norvel::testing {

// The exact decimal expansion of `significand` × 2^`binary_exponent`, as
// plain digits with a decimal point where the value has a fraction
// ("0.00048828125", "9007199254740993"). Every binary fraction has a finite
// decimal expansion, so this is exact; it serves to write the halfway point
// between two neighbouring doubles.
std::string exact_decimal(std::uint64_t significand, int binary_exponent);

}  // namespace norvel::testing

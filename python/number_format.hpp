#pragma once

#include <string>

namespace norvel::python {

// Fixed-point text of the exact binary value of `value`, correctly rounded to
// `digits` digits after the point with exact ties to the even digit. Never
// uses an exponent; keeps the sign of negative zero ("-0", "-0.000"); writes
// "NaN", "inf" and "-inf" whatever `digits` is. `digits` is at most 100.
std::string format_fixed(double value, int digits);

}  // namespace norvel::python

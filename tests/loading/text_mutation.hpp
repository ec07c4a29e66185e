#pragma once

#include <random>
#include <string>

namespace norvel::testing {

// One to three random edits of `text`: flipped, replaced, inserted and
// deleted bytes, troublesome snippets, deep nesting, repeated slices.
std::string mutate(std::string text, std::mt19937_64& random);

}  // namespace norvel::testing

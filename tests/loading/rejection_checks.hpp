#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "loading/graph_loader.hpp"

namespace norvel::testing {

// Whether `error` is a message the document format can give for `text`: a
// known description, the "at line N column M" form, and a position that
// lies inside the text.
::testing::AssertionResult is_well_formed_rejection(std::string_view text, const DocumentError& error);

}  // namespace norvel::testing

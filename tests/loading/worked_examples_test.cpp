#include <gtest/gtest.h>

#include <string>

#include "loading_test_support.hpp"

namespace norvel {
namespace {

using testing::message_of;

struct Case {
  std::string text;
  std::string message;
};

void expect_messages(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(message_of(c.text), c.message) << "text: " << c.text;
}

TEST(LoadingWorkedExamples, MessagesOfTheDocumentFormat) {
  expect_messages({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{}", "missing field `nodes` at line 1 column 2"},
      {"[]", "invalid length 0, expected struct GraphJson with 2 elements at line 1 column 2"},
      {R"({"nodes":[],"edges":[]} x)", "trailing characters at line 1 column 25"},
      {R"({"nodes":{},"edges":[]})", "invalid type: map, expected a sequence at line 1 column 9"},
      {R"({"nodes":[],"nodes":[]})", "duplicate field `nodes` at line 1 column 19"},
      {R"({"nodes":[{"id":-1,"lat":0,"lon":0}],"edges":[]})",
       "invalid value: integer `-1`, expected u64 at line 1 column 18"},
      {R"({"nodes":[{"id":1,"lat":"48.85","lon":2.35}],"edges":[]})",
       R"(invalid type: string "48.85", expected f64 at line 1 column 31)"},
      {R"({"nodes":[[1,48.85]],"edges":[]})",
       "invalid length 2, expected struct NodeJson with 3 elements at line 1 column 19"},
      {R"({"nodes":[],"edges":[[1,2,10.0,0.5,null,7]]})", "trailing characters at line 1 column 41"},
      {"{\n  \"nodes\": [],\n  \"edges\": [\n    {\"from\": 1, \"to\": 2, \"distance_m\": 5.0}\n  ]\n}",
       "missing field `risk_score` at line 4 column 43"},
  });
}

TEST(LoadingWorkedExamples, EdgeCasesOfTheDocumentFormat) {
  expect_messages({
      {R"({"edges":[],"nodes":[]})", "accepted"},
      {R"({"nodes":[],"edges":[],"meta":{"deep":[[[{}]]]}})", "accepted"},
      {R"({"m":1,"nodes":[],"m":"two","edges":[],"m":[3]})", "accepted"},
      {R"({"nodes":[],"edges":[[1,2,10.0,0.5]]})",
       "invalid length 4, expected struct EdgeJson with 5 elements at line 1 column 35"},
      {R"({"nodes":[],"edges":[[1,2,10.0,0.5,]]})", "trailing comma at line 1 column 36"},
      {R"({"nodes":[{"id":1.0,"lat":0,"lon":0}],"edges":[])",
       "invalid type: floating point `1.0`, expected u64 at line 1 column 19"},
      {R"({"nodes":[[18446744073709551615,0,0]],"edges":[]})", "accepted"},
      {R"({"nodes":[[18446744073709551616,0,0]],"edges":[]})",
       "invalid type: floating point `18446744073709551616.0`, expected u64 at line 1 column 31"},
      {"{\"nodes\":[],\"edges\":[]} \t\r\n \n", "accepted"},
      {"\xEF\xBB\xBF{\"nodes\":[],\"edges\":[]}", "expected value at line 1 column 1"},
      {R"({"Nodes":[],"edges":[]})", "missing field `nodes` at line 1 column 23"},
      {R"({"nodes":[{"id":1,"lat":2}],"edges":[]})", "missing field `lon` at line 1 column 26"},
      {R"({"nodes":[{"id":1,"lat":NaN,"lon":0}],"edges":[]})", "expected value at line 1 column 25"},
      {R"({"n\u006fdes":[],"edges":[]})", "accepted"},
      {R"({"n\u006fdes":[],"edges":[],"\u006eodes":[]})", "duplicate field `nodes` at line 1 column 40"},
      // The repeated name and the whitespace after it are consumed; the
      // colon is not.
      {R"({"nodes":[],"nodes" :[]})", "duplicate field `nodes` at line 1 column 20"},
      {R"([[{"id":1,"lat":2,"lon":3,"lat"}],[]])", "duplicate field `lat` at line 1 column 31"},
  });
}

// Line feeds start lines; tabs, carriage returns and every byte of a
// multi-byte character count as one column each.
TEST(LoadingWorkedExamples, PositionsCountLinesAndBytes) {
  expect_messages({
      {"{\r\n\t\"nodes\": [],\r\n\t\"\xC3\xBC\": \"\xE6\x97\xA5\", \r\"edges\": [[1, 2, 3.0, true, null]]\r\n}",
       "invalid type: boolean `true`, expected f64 at line 3 column 41"},
      {"\n\n\n", "EOF while parsing a value at line 4 column 0"},
      {"{\"nodes\":[],\n\"edges\":[]}\n\n  x", "trailing characters at line 4 column 3"},
      {"{\"nodes\":[],\"edges\":[]\n}\n}", "trailing characters at line 3 column 1"},
      {"{\"nodes\":[],\"edges\":[],\"\xC3\xA9t\xC3\xA9\":1,\n\t\t\"\xF0\x9F\x9A\xB2\"", "EOF while parsing an object at line 2 column 8"},
      {"[\n[\n]\n,\n[\n[1,2,3,4]]]", "invalid length 4, expected struct EdgeJson with 5 elements at line 6 column 9"},
      // The error is at the start of a line: column 0.
      {"{\"nodes\":[],\"edges\":[]\n", "EOF while parsing an object at line 2 column 0"},
  });
}

}  // namespace
}  // namespace norvel

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "document_generator.hpp"
#include "form_only_syntax.hpp"
#include "loading/graph_document_reader.hpp"
#include "loading_test_support.hpp"
#include "text_mutation.hpp"

namespace norvel {
namespace {

using testing::as_skipped;
using testing::message_of;

struct Case {
  std::string text;
  std::string message;
};

// Each description at the start of a text, inside it and at its last byte,
// in recognised records and in skipped values.
const std::vector<Case>& syntax_cases() {
  static const std::vector<Case> cases = {
      {std::string("", 0), "EOF while parsing a value at line 1 column 0"},
      {std::string("  \012\011 ", 5), "EOF while parsing a value at line 2 column 2"},
      {std::string("{\"nodes\":", 9), "EOF while parsing a value at line 1 column 9"},
      {std::string("{\"nodes\":[],", 12), "EOF while parsing a value at line 1 column 12"},
      {std::string("[[[1,", 5), "EOF while parsing a value at line 1 column 5"},
      {std::string("[[],[[1,2,3,4,-", 15), "EOF while parsing a value at line 1 column 15"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":tr", 29), "EOF while parsing a value at line 1 column 29"},
      {std::string("{\"nodes\":[{\"id\":1,\"lat\":1.", 26), "EOF while parsing a value at line 1 column 26"},
      {std::string("[[[1,2e+", 8), "EOF while parsing a value at line 1 column 8"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[[1,", 31), "EOF while parsing a value at line 1 column 31"},
      {std::string("{\"x\":{\"a\":1,", 12), "EOF while parsing a value at line 1 column 12"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":-", 28), "EOF while parsing a value at line 1 column 28"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":1.", 29), "EOF while parsing a value at line 1 column 29"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":1e", 29), "EOF while parsing a value at line 1 column 29"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[1.5E-", 33), "EOF while parsing a value at line 1 column 33"},
      {std::string("[", 1), "EOF while parsing a list at line 1 column 1"},
      {std::string("{\"nodes\":[", 10), "EOF while parsing a list at line 1 column 10"},
      {std::string("[[[1,2,3]", 9), "EOF while parsing a list at line 1 column 9"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[1", 29), "EOF while parsing a list at line 1 column 29"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[[]", 30), "EOF while parsing a list at line 1 column 30"},
      {std::string("[\012[\012", 4), "EOF while parsing a list at line 3 column 0"},
      {std::string("{", 1), "EOF while parsing an object at line 1 column 1"},
      {std::string("{\"nodes\"", 8), "EOF while parsing an object at line 1 column 8"},
      {std::string("{\"nodes\":[]", 11), "EOF while parsing an object at line 1 column 11"},
      {std::string("{\"nodes\":[{\"id\":1", 17), "EOF while parsing an object at line 1 column 17"},
      {std::string("{\"x\":{", 6), "EOF while parsing an object at line 1 column 6"},
      {std::string("{\"x\":{\"a\"", 9), "EOF while parsing an object at line 1 column 9"},
      {std::string("{\"x\":{\"a\":1", 11), "EOF while parsing an object at line 1 column 11"},
      {std::string("{\015\012\"nodes\" \015\012", 13), "EOF while parsing an object at line 3 column 0"},
      {std::string("\"", 1), "EOF while parsing a string at line 1 column 1"},
      {std::string("{\"nod", 5), "EOF while parsing a string at line 1 column 5"},
      {std::string("{\"x\":\"abc\\", 10), "EOF while parsing a string at line 1 column 10"},
      {std::string("{\"x\":\"\\u12", 10), "EOF while parsing a string at line 1 column 10"},
      {std::string("{\"\\uD800", 8), "EOF while parsing a string at line 1 column 8"},
      {std::string("{\"\\uD800\\", 9), "EOF while parsing a string at line 1 column 9"},
      {std::string("[[[1,2,\"\\uD83D\\uDE", 18), "EOF while parsing a string at line 1 column 18"},
      {std::string("x", 1), "expected value at line 1 column 1"},
      {std::string("{\"nodes\":[{\"id\":1,\"lat\":NaN", 27), "expected value at line 1 column 25"},
      {std::string("{\"nodes\":]", 10), "expected value at line 1 column 10"},
      {std::string("[,]", 3), "expected value at line 1 column 2"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":}", 28), "expected value at line 1 column 28"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":+1}", 30), "expected value at line 1 column 28"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[[],.5]}", 35), "expected value at line 1 column 32"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[1,}]}", 33), "expected value at line 1 column 31"},
      {std::string("tx", 2), "expected ident at line 1 column 2"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":nulL}", 32), "expected ident at line 1 column 31"},
      {std::string("[[],[[1,2,3,4,nulx", 18), "expected ident at line 1 column 18"},
      {std::string("[[[1,2,trUe]]]", 14), "expected ident at line 1 column 10"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[f,1]}", 33), "expected ident at line 1 column 30"},
      {std::string("{\"nodes\"]", 9), "expected `:` at line 1 column 9"},
      {std::string("{\"nodes\" []", 11), "expected `:` at line 1 column 10"},
      {std::string("{\"x\":{\"a\" 1}}", 13), "expected `:` at line 1 column 11"},
      {std::string("{\"nodes\":[{\"id\"=1", 17), "expected `:` at line 1 column 16"},
      {std::string("{\"nodes\"\000:[]", 12), "expected `:` at line 1 column 9"},
      {std::string("[[] []]", 7), "expected `,` or `]` at line 1 column 5"},
      {std::string("{\"nodes\":[[1,2 3]]", 18), "expected `,` or `]` at line 1 column 16"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[1 2]}", 33), "expected `,` or `]` at line 1 column 31"},
      {std::string("[[]x", 4), "expected `,` or `]` at line 1 column 4"},
      {std::string("{\"nodes\":[{\"id\":1,\"lat\":2,\"lon\":3} {", 36), "expected `,` or `]` at line 1 column 36"},
      {std::string("{\"nodes\":[] \"edges\"", 19), "expected `,` or `}` at line 1 column 13"},
      {std::string("{\"nodes\":[{\"id\":1 \"lat\"", 23), "expected `,` or `}` at line 1 column 19"},
      {std::string("{\"x\":{\"a\":1 \"b\"", 15), "expected `,` or `}` at line 1 column 13"},
      {std::string("{\"nodes\":[]]", 12), "expected `,` or `}` at line 1 column 12"},
      {std::string("{\"nodes\":[],\"edges\":[]\012;", 24), "expected `,` or `}` at line 2 column 1"},
      {std::string("{1", 2), "key must be a string at line 1 column 2"},
      {std::string("{,", 2), "key must be a string at line 1 column 2"},
      {std::string("{\"nodes\":[{id:1}]", 17), "key must be a string at line 1 column 12"},
      {std::string("{\"x\":{1:2}}", 11), "key must be a string at line 1 column 7"},
      {std::string("{'", 2), "key must be a string at line 1 column 2"},
      {std::string("{\"nodes\":[],\014\"edges\":[]}", 24), "key must be a string at line 1 column 13"},
      {std::string("{\"nodes\":[],\013\"edges\":[]}", 24), "key must be a string at line 1 column 13"},
      {std::string("{\"nodes\":[],\012 ]", 15), "key must be a string at line 2 column 2"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":{\"a\":1,]}}", 37), "key must be a string at line 1 column 35"},
      {std::string("{\"nodes\":[],}", 13), "trailing comma at line 1 column 13"},
      {std::string("[[],[],]", 8), "trailing comma at line 1 column 8"},
      {std::string("{\"nodes\":[[1,2,3],]", 19), "trailing comma at line 1 column 19"},
      {std::string("[[[1,2,]", 8), "trailing comma at line 1 column 8"},
      {std::string("{\"nodes\":[{\"id\":1,}", 19), "trailing comma at line 1 column 19"},
      {std::string("[[],[[1,2,10.0,0.5,]", 20), "trailing comma at line 1 column 20"},
      {std::string("{\"nodes\":[],\012 }", 15), "trailing comma at line 2 column 2"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[1,]}", 32), "trailing comma at line 1 column 31"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":\012  [1, 2,\012   ]}", 42), "trailing comma at line 3 column 4"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":{\"a\":1,}}", 36), "trailing comma at line 1 column 35"},
      {std::string("{\"nodes\":[],\"edges\":[]} x", 25), "trailing characters at line 1 column 25"},
      {std::string("[[],[],1]", 9), "trailing characters at line 1 column 8"},
      {std::string("[[[1,2,3,4]]", 12), "trailing characters at line 1 column 10"},
      {std::string("[[[1,2,3 x]]", 12), "trailing characters at line 1 column 10"},
      {std::string("[[[1,2,3,", 9), "trailing characters at line 1 column 9"},
      {std::string("[[],[[1,2,3,4,5 ,\0126]]]", 22), "trailing characters at line 2 column 1"},
      {std::string("{\"nodes\":[],\"edges\":[]}}", 24), "trailing characters at line 1 column 24"},
      {std::string("[[],[]]\000", 8), "trailing characters at line 1 column 8"},
      {std::string("[[],[]\000", 7), "trailing characters at line 1 column 7"},
      {std::string("-x", 2), "invalid number at line 1 column 2"},
      {std::string("01", 2), "invalid number at line 1 column 2"},
      {std::string("{\"nodes\":[{\"id\":1.e", 19), "invalid number at line 1 column 19"},
      {std::string("[[[1,2.5e+x", 11), "invalid number at line 1 column 11"},
      {std::string("[[[1,-.", 7), "invalid number at line 1 column 7"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[00]}", 32), "invalid number at line 1 column 30"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":-a}", 30), "invalid number at line 1 column 29"},
      {std::string("[[[1,2,3.5e-]]]", 15), "invalid number at line 1 column 13"},
      {std::string("1e400", 5), "number out of range at line 1 column 5"},
      {std::string("[[[1,2,-1e999]]]", 16), "number out of range at line 1 column 13"},
      {std::string("[[[1e309,0,0]],[]]", 18), "number out of range at line 1 column 8"},
      {std::string("[[[1,1e999999999999", 19), "number out of range at line 1 column 17"},
      {std::string("[[[1,2,1000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000]]]", 320), "number out of range at line 1 column 317"},
      {std::string("\"\001", 2), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {std::string("{\"no\012des\"", 9), "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {std::string("{\"x\":\"a\011b\"", 10), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {std::string("{\"x\":\"\037", 7), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      {std::string("{\"nodes\":[],\"edges\":[],\"x\":[\"\000\"]}", 33), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 30"},
      {std::string("\"\\a\"", 4), "invalid escape at line 1 column 3"},
      {std::string("{\"\\x\"", 5), "invalid escape at line 1 column 4"},
      {std::string("{\"x\":\"\\u12G4\"}", 14), "invalid escape at line 1 column 11"},
      {std::string("[[[1,2,\"\\'", 10), "invalid escape at line 1 column 10"},
      {std::string("{\"\\U0041\":1}", 12), "invalid escape at line 1 column 4"},
      {std::string("\"\\uDC00\"", 8), "lone leading surrogate in hex escape at line 1 column 7"},
      {std::string("{\"\\uD800\\u0041\"", 15), "lone leading surrogate in hex escape at line 1 column 14"},
      {std::string("[[[1,\"\\uDFFF\"", 13), "lone leading surrogate in hex escape at line 1 column 12"},
      {std::string("{\"a\\uDBFF\\uDBFF", 15), "lone leading surrogate in hex escape at line 1 column 15"},
      {std::string("\"\\uD800x", 8), "unexpected end of hex escape at line 1 column 8"},
      {std::string("{\"\\uD800\\n\"}", 12), "unexpected end of hex escape at line 1 column 10"},
      {std::string("{\"\\uDBFF\"", 9), "unexpected end of hex escape at line 1 column 9"},
      {std::string("{\"nodes\":[],\"edges\":[[1,2,3,4,\"\\ud83d\\/\"]]}", 43), "unexpected end of hex escape at line 1 column 39"},
      {std::string("\"\377\"", 3), "invalid unicode code point at line 1 column 2"},
      {std::string("{\"\303(\":1}", 8), "invalid unicode code point at line 1 column 4"},
      {std::string("{\"nodes\":[],\"edges\":[],\"\355\240\200\":1}", 31), "invalid unicode code point at line 1 column 26"},
      {std::string("[[[1,2,\"\364\220\200\200\"", 13), "invalid unicode code point at line 1 column 10"},
  };
  return cases;
}

TEST(LoadingSyntaxErrors, EveryDescriptionWithItsPosition) {
  for (const Case& c : syntax_cases()) {
    EXPECT_EQ(message_of(c.text), c.message) << "text: " << c.text;
  }
}

// Skipped values are checked for form only: a surrogate escape standing
// alone or a number beyond the double range is well-formed JSON.
TEST(LoadingSyntaxErrors, SkippedValuesNeedOnlyBeWellFormed) {
  for (const char* value : {R"("\uDC00")", R"("\uD800")", R"("\uD800\n")", R"({"\uDFFF":1})", "1e999999",
                            "-1E-999999", "123456789012345678901234567890e99999999999999", "\"\xFF\"",
                            R"([[[],{}],{"a":[{"b":null}]}])", "[true,false,null,-0.0,\"\"]", " \t\r\n0 "}) {
    EXPECT_EQ(message_of(as_skipped(value)), "accepted") << value;
  }
}

// A million nested arrays in an unrecognised member are skipped without
// recursion; left open, the text ends inside the innermost one.
TEST(LoadingSyntaxErrors, NestingOfAnyDepthIsSkipped) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string nested = std::string(kDepth, '[') + std::string(kDepth, ']');
  EXPECT_EQ(message_of(as_skipped(nested)), "accepted");

  std::string objects;
  for (std::size_t i = 0; i < kDepth / 10; ++i) objects += "{\"a\":";
  objects += "1" + std::string(kDepth / 10, '}');
  EXPECT_EQ(message_of(as_skipped(objects)), "accepted");

  std::string open = R"({"nodes":[],"edges":[],"x":)" + std::string(kDepth, '[');
  EXPECT_EQ(message_of(open), "EOF while parsing a list at line 1 column " + std::to_string(open.size()));

  std::string mismatched = as_skipped(std::string(kDepth, '[') + "}");
  EXPECT_EQ(message_of(mismatched), "expected value at line 1 column " + std::to_string(27 + kDepth + 1));

  // Recognised records are at most four deep: a nested array where an id is
  // due is a value of the wrong kind, not a deeper record.
  EXPECT_EQ(message_of("[[[" + std::string(kDepth, '[')),
            "invalid type: sequence, expected u64 at line 1 column 3");
}

// What both readers make of `text`, which must be the same: the failure,
// or "accepted" at the end of the text.
ReadFailure failure_of_both(std::string_view text) {
  GraphBuilder quick_records, careful_records;
  ReadFailure quick, careful;
  const bool quick_read = read_graph_document(text, quick_records, quick);
  const bool careful_read = read_graph_document_carefully(text, careful_records, careful);
  EXPECT_EQ(quick_read, careful_read) << text;
  EXPECT_EQ(quick.description, careful.description) << text;
  EXPECT_EQ(quick.offset, careful.offset) << text;
  if (quick_read) return {text.size(), "accepted"};
  return quick;
}

// The text before a skipped value and the text that completes the document
// after it: an unrecognised member of the graph, of a node object and of an
// edge object that follows a record the quick reader took.
struct Host {
  std::string_view before;
  std::string_view after;
};
constexpr Host kHosts[] = {
    {R"({"nodes":[],"edges":[],"x":)", "}"},
    {R"({"nodes":[{"id":1,"x":)", R"(,"lat":0,"lon":0}],"edges":[]})"},
    {R"([[],[[1,2,3,4,null],{"from":1,"to":2,"x":)", R"(,"distance_m":0,"risk_score":0}]])"},
};

// A value `depth` levels deep holding every kind of token at each level,
// with and without whitespace around them.
std::string every_token_value(int depth) {
  if (depth == 0) return "-0.5E-2";
  const std::string inner = every_token_value(depth - 1);
  if (depth % 2 == 0) return "{\"s\":\"\\n\\uD83D\\uDEB2\",\"v\":[" + inner + ",1.25, -0 ], \"e\" : {} ,\"t\":true}";
  return "[-12.5e+3, 0,\"a\\\"\\u00e9\" ,false,\n {\"k\" :" + inner + " , \"z\":null} ,[ ],{}, 7E1]";
}

// Nested skipped values in the graph, in node and edge objects, beside
// records of both forms.
std::string document_with_nested_skipped_values() {
  const std::string value = every_token_value(6);
  return "{\"meta\":" + value + ",\"nodes\":[{\"id\":1,\"m\":" + value +
         ",\"lat\":0.5,\"lon\":-2e-1},[2,0,0]],\n\"edges\":[[1,2,3,4,null],{\"from\":1,\"m\":" + value +
         ",\"to\":2,\"distance_m\":1,\"risk_score\":0}],\"x\":" + value + "}";
}

// Every proper prefix of a valid document ends too early: the message names
// the end of the text, inside a skipped value as anywhere else.
TEST(LoadingSyntaxErrors, TruncationAtEveryByteEndsAtTheEndOfTheText) {
  std::mt19937_64 random(7);
  std::vector<std::string> documents = {document_with_nested_skipped_values()};
  for (int round = 0; round < 40; ++round) documents.push_back(testing::generate_document(random).text);
  for (const std::string& text : documents) {
    ASSERT_EQ(message_of(text), "accepted") << text;
    for (std::size_t length = 0; length < text.size(); ++length) {
      std::string_view prefix(text.data(), length);
      std::expected<RoadGraph, DocumentError> graph = load_graph(prefix);
      failure_of_both(prefix);
      if (text.find_first_not_of(" \t\r\n", length) == std::string::npos) {
        EXPECT_TRUE(graph.has_value()) << prefix;
        continue;
      }
      ASSERT_FALSE(graph.has_value()) << prefix;
      const DocumentError& error = graph.error();
      EXPECT_TRUE(error.description.starts_with("EOF while parsing")) << prefix << "\n" << error.message();
      std::size_t line = 1 + static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '\n'));
      std::size_t last_line_feed = prefix.rfind('\n');
      std::size_t column = last_line_feed == std::string_view::npos ? length : length - last_line_feed - 1;
      EXPECT_EQ(error.line, line) << prefix;
      EXPECT_EQ(error.column, column) << prefix;
    }
  }
}

// The faults that skipping once described its own way, in the innermost
// array or object of a skipped value 1 to 6 levels deep: a comma before the
// closer, the text ending after a comma or inside a number.
TEST(LoadingSyntaxErrors, FaultsInSkippedValuesOfEveryDepth) {
  auto expect = [](const std::string& text, std::string_view description, std::string_view position) {
    EXPECT_EQ(message_of(text), std::string(description) + " at " + std::string(position)) << text;
    failure_of_both(text);
  };
  auto column = [](std::size_t offset) { return "line 1 column " + std::to_string(offset); };
  for (const Host& host : kHosts) {
    for (int depth = 1; depth <= 6; ++depth) {
      for (bool array : {true, false}) {
        // `open` stops just after the innermost container's first element
        // and its comma; every outer level holds an element before it.
        std::string open = array ? "[1," : "{\"a\":1,";
        std::string close = array ? "]" : "}";
        bool outer_array = array;
        for (int level = 1; level < depth; ++level) {
          outer_array = !outer_array;
          open.insert(0, outer_array ? "[true, " : "{\"k\":null, \"v\":");
          close += outer_array ? "]" : "}";
        }
        const std::string start = std::string(host.before) + open;
        const std::string rest = close + std::string(host.after);

        expect(start + rest, "trailing comma", column(start.size() + 1));
        expect(start + "\n\t" + rest, "trailing comma", "line 2 column 2");
        expect(start, "EOF while parsing a value", column(start.size()));
        expect(start + " \r\n", "EOF while parsing a value", "line 2 column 0");
        const std::string value_due = start + (array ? "" : "\"b\":");
        for (std::string_view number : {"-", "7.", "-0.5e", "8E+", "9e-"}) {
          const std::string text = value_due + std::string(number);
          expect(text, "EOF while parsing a value", column(text.size()));
        }
      }
    }
  }
}

// A syntax error reads the same wherever it is: a document text that fails
// with one fails the same way, at the same byte, put whole where a value is
// skipped. Left out are the descriptions that need a value's meaning or the
// end of the document.
TEST(LoadingSyntaxErrors, AFaultReadsTheSameInRecordsAndInSkippedValues) {
  std::size_t compared = 0;
  auto expect_same_when_skipped = [&](std::string_view text) {
    const ReadFailure there = failure_of_both(text);
    if (!testing::is_form_only_syntax(there.description)) return;
    ++compared;
    for (const Host& host : kHosts) {
      const std::string skipped = std::string(host.before).append(text);
      const ReadFailure here = failure_of_both(skipped);
      EXPECT_EQ(here.description, there.description) << skipped;
      EXPECT_EQ(here.offset, host.before.size() + there.offset) << skipped;
    }
  };

  for (const Case& c : syntax_cases()) expect_same_when_skipped(c.text);
  const std::string nested = document_with_nested_skipped_values();
  for (std::size_t length = 0; length < nested.size(); ++length) expect_same_when_skipped(nested.substr(0, length));
  std::mt19937_64 random(2024);
  const testing::GeneratorOptions options{.max_nodes = 4, .max_edges = 4};
  for (int round = 0; round < 3000; ++round) {
    expect_same_when_skipped(testing::mutate(testing::generate_document(random, options).text, random));
    if (HasFailure()) return;
  }
  EXPECT_GT(compared, 3000u);
}

}  // namespace
}  // namespace norvel

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "loading_test_support.hpp"

namespace norvel {
namespace {

using testing::message_of;

// A document whose only node has `id_text` as its id.
std::string with_id(const std::string& id_text) { return "[[[" + id_text + ",0,0]],[]]"; }
// A document whose only node has `lat_text` as its latitude.
std::string with_lat(const std::string& lat_text) { return "[[[0," + lat_text + ",0]],[]]"; }

std::string id_message(const std::string& id_text) { return message_of(with_id(id_text)); }
std::string lat_message(const std::string& lat_text) { return message_of(with_lat(lat_text)); }

// Expected message for a failure at the end of the value in `with_id`.
std::string at_id_end(const std::string& description, const std::string& id_text) {
  return description + " at line 1 column " + std::to_string(3 + id_text.size());
}

double read_lat(const std::string& lat_text) {
  std::expected<RoadGraph, DocumentError> graph = load_graph(with_lat(lat_text));
  EXPECT_TRUE(graph.has_value()) << lat_text << ": " << (graph ? "" : graph.error().message());
  return graph ? graph->nodes.at(0).lat : -1.0;
}

TEST(LoadingValueRules, NodeIdsAreUnsigned64BitIntegers) {
  for (const char* text : {"0", "7", "9999999999999999999", "18446744073709551615"}) {
    for (const std::string& document : {with_id(text), with_id(text) + std::string(64, ' ')}) {
      std::expected<RoadGraph, DocumentError> graph = load_graph(document);
      ASSERT_TRUE(graph.has_value()) << text;
      EXPECT_EQ(graph->nodes.at(0).id, std::stoull(text));
    }
  }
  struct Rejected {
    std::string id;
    std::string description;
  };
  for (const Rejected& r : std::vector<Rejected>{
           {"-1", "invalid value: integer `-1`, expected u64"},
           {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u64"},
           {"-9223372036854775809", "invalid type: floating point `-9223372036854775808.0`, expected u64"},
           {"-0", "invalid type: floating point `-0.0`, expected u64"},
           {"0.0", "invalid type: floating point `0.0`, expected u64"},
           {"1.5", "invalid type: floating point `1.5`, expected u64"},
           {"1e3", "invalid type: floating point `1000.0`, expected u64"},
           {"1E2", "invalid type: floating point `100.0`, expected u64"},
           {"12.5e-1", "invalid type: floating point `1.25`, expected u64"},
           {"100000000000000000000", "invalid type: floating point `1e+20`, expected u64"},
           {"-18446744073709551616", "invalid type: floating point `-18446744073709551616.0`, expected u64"},
           {"1e22", "invalid type: floating point `1e+22`, expected u64"},
           {"1.5e-7", "invalid type: floating point `1.5e-7`, expected u64"},
           {"1e-300", "invalid type: floating point `1e-300`, expected u64"},
           {"-2.5E+300", "invalid type: floating point `-2.5e+300`, expected u64"},
           {"123456789.125", "invalid type: floating point `123456789.125`, expected u64"},
           {"1e-400", "invalid type: floating point `0.0`, expected u64"},
           {"-1e-400", "invalid type: floating point `-0.0`, expected u64"},
           {"\"1\"", "invalid type: string \"1\", expected u64"},
           {"true", "invalid type: boolean `true`, expected u64"},
           {"false", "invalid type: boolean `false`, expected u64"},
           {"null", "invalid type: null, expected u64"},
       }) {
    EXPECT_EQ(id_message(r.id), at_id_end(r.description, r.id)) << r.id;
    // Followed by more text, the number is read the same.
    EXPECT_EQ(message_of(with_id(r.id) + std::string(64, '\n')), at_id_end(r.description, r.id)) << r.id;
  }
  // Containers are not entered: the position is just before them.
  EXPECT_EQ(id_message("[1]"), "invalid type: sequence, expected u64 at line 1 column 3");
  EXPECT_EQ(id_message("{}"), "invalid type: map, expected u64 at line 1 column 3");
  EXPECT_EQ(message_of(R"({"nodes":[],"edges":[{"from":1,"to":-42,"distance_m":1,"risk_score":1}]})"),
            "invalid value: integer `-42`, expected u64 at line 1 column 39");
}

TEST(LoadingValueRules, DoublesTakeAnyNumberWithinRange) {
  EXPECT_EQ(read_lat("120"), 120.0);
  EXPECT_EQ(read_lat("-5"), -5.0);
  EXPECT_EQ(read_lat("60.1699123"), 60.1699123);
  EXPECT_EQ(read_lat("-0.0"), 0.0);
  EXPECT_TRUE(std::signbit(read_lat("-0.0")));
  EXPECT_TRUE(std::signbit(read_lat("-0")));
  EXPECT_EQ(read_lat("18446744073709551615"), 18446744073709551615.0);
  EXPECT_EQ(read_lat("-9223372036854775808"), -9223372036854775808.0);
  EXPECT_EQ(read_lat("1.7976931348623157e308"), 1.7976931348623157e308);
  EXPECT_EQ(read_lat("4.9e-324"), 4.9e-324);
  // Below the smallest double: zero, keeping the sign.
  EXPECT_EQ(read_lat("2e-324"), 0.0);
  EXPECT_TRUE(std::signbit(read_lat("-1e-400")));
  EXPECT_EQ(read_lat("1e-99999999999"), 0.0);
  EXPECT_EQ(read_lat("0e99999999999"), 0.0);
  EXPECT_EQ(read_lat("0.000e400"), 0.0);
  EXPECT_EQ(read_lat(std::string("1").append(300, '0')), 1e300);

  EXPECT_EQ(lat_message("1e309"), "number out of range at line 1 column 10");
  EXPECT_EQ(lat_message("-1e309"), "number out of range at line 1 column 11");
  EXPECT_EQ(lat_message("1.7976931348623159e308"), "number out of range at line 1 column 27");
  EXPECT_EQ(lat_message("0.01e311"), "number out of range at line 1 column 13");
  EXPECT_EQ(lat_message(std::string("1").append(400, '0')), "number out of range at line 1 column 406");
  // An exponent beyond 32 bits is out of range at the digit that overflows.
  EXPECT_EQ(lat_message("1e99999999999"), "number out of range at line 1 column 17");
  EXPECT_EQ(lat_message("1e2147483647"), "number out of range at line 1 column 17");

  EXPECT_EQ(lat_message("null"), "invalid type: null, expected f64 at line 1 column 9");
  EXPECT_EQ(lat_message("true"), "invalid type: boolean `true`, expected f64 at line 1 column 9");
  EXPECT_EQ(lat_message("[]"), "invalid type: sequence, expected f64 at line 1 column 5");
  EXPECT_EQ(lat_message("{\"a\":1}"), "invalid type: map, expected f64 at line 1 column 5");
}

TEST(LoadingValueRules, FamiliarityMayBeNullOrAbsent) {
  const char* accepted[] = {
      R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":1}]})",
      R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":1,"familiarity":null}]})",
      R"({"nodes":[],"edges":[[1,2,1,1,null]]})",
  };
  for (const char* text : accepted) {
    std::expected<RoadGraph, DocumentError> graph = load_graph(text);
    ASSERT_TRUE(graph.has_value()) << text;
    EXPECT_EQ(edge_list(*graph).at(0).familiarity, 0.0);
  }
  EXPECT_EQ(message_of(R"({"nodes":[],"edges":[[1,2,1,1,"x"]]})"),
            "invalid type: string \"x\", expected f64 at line 1 column 33");
  EXPECT_EQ(message_of(R"({"nodes":[],"edges":[[1,2,1,1,nulx]]})"), "expected ident at line 1 column 34");
  EXPECT_EQ(message_of(R"({"nodes":[],"edges":[[1,2,1,1,false]]})"),
            "invalid type: boolean `false`, expected f64 at line 1 column 35");
  // Given once, even as null, it may not be given again.
  EXPECT_EQ(message_of(R"({"nodes":[],"edges":[{"familiarity":null,"familiarity":0.5}]})"),
            "duplicate field `familiarity` at line 1 column 54");
}

TEST(LoadingValueRules, StringsInMessagesAreDecodedAndQuoted) {
  EXPECT_EQ(lat_message(R"("a\"b\\c\td\ne\rf\u0001g\u0000h\u007fi\u00e9j\/k\b\f")"),
            R"(invalid type: string "a\"b\\c\td\ne\rf\u{1}g\0h\u{7f}iéj/k\u{8}\u{c}", expected f64 at line 1 column 58)");
  EXPECT_EQ(lat_message("\"\xE6\x97\xA5\\uD83D\\uDEB2\""),
            "invalid type: string \"\xE6\x97\xA5\xF0\x9F\x9A\xB2\", expected f64 at line 1 column 22");
  EXPECT_EQ(lat_message(R"("")"), R"(invalid type: string "", expected f64 at line 1 column 7)");
  EXPECT_EQ(message_of(R"("graph")"), R"(invalid type: string "graph", expected struct GraphJson at line 1 column 7)");
  EXPECT_EQ(message_of("17"), "invalid type: integer `17`, expected struct GraphJson at line 1 column 2");
  EXPECT_EQ(message_of("-17"), "invalid type: integer `-17`, expected struct GraphJson at line 1 column 3");
  EXPECT_EQ(message_of(" null "), "invalid type: null, expected struct GraphJson at line 1 column 5");
  EXPECT_EQ(message_of(R"({"nodes":[true],"edges":[]})"),
            "invalid type: boolean `true`, expected struct NodeJson at line 1 column 14");
  EXPECT_EQ(message_of(R"({"nodes":[],"edges":[2.50]})"),
            "invalid type: floating point `2.5`, expected struct EdgeJson at line 1 column 25");
  EXPECT_EQ(message_of(R"([[],"edges"])"), R"(invalid type: string "edges", expected a sequence at line 1 column 11)");
}

// The conversion of every number is the correctly rounded one, including
// the short cut taken for short numbers.
TEST(LoadingValueRules, NumbersConvertWithCorrectRounding) {
  std::mt19937_64 random(20240611);
  auto digits = [&](std::size_t count, bool leading_nonzero) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
      char low = (i == 0 && leading_nonzero) ? '1' : '0';
      text += static_cast<char>(low + random() % static_cast<unsigned>('9' - low + 1));
    }
    return text;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string text = random() % 4 == 0 ? "-" : "";
    std::size_t integer_digits = 1 + random() % (random() % 2 ? 20 : 8);
    text += random() % 5 == 0 ? "0" : digits(integer_digits, true);
    if (random() % 3 != 0) text.append(".").append(digits(1 + random() % (random() % 2 ? 22 : 10), false));
    if (random() % 3 == 0) {
      text += random() % 2 ? "e" : "E";
      int exponent = static_cast<int>(random() % 700) - 350;
      if (random() % 8 == 0) exponent = static_cast<int>(random() % 45) - 22;
      text.append(exponent < 0 ? "-" : (random() % 2 ? "+" : "")).append(std::to_string(std::abs(exponent)));
    }
    // glibc's strtod rounds correctly too, and tells overflow (infinity)
    // from underflow (zero or a subnormal).
    double model = std::strtod(text.c_str(), nullptr);
    // Numbers close to the end of the text and numbers followed by more text
    // take different roads through the reader.
    for (const std::string& document : {with_lat(text), with_lat(text) + std::string(64, ' ')}) {
      std::expected<RoadGraph, DocumentError> graph = load_graph(document);
      if (std::isinf(model)) {
        EXPECT_EQ(graph ? std::string("accepted") : graph.error().description, "number out of range") << text;
        continue;
      }
      ASSERT_TRUE(graph.has_value()) << text << ": " << graph.error().message();
      EXPECT_EQ(std::bit_cast<std::uint64_t>(graph->nodes.at(0).lat), std::bit_cast<std::uint64_t>(model)) << text;
    }
  }
}

}  // namespace
}  // namespace norvel

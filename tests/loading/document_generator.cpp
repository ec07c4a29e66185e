#include "document_generator.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace norvel::testing {
namespace {

class Writer {
 public:
  Writer(std::mt19937_64& random, const GeneratorOptions& options) : random_(random), options_(options) {}

  bool chance(unsigned percent) { return random_() % 100 < percent; }
  std::size_t below(std::size_t limit) { return static_cast<std::size_t>(random_() % limit); }

  void space() {
    if (!options_.whitespace || !chance(20)) return;
    static constexpr char kSpaces[] = {' ', '\t', '\n', '\r'};
    for (std::size_t n = 1 + below(3); n > 0; --n) out += kSpaces[below(4)];
  }
  void token(std::string_view text) {
    space();
    out += text;
  }

  // Member names are sometimes written with escapes; they must still match.
  void name(std::string_view plain) {
    space();
    out += '"';
    for (char c : plain) {
      if (chance(10)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, chance(50) ? "\\u%04x" : "\\u%04X", static_cast<unsigned>(c));
        out += escaped;
      } else {
        out += c;
      }
    }
    out += '"';
    token(":");
  }

  std::uint64_t random_id() {
    switch (below(4)) {
      case 0: return below(10);
      case 1: return UINT64_MAX - below(3);
      default: return random_() >> below(64);
    }
  }

  // A double and a text that reads back as exactly it.
  double random_double(std::string& text) {
    double value;
    switch (below(5)) {
      case 0: value = static_cast<double>(static_cast<std::int64_t>(below(2000)) - 1000); break;
      case 1: value = std::ldexp(static_cast<double>(random_() >> 11), static_cast<int>(below(200)) - 150); break;
      case 2: value = -0.0; break;
      default: value = static_cast<double>(random_() % 100000000) / 1000000.0 - 50.0; break;
    }
    char buffer[64];
    std::to_chars_result written;
    switch (below(3)) {
      case 0: written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific); break;
      default: written = std::to_chars(buffer, buffer + sizeof buffer, value); break;
    }
    text.assign(buffer, written.ptr);
    if (chance(20)) {
      // Upper-case marker and explicit plus sign are valid too.
      std::size_t e = text.find('e');
      if (e != std::string::npos) text[e] = 'E';
    }
    return value;
  }

  void unrecognised_member(std::string_view record_names) {
    if (!options_.unrecognised_members || !chance(15)) return;
    std::string member;
    do {
      member = std::string("m").append(std::to_string(below(4)));
    } while (record_names.find(member) != std::string_view::npos);
    name(member);
    token(random_json_value(random_, 3));
    token(",");
  }

  template <class Member>
  void object(std::vector<std::string_view> names, std::string_view record_names, Member member) {
    for (std::size_t i = names.size(); i > 1; --i) std::swap(names[i - 1], names[below(i)]);
    token("{");
    for (std::size_t i = 0; i < names.size(); ++i) {
      unrecognised_member(record_names);
      name(names[i]);
      member(names[i]);
      if (i + 1 < names.size()) token(",");
    }
    token("}");
  }

  // The value of one `name` member; `text` becomes what it gives the edge.
  void street_name(std::string& text) {
    struct Piece {
      std::string_view written, text;
    };
    // Two names in several spellings each, to be stored once each.
    static constexpr Piece kSpellings[] = {{"Etel\\u00e4ranta", "Etel\xC3\xA4ranta"},
                                           {"Etel\xC3\xA4ranta", "Etel\xC3\xA4ranta"},
                                           {"Etel\\u00C4ranta", "Etel\xC3\x84ranta"},
                                           {"Mannerheimintie", "Mannerheimintie"},
                                           {"Mannerheim\\u0069ntie", "Mannerheimintie"}};
    // A surrogate that pairs with nothing is U+FFFD; the x keeps a leading
    // one from pairing with the next piece.
    static constexpr Piece kPieces[] = {{"a", "a"},   {" ", " "},    {"\\\"", "\""}, {"\\\\", "\\"},
                                        {"\\/", "/"}, {"\\t", "\t"}, {"\\u0000", std::string_view("\0", 1)},
                                        {"\\uD83D\\uDEB2", "\xF0\x9F\x9A\xB2"}, {"\\udc00", "\xEF\xBF\xBD"},
                                        {"\\uD800x", "\xEF\xBF\xBDx"}, {"\xE6\x97\xA5", "\xE6\x97\xA5"}};
    static constexpr std::string_view kOthers[] = {"null", "0", "-1.5e3", "true", "[]", "[\"x\"]", "{\"name\":\"x\"}"};
    std::string written;
    text.clear();
    switch (below(10)) {
      case 0: case 1: case 2: case 3: {
        const Piece& spelling = kSpellings[below(std::size(kSpellings))];
        written = spelling.written, text = spelling.text;
        break;
      }
      case 4: case 5: case 6:
        for (std::size_t n = 1 + below(4); n > 0; --n) {
          const Piece& piece = kPieces[below(std::size(kPieces))];
          written += piece.written, text += piece.text;
        }
        break;
      case 7: break;  // the empty string: no name
      default: token(kOthers[below(std::size(kOthers))]); return;
    }
    token(std::string(1, '"').append(written).append(1, '"'));
  }

  // The members after the graph's own on an object-form record.
  void street_name_members(std::vector<std::string_view>& names) {
    if (!options_.street_names) return;
    static constexpr std::size_t kRepeats[] = {0, 1, 1, 2};
    for (std::size_t n = kRepeats[below(4)]; n > 0; --n) names.push_back("name");
    if (chance(10)) names.push_back(chance(50) ? "Name" : "names");
  }

  void id(NodeId value) { token(std::to_string(value)); }
  void number(double& value) {
    std::string text;
    value = random_double(text);
    token(text);
  }

  void node(std::vector<Node>& nodes) {
    Node node{random_id(), 0.0, 0.0};
    std::string lat_text, lon_text;
    node.lat = random_double(lat_text);
    node.lon = random_double(lon_text);
    if (chance(50)) {
      token("[");
      id(node.id);
      token(",");
      token(lat_text);
      token(",");
      token(lon_text);
      token("]");
    } else {
      std::vector<std::string_view> names = {"id", "lat", "lon"};
      street_name_members(names);
      object(names, "id lat lon", [&](std::string_view member) {
        if (member == "id") id(node.id);
        if (member == "lat") token(lat_text);
        if (member == "lon") token(lon_text);
        std::string ignored;
        if (member == "name" || member == "Name" || member == "names") street_name(ignored);
      });
    }
    nodes.push_back(node);
  }

  void edge(std::vector<Edge>& edges) {
    Edge edge{random_id(), random_id(), 0.0, 0.0, 0.0};
    std::string distance, risk, familiarity = "null";
    edge.distance_m = random_double(distance);
    edge.risk_score = random_double(risk);
    bool has_familiarity = chance(60);
    if (has_familiarity) edge.familiarity = random_double(familiarity);
    std::string street;
    if (chance(50)) {
      token("[");
      id(edge.from), token(","), id(edge.to), token(",");
      token(distance), token(","), token(risk), token(",");
      token(familiarity);
      token("]");
    } else {
      std::vector<std::string_view> names = {"from", "to", "distance_m", "risk_score"};
      // Absent and null read the same.
      if (has_familiarity || chance(50)) names.push_back("familiarity");
      street_name_members(names);
      object(names, "from to distance_m risk_score familiarity", [&](std::string_view member) {
        if (member == "from") id(edge.from);
        if (member == "to") id(edge.to);
        if (member == "distance_m") token(distance);
        if (member == "risk_score") token(risk);
        if (member == "familiarity") token(familiarity);
        // Members come in document order: the last `name` wins.
        if (member == "name") street_name(street);
        std::string ignored;
        if (member == "Name" || member == "names") street_name(ignored);
      });
    }
    edges.push_back(edge);
    edge_names.push_back(std::move(street));
  }

  template <class Element>
  void list(std::size_t count, Element element) {
    token("[");
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) token(",");
      element();
    }
    token("]");
  }

  GeneratedDocument document() {
    GeneratedDocument doc;
    std::size_t node_count = below(options_.max_nodes + 1);
    std::size_t edge_count = below(options_.max_edges + 1);
    auto nodes = [&] { list(node_count, [&] { node(doc.nodes); }); };
    auto edges = [&] { list(edge_count, [&] { edge(doc.edges); }); };
    if (chance(30)) {
      token("[");
      nodes();
      token(",");
      edges();
      token("]");
    } else {
      object({"nodes", "edges"}, "nodes edges", [&](std::string_view member) {
        if (member == "nodes") nodes();
        if (member == "edges") edges();
      });
    }
    space();
    doc.text = std::move(out);
    doc.edge_names = std::move(edge_names);
    return doc;
  }

  std::string out;
  std::vector<std::string> edge_names;

 private:
  std::mt19937_64& random_;
  const GeneratorOptions& options_;
};

std::string random_string_body(std::mt19937_64& random) {
  static constexpr std::string_view kPieces[] = {
      "a", "Z", " ", "\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u00e9", "\\u0000",
      "\\uD83D\\uDEB2", "\\uDC00", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x9A\xB2", "'", "{", "]", ":", ","};
  std::string body;
  for (std::size_t n = random() % 6; n > 0; --n) body += kPieces[random() % std::size(kPieces)];
  return body;
}

std::string quoted(const std::string& body) { return std::string(1, '"').append(body).append(1, '"'); }

}  // namespace

std::string random_json_value(std::mt19937_64& random, int depth) {
  switch (random() % (depth > 0 ? 9 : 7)) {
    case 0: return "null";
    case 1: return random() % 2 ? "true" : "false";
    case 2: {
      static constexpr std::string_view kNumbers[] = {"0", "-0", "12", "-3.25", "1e999", "-1E-999", "0.5e+3",
                                                      "123456789012345678901234567890", "4.9e-324"};
      return std::string(kNumbers[random() % std::size(kNumbers)]);
    }
    case 3: return std::to_string(random());
    case 4:
    case 5: return quoted(random_string_body(random));
    case 6: return "[]";
    case 7: {
      std::string text = "[";
      for (std::size_t n = random() % 4; n > 0; --n) {
        text += random_json_value(random, depth - 1);
        if (n > 1) text += random() % 2 ? "," : " ,\n";
      }
      return text + "]";
    }
    default: {
      std::string text = "{";
      for (std::size_t n = random() % 4; n > 0; --n) {
        text.append(quoted(random_string_body(random))).append(":").append(random_json_value(random, depth - 1));
        if (n > 1) text += ",";
      }
      return text + "}";
    }
  }
}

GeneratedDocument generate_document(std::mt19937_64& random, const GeneratorOptions& options) {
  Writer writer(random, options);
  return writer.document();
}

}  // namespace norvel::testing

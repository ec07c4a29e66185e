#include "graph/risk_layer_rules.hpp"

#include <cstdio>
#include <cstdlib>

namespace norvel {

namespace {

bool letter_or_underscore(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

std::string quoted(std::string_view name) {
  std::string text;
  text.reserve(name.size() + 2);
  text.push_back('"');
  text.append(name);
  text.push_back('"');
  return text;
}

// The shortest text that reads back as the value, as Python's repr gives it.
std::string shortest_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[32];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    if (std::strtod(buffer, nullptr) == value) break;
  }
  return buffer;
}

}  // namespace

std::string_view risk_layer_name_fault(std::string_view name) {
  bool plain = !name.empty() && letter_or_underscore(name.front());
  for (char c : name) plain = plain && (letter_or_underscore(c) || digit(c));
  if (!plain) return "is not a plain identifier (ASCII letters, digits and _; not starting with a digit)";
  if (name == kDocumentRiskName) return "is the document's own risk_score";
  return {};
}

std::string risk_layer_name_problem(std::string_view name) {
  const std::string_view fault = risk_layer_name_fault(name);
  if (fault.empty()) return {};
  return "the risk layer name " + quoted(name) + " " + std::string(fault);
}

std::string risk_value_problem(std::string_view name, std::size_t edge, double value) {
  const char* what = std::isfinite(value) ? "a negative risk" : "a risk that is not a finite number";
  return "risk layer " + quoted(name) + " has " + what + " at edge " + std::to_string(edge) + ": " +
         shortest_text(value);
}

std::string risk_count_problem(std::string_view name, std::size_t count, std::size_t edges) {
  return "risk layer " + quoted(name) + " has " + std::to_string(count) + " values, one per edge is " +
         std::to_string(edges);
}

std::string risk_name_taken(std::string_view name) {
  return "the graph has a risk layer " + quoted(name) + " already";
}

std::string layer_hours_problem(std::string_view name, double start, double end) {
  if (name == kDocumentRiskName) return "the layer \"default\" (the document's risk_score) carries no hours";
  for (double hour : {start, end}) {
    if (!acceptable_hour(hour)) {
      return "the hours of risk layer " + quoted(name) + " must be within [0, 24), got " + shortest_text(hour);
    }
  }
  return {};
}

}  // namespace norvel

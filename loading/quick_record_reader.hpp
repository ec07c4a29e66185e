#pragma once

#include <cstring>
#include <string_view>

#include "graph/road_graph.hpp"
#include "loading/json_cursor.hpp"
#include "loading/member_names.hpp"
#include "loading/plain_number.hpp"
#include "loading/short_number.hpp"
#include "loading/street_name_member.hpp"

namespace norvel {

// A double member's value from the number read.
[[gnu::always_inline]] inline double number_as_double(const JsonNumber& number) {
  switch (number.kind) {
    case JsonNumber::Kind::kUnsigned: return static_cast<double>(number.magnitude);
    case JsonNumber::Kind::kNegative: return -static_cast<double>(number.magnitude);
    case JsonNumber::Kind::kFloat: return number.value;
  }
  return 0.0;
}

// Reads one node or edge record in a single sweep with as few checks as a
// well-formed record needs. It accepts a record only when the careful reader
// would read the same values and stop at the same byte; at anything else (an
// error of any kind, a repeated or missing member, the text running short)
// it gives up, and the careful reader starts the record over. Every error
// therefore still comes from the careful reader, with its description and
// position.
//
// Given `street_name`, the body of the string value of an edge object's
// `name` member goes there (the last such member's; emptied for a value of
// another kind), and stays there when the reader gives up: the caller
// empties it before a record is read again and after one is taken.
class QuickRecordReader {
 public:
  explicit QuickRecordReader(JsonCursor& cursor, std::string_view* street_name = nullptr)
      : cursor_(cursor), at_(cursor.position()), end_(cursor.end()), last_record_end_(at_), street_name_(street_name) {}

  // At the first byte of a record (a Node or an Edge). True with the cursor
  // just after the record; false with the cursor put back where it was.
  template <class Record>
  [[gnu::always_inline]] bool first(Record& record) {
    if (one(record)) return true;
    back_to_last_record();
    return false;
  }

  // Just after a record read by this reader: reads the comma and the next
  // record. False, with the cursor put back just after the record before,
  // when the list ends there or the next record is not a quick one.
  template <class Record>
  [[gnu::always_inline]] bool next(Record& record) {
    if (token(',') && space() && one(record)) return true;
    back_to_last_record();
    return false;
  }

 private:
  [[gnu::always_inline]] bool one(Node& node) {
    bool read = at_ != end_ && (*at_ == '[' ? node_array(node) : *at_ == '{' && node_object(node));
    if (read) finish_record();
    return read;
  }

  [[gnu::always_inline]] bool one(Edge& edge) {
    bool read = at_ != end_ && (*at_ == '[' ? edge_array(edge) : *at_ == '{' && edge_object(edge));
    if (read) finish_record();
    return read;
  }

  [[gnu::always_inline]] void finish_record() {
    last_record_end_ = at_;
    cursor_.move_to(at_);
  }

  // The fallbacks below move the cursor, so it is not where it was left.
  [[gnu::always_inline]] void back_to_last_record() {
    at_ = last_record_end_;
    cursor_.move_to(at_);
  }

  // Everything here is forced inline: the record's position then stays in a
  // register, and parsing is a chain of dependent position updates.

  // Past whitespace; false at the end of the text.
  [[gnu::always_inline]] bool space() {
    while (at_ != end_) {
      char c = *at_;
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return true;
      ++at_;
    }
    return false;
  }

  [[gnu::always_inline]] bool token(char expected) {
    if (!space() || *at_ != expected) return false;
    ++at_;
    return true;
  }

  [[gnu::always_inline]] bool number(JsonNumber& number) {
    if (!space()) return false;
    char c = *at_;
    if (c != '-' && (c < '0' || c > '9')) return false;
    if (end_ - at_ >= kShortNumberReach && read_plain_number(at_, number)) return true;
    at_ = read_other_number(cursor_, at_, number);
    return at_ != nullptr;
  }

  // Kept out of line so that the record loop stays small. The position goes
  // in and comes back by value, so the caller's copy can stay in a register.
  [[gnu::noinline]] static const char* read_other_number(JsonCursor& cursor, const char* at, JsonNumber& number) {
    cursor.move_to(at);
    return cursor.read_number(number) ? cursor.position() : nullptr;
  }

  [[gnu::always_inline]] bool id(NodeId& id) {
    JsonNumber read;
    if (!number(read) || read.kind != JsonNumber::Kind::kUnsigned) return false;
    id = read.magnitude;
    return true;
  }

  [[gnu::always_inline]] bool real(double& value) {
    JsonNumber read;
    if (!number(read)) return false;
    value = number_as_double(read);
    return true;
  }

  [[gnu::always_inline]] bool familiarity(double& value) {
    if (!space()) return false;
    if (*at_ != 'n') return real(value);
    if (end_ - at_ < 4 || std::memcmp(at_, "null", 4) != 0) return false;
    at_ += 4;
    value = 0.0;
    return true;
  }

  // At the opening quote of a member name. `street_name` tells whether it
  // is `name` with the street names asked for, which only a name of kOther
  // can be; those are never told straight from the text.
  template <class Member, std::size_t (*match_plain)(const char*, Member&), Member (*classify)(std::string_view)>
  [[gnu::always_inline]] bool name(Member& member, bool& street_name) {
    if (end_ - at_ > 16) {
      std::size_t length = match_plain(at_ + 1, member);
      if (length != 0) {
        at_ += 1 + length;
        street_name = false;
        return true;
      }
    }
    cursor_.move_to(at_);
    std::string_view decoded;
    if (!cursor_.read_name(decoded)) return false;
    member = classify(decoded);
    street_name = street_name_ != nullptr && is_street_name(decoded);
    at_ = cursor_.position();
    return true;
  }

  [[gnu::always_inline]] bool skip_value() {
    cursor_.move_to(at_);
    if (!cursor_.skip_value()) return false;
    at_ = cursor_.position();
    return true;
  }

  // After the value of a member: true at the next member's opening quote,
  // `closed` after the closing brace.
  [[gnu::always_inline]] bool after_member(bool& closed) {
    if (!space()) return false;
    if (*at_ == '}') {
      ++at_;
      closed = true;
      return true;
    }
    if (*at_ != ',') return false;
    ++at_;
    return space() && *at_ == '"';
  }

  static constexpr unsigned bit(auto member) { return 1u << static_cast<unsigned>(member); }

  [[gnu::always_inline]] bool node_array(Node& node) {
    ++at_;
    return id(node.id) && token(',') && real(node.lat) && token(',') && real(node.lon) && token(']');
  }

  // The members of an object-form record, '{' at hand: each recognised one
  // at most once, read by `read_value` (forced inline too), the value of any
  // other skipped by `skip_other`, told whether it is the street name; true
  // when those in `required` all came.
  template <class Member, std::size_t (*match_plain)(const char*, Member&), Member (*classify)(std::string_view),
            class ReadValue, class SkipOther>
  [[gnu::always_inline]] bool members(unsigned required, ReadValue read_value, SkipOther skip_other) {
    ++at_;
    // An empty object misses its members: the careful reader says which.
    if (!space() || *at_ != '"') return false;
    unsigned seen = 0;
    for (bool closed = false; !closed;) {
      Member member;
      bool street_name;
      if (!name<Member, match_plain, classify>(member, street_name) || !token(':')) return false;
      bool read = false;
      if (member == Member::kOther) {
        read = skip_other(street_name);
      } else {
        if (seen & bit(member)) return false;
        seen |= bit(member);
        read = read_value(member);
      }
      if (!read || !after_member(closed)) return false;
    }
    return (seen & required) == required;
  }

  [[gnu::always_inline]] bool node_object(Node& node) {
    constexpr unsigned kAll = bit(NodeMember::kId) | bit(NodeMember::kLat) | bit(NodeMember::kLon);
    auto read_value = [&](NodeMember member) __attribute__((always_inline)) {
      switch (member) {
        case NodeMember::kId: return id(node.id);
        case NodeMember::kLat: return real(node.lat);
        case NodeMember::kLon: return real(node.lon);
        case NodeMember::kOther: break;
      }
      return false;
    };
    auto skip_other = [&](bool) __attribute__((always_inline)) { return skip_value(); };
    return members<NodeMember, plain_name::node_member, node_member>(kAll, read_value, skip_other);
  }

  [[gnu::always_inline]] bool edge_array(Edge& edge) {
    ++at_;
    return id(edge.from) && token(',') && id(edge.to) && token(',') && real(edge.distance_m) && token(',') &&
           real(edge.risk_score) && token(',') && familiarity(edge.familiarity) && token(']');
  }

  [[gnu::always_inline]] bool edge_object(Edge& edge) {
    constexpr unsigned kRequired =
        bit(EdgeMember::kFrom) | bit(EdgeMember::kTo) | bit(EdgeMember::kDistance) | bit(EdgeMember::kRisk);
    auto read_value = [&](EdgeMember member) __attribute__((always_inline)) {
      switch (member) {
        case EdgeMember::kFrom: return id(edge.from);
        case EdgeMember::kTo: return id(edge.to);
        case EdgeMember::kDistance: return real(edge.distance_m);
        case EdgeMember::kRisk: return real(edge.risk_score);
        case EdgeMember::kFamiliarity: return familiarity(edge.familiarity);
        case EdgeMember::kOther: break;
      }
      return false;
    };
    auto skip_other = [&](bool street_name) __attribute__((always_inline)) {
      if (!street_name) return skip_value();
      at_ = read_street_name(cursor_, at_, *street_name_);
      return at_ != nullptr;
    };
    return members<EdgeMember, plain_name::edge_member, edge_member>(kRequired, read_value, skip_other);
  }

  // Out of line like the numbers the reader leaves to the cursor.
  [[gnu::noinline]] static const char* read_street_name(JsonCursor& cursor, const char* at, std::string_view& body) {
    cursor.move_to(at);
    return skip_street_name(cursor, body) ? cursor.position() : nullptr;
  }

  JsonCursor& cursor_;
  const char* at_;
  const char* end_;
  const char* last_record_end_;  // or where the reader started
  std::string_view* street_name_;  // null when the names are not asked for
};

}  // namespace norvel

#include "loading/graph_document_reader.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "graph/resident_memory.hpp"
#include "loading/layer_hours_reader.hpp"
#include "loading/member_names.hpp"
#include "loading/quick_record_reader.hpp"
#include "loading/street_name_collector.hpp"
#include "loading/street_name_member.hpp"

namespace norvel {

namespace {

bool is_number_start(char c) { return c == '-' || (c >= '0' && c <= '9'); }

// With a collector, the street names of the edges go into it as the edges
// are read; without one, no name is looked at.
class DocumentReader {
 public:
  DocumentReader(std::string_view text, GraphBuilder& builder, bool quick, StreetNameCollector* names,
                 RiskLayersMembers* layers)
      : cursor_(text), builder_(builder), quick_(quick), names_(names), layers_(layers) {}

  bool read_document() {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingValue);
    bool read = false;
    switch (cursor_.peek()) {
      case '{': read = read_graph_object(); break;
      case '[': read = read_graph_array(); break;
      default: return cursor_.fail_invalid_type(Wanted::kGraphJson);
    }
    if (!read) return false;
    if (cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kTrailingCharacters);
    return true;
  }

  const ReadFailure& failure() const { return cursor_.failure(); }

 private:
  // --- object form ---------------------------------------------------------

  // Moves to the next member of an object whose '{' is consumed and reads its
  // name; `closed` when the '}' came instead (consumed).
  bool next_member(bool& first, std::string_view& name, bool& closed) {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingObject);
    char c = cursor_.peek();
    if (c == '}') {
      cursor_.advance();
      closed = true;
      return true;
    }
    if (!first) {
      if (!comma_before_next(c, Syntax::kExpectedObjectCommaOrEnd, '}')) return false;
      c = cursor_.peek();
    }
    first = false;
    if (c != '"') return cursor_.fail_at_peek(Syntax::kKeyMustBeString);
    return cursor_.read_name(name);
  }

  // At `c`, after a member or an element that is not the first: the comma
  // that must come before the next one, with no `closer` right after it.
  bool comma_before_next(char c, Syntax missing_comma, char closer) {
    if (c != ',') return cursor_.fail_at_peek(missing_comma);
    cursor_.advance();
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingValue);
    if (cursor_.peek() == closer) return cursor_.fail_at_peek(Syntax::kTrailingComma);
    return true;
  }

  bool member_colon() {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingObject);
    if (cursor_.peek() != ':') return cursor_.fail_at_peek(Syntax::kExpectedColon);
    cursor_.advance();
    return true;
  }

  // The repeated name is consumed and so is the whitespace after it; its
  // value is not read.
  bool fail_duplicate(std::string_view name) {
    cursor_.skip_whitespace();
    return cursor_.fail_here(duplicate_field(name));
  }

  bool skip_member_value() { return member_colon() && cursor_.skip_value(); }
  auto skip_any() {
    return [this](std::string_view) { return skip_member_value(); };
  }

  template <class Member>
  static constexpr unsigned bit(Member member) {
    return 1u << static_cast<unsigned>(member);
  }

  template <std::size_t kCount>
  static constexpr unsigned all_of(const std::string_view (&)[kCount]) {
    return (1u << kCount) - 1;
  }

  // The members of an object-form record whose '{' is at hand, in any order.
  // `names` holds the recognised ones in the order of their enumerators (the
  // last of which, kOther, stands for every other name): each may come once,
  // and `read_value` reads its value after the colon. Other members are
  // skipped by `skip_other`, given the name, colon included. At the '}', the
  // first of the `required` ones that did not come, in that order, is
  // reported missing.
  template <class Member, std::size_t kCount, class ReadValue, class SkipOther>
  bool read_members(Member (*classify)(std::string_view), const std::string_view (&names)[kCount],
                    unsigned required, ReadValue read_value, SkipOther skip_other) {
    cursor_.advance();
    unsigned seen = 0;
    for (bool first = true;;) {
      std::string_view name;
      bool closed = false;
      if (!next_member(first, name, closed)) return false;
      if (closed) break;
      const Member member = classify(name);
      if (member == Member::kOther) {
        if (!skip_other(name)) return false;
        continue;
      }
      if (seen & bit(member)) return fail_duplicate(names[static_cast<std::size_t>(member)]);
      if (!member_colon() || !read_value(member)) return false;
      seen |= bit(member);
    }
    for (std::size_t i = 0; i < kCount; ++i) {
      if ((required >> i & 1) != 0 && (seen >> i & 1) == 0) return cursor_.fail_here(missing_field(names[i]));
    }
    return true;
  }

  // --- array form ----------------------------------------------------------

  // Before element `index` of an array-form record of `count` members whose
  // '[' is consumed: fails with "invalid length" when the array closes here.
  bool next_element(std::size_t index, std::size_t count, std::string_view record) {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingList);
    char c = cursor_.peek();
    if (c == ']') {
      cursor_.advance();
      return cursor_.fail_here(invalid_length(index, record, count));
    }
    return index == 0 || comma_before_next(c, Syntax::kExpectedListCommaOrEnd, ']');
  }

  // After the last member of an array-form record: only its ']' may follow;
  // anything else is a surplus element.
  bool end_record_array() {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingList);
    char c = cursor_.peek();
    if (c == ']') {
      cursor_.advance();
      return true;
    }
    if (c == ',') {
      cursor_.advance();
      if (cursor_.skip_whitespace() && cursor_.peek() == ']') return cursor_.fail_at_peek(Syntax::kTrailingComma);
    }
    return cursor_.fail_at_peek(Syntax::kTrailingCharacters);
  }

  // --- values --------------------------------------------------------------

  bool read_id(NodeId& id) {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingValue);
    if (!is_number_start(cursor_.peek())) return cursor_.fail_invalid_type(Wanted::kU64);
    JsonNumber number;
    if (!cursor_.read_number(number)) return false;
    switch (number.kind) {
      case JsonNumber::Kind::kUnsigned: id = number.magnitude; return true;
      case JsonNumber::Kind::kNegative: return cursor_.fail_here(invalid_u64_value(number.magnitude));
      case JsonNumber::Kind::kFloat:
        return cursor_.fail_here(invalid_type(float_found_text(number.value), Wanted::kU64));
    }
    return false;
  }

  bool read_double(double& value) {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingValue);
    if (!is_number_start(cursor_.peek())) return cursor_.fail_invalid_type(Wanted::kF64);
    JsonNumber number;
    if (!cursor_.read_number(number)) return false;
    value = number_as_double(number);
    return true;
  }

  // `null` means no familiarity, stored as 0.0.
  bool read_familiarity(double& value) {
    if (cursor_.skip_whitespace() && cursor_.peek() == 'n') {
      cursor_.advance();
      if (!cursor_.read_ident("ull")) return false;
      value = 0.0;
      return true;
    }
    return read_double(value);
  }

  // --- records -------------------------------------------------------------

  // Makes room for one more record. Past the first records, the room is
  // sized from the bytes each record took so far and the bytes left, so that
  // a large array is not copied over and over as it grows; room that is
  // never written costs address space only.
  //
  // The room ahead is made resident a stretch at a time: the estimate may be
  // far too large, so not all of it at once. A stretch never reaches past the
  // capacity, so a full array is always at the end of one: a record costs a
  // single test until then.
  template <class Record>
  void make_room(std::vector<Record>& records) {
    const std::size_t size = records.size();
    if (size < resident_count_) [[likely]] return;
    if (size == records.capacity()) {
      grow(records);
      prefer_huge_pages(records.data() + size, (records.capacity() - size) * sizeof(Record));
    }
    constexpr std::size_t kStretchBytes = std::size_t{2} << 20;
    std::size_t stretch = std::min(records.capacity() - size, kStretchBytes / sizeof(Record));
    make_resident(records.data() + size, stretch * sizeof(Record));
    resident_count_ = size + stretch;
  }

  template <class Record>
  void grow(std::vector<Record>& records) {
    std::size_t size = records.size();
    constexpr std::size_t kMeasuredRecords = 1024;
    if (size < kMeasuredRecords) {
      records.reserve(size < 16 ? 16 : 2 * size);
      return;
    }
    std::size_t bytes_per_record = std::max<std::size_t>(1, cursor_.offset_from(list_start_) / size);
    std::size_t records_left = cursor_.bytes_left() / bytes_per_record;
    records.reserve(size + std::max(records_left + records_left / 16 + 64, size / 2));
  }

  template <class ReadElement>
  bool read_list(ReadElement read_element) {
    if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingValue);
    if (cursor_.peek() != '[') return cursor_.fail_invalid_type(Wanted::kSequence);
    cursor_.advance();
    list_start_ = cursor_.position();
    resident_count_ = 0;
    for (bool first = true;; first = false) {
      if (!cursor_.skip_whitespace()) return cursor_.fail_at_peek(Syntax::kEofWhileParsingList);
      char c = cursor_.peek();
      if (c == ']') {
        cursor_.advance();
        return true;
      }
      if (!first && !comma_before_next(c, Syntax::kExpectedListCommaOrEnd, ']')) return false;
      if (!read_element()) return false;
    }
  }

  // Reads the record at hand, and as many of the records after it as the
  // quick reader takes; the list loop goes on from the last one read.
  // Edges whose street names are asked for get a loop of their own, so that
  // the loop without them spends nothing on them.
  template <class Record>
  bool read_records(std::vector<Record>& records) {
    if constexpr (std::is_same_v<Record, Edge>) {
      if (names_ != nullptr) return take_records<true>(records);
    }
    return take_records<false>(records);
  }

  template <bool kStreetNames, class Record>
  bool take_records(std::vector<Record>& records) {
    // A record the quick reader gave up on may have left a name behind.
    street_name_ = {};
    QuickRecordReader quick(cursor_, kStreetNames ? &street_name_ : nullptr);
    Record record{};
    if (quick_ && quick.first(record)) {
      do {
        make_room(records);
        add_record<kStreetNames>(record);
        record = Record{};
      } while (quick.next(record));
      return true;
    }
    record = Record{};
    if (!read_carefully(record)) return false;
    make_room(records);
    add_record<kStreetNames>(record);
    return true;
  }

  template <bool kStreetNames>
  void add_record(const Node& node) {
    add_node(builder_, node);
  }
  template <bool kStreetNames>
  void add_record(const Edge& edge) {
    if constexpr (kStreetNames) {
      collect_street_name(*names_, builder_.edges.size(), street_name_);
      street_name_ = {};
    }
    add_edge(builder_, edge);
  }

  bool read_carefully(Node& node) {
    switch (cursor_.peek()) {
      case '{':
        if (!read_node_object(node)) return false;
        break;
      case '[':
        if (!read_node_array(node)) return false;
        break;
      default:
        return cursor_.fail_invalid_type(Wanted::kNodeJson);
    }
    return true;
  }

  bool read_node_object(Node& node) {
    static constexpr std::string_view kNames[] = {"id", "lat", "lon"};
    return read_members(node_member, kNames, all_of(kNames), [&](NodeMember member) {
      switch (member) {
        case NodeMember::kId: return read_id(node.id);
        case NodeMember::kLat: return read_double(node.lat);
        case NodeMember::kLon: return read_double(node.lon);
        case NodeMember::kOther: break;  // skipped by read_members
      }
      return false;
    }, skip_any());
  }

  bool read_node_array(Node& node) {
    cursor_.advance();
    constexpr std::string_view kRecord = "NodeJson";
    return next_element(0, 3, kRecord) && read_id(node.id) &&  //
           next_element(1, 3, kRecord) && read_double(node.lat) &&
           next_element(2, 3, kRecord) && read_double(node.lon) && end_record_array();
  }

  bool read_carefully(Edge& edge) {
    // The quick reader may have given up on this record after its name.
    street_name_ = {};
    switch (cursor_.peek()) {
      case '{':
        if (!read_edge_object(edge)) return false;
        break;
      case '[':
        if (!read_edge_array(edge)) return false;
        break;
      default:
        return cursor_.fail_invalid_type(Wanted::kEdgeJson);
    }
    return true;
  }

  bool read_edge_object(Edge& edge) {
    // `familiarity` may be left out, but present once at most, even as null.
    static constexpr std::string_view kNames[] = {"from", "to", "distance_m", "risk_score", "familiarity"};
    return read_members(edge_member, kNames, all_of(kNames) & ~bit(EdgeMember::kFamiliarity), [&](EdgeMember member) {
      switch (member) {
        case EdgeMember::kFrom: return read_id(edge.from);
        case EdgeMember::kTo: return read_id(edge.to);
        case EdgeMember::kDistance: return read_double(edge.distance_m);
        case EdgeMember::kRisk: return read_double(edge.risk_score);
        case EdgeMember::kFamiliarity: return read_familiarity(edge.familiarity);
        case EdgeMember::kOther: break;  // skipped by read_members
      }
      return false;
    }, [&](std::string_view name) {
      if (names_ == nullptr || !is_street_name(name)) return skip_member_value();
      return member_colon() && skip_street_name(cursor_, street_name_);
    });
  }

  bool read_edge_array(Edge& edge) {
    cursor_.advance();
    constexpr std::string_view kRecord = "EdgeJson";
    return next_element(0, 5, kRecord) && read_id(edge.from) &&  //
           next_element(1, 5, kRecord) && read_id(edge.to) &&
           next_element(2, 5, kRecord) && read_double(edge.distance_m) &&
           next_element(3, 5, kRecord) && read_double(edge.risk_score) &&
           next_element(4, 5, kRecord) && read_familiarity(edge.familiarity) && end_record_array();
  }

  bool read_node_list() {
    return read_list([this] { return read_records(builder_.nodes); });
  }
  bool read_edge_list() {
    return read_list([this] { return read_records(builder_.edges); });
  }

  bool read_graph_object() {
    static constexpr std::string_view kNames[] = {"nodes", "edges"};
    return read_members(graph_member, kNames, all_of(kNames), [&](GraphMember member) {
      return member == GraphMember::kNodes ? read_node_list() : read_edge_list();
    }, [&](std::string_view name) {
      if (layers_ != nullptr && name == kLayerHoursMember) return note_layer_hours();
      if (layers_ == nullptr || name != "risk_layers") return skip_member_value();
      // The edges are read by now or not at all: at the top level, a
      // member's value is read whole before the next member's name.
      return member_colon() && take_risk_layers_member(cursor_, *layers_, builder_.edges.size());
    });
  }

  // Skipped with every check of a member the reader does not know, so that
  // it changes nothing of what is read or refused; its value noted.
  bool note_layer_hours() {
    if (!member_colon()) return false;
    cursor_.skip_whitespace();
    const char* start = cursor_.position();
    if (!cursor_.skip_value()) return false;
    layers_->hours_values.emplace_back(start, static_cast<std::size_t>(cursor_.position() - start));
    return true;
  }

  bool read_graph_array() {
    cursor_.advance();
    constexpr std::string_view kRecord = "GraphJson";
    return next_element(0, 2, kRecord) && read_node_list() &&  //
           next_element(1, 2, kRecord) && read_edge_list() && end_record_array();
  }

  JsonCursor cursor_;
  GraphBuilder& builder_;
  const bool quick_;
  StreetNameCollector* const names_;  // null when the names are not asked for
  RiskLayersMembers* const layers_;    // null when the layers are not asked for
  // The body of the edge record's street name so far, empty for none: the
  // last `name` member's string. It stays in the text, decoded when the
  // record is added.
  std::string_view street_name_;
  const char* list_start_ = nullptr;  // just after the '[' of the array being read
  // The records of the array being read below this count have room, and
  // resident pages from where the last stretch began.
  std::size_t resident_count_ = 0;
};

// An estimate that overshot much leaves address space behind: give it back.
template <class Record>
void trim(std::vector<Record>& records) {
  if (records.capacity() - records.size() <= records.size() / 4 + 1024) return;
  std::vector<Record> exact;
  reserve_resident(exact, records.size());
  exact.assign(records.begin(), records.end());
  records.swap(exact);
}

bool read_document(std::string_view text, GraphBuilder& builder, ReadFailure& failure, bool quick,
                   StreetNames* names, RiskLayersMembers* layers = nullptr) {
  std::optional<StreetNameCollector> collector;
  if (names != nullptr) {
    *names = StreetNames{};
    collector.emplace(*names);
  }
  DocumentReader reader(text, builder, quick, collector ? &*collector : nullptr, layers);
  if (reader.read_document()) {
    trim(builder.nodes);
    trim(builder.edges);
    if (collector) finish_street_names(*collector);
    return true;
  }
  failure = reader.failure();
  return false;
}

}  // namespace

bool read_graph_document(std::string_view text, GraphBuilder& builder, ReadFailure& failure, StreetNames* names) {
  return read_document(text, builder, failure, true, names);
}

bool read_graph_document(std::string_view text, GraphBuilder& builder, ReadFailure& failure, StreetNames* names,
                         RiskLayersMembers& layers) {
  return read_document(text, builder, failure, true, names, &layers);
}

bool read_graph_document_carefully(std::string_view text, GraphBuilder& builder, ReadFailure& failure,
                                   StreetNames* names) {
  return read_document(text, builder, failure, false, names);
}

}  // namespace norvel

// The strict dialect of the filter language (FilterDialect::kStrict): the check that
// refuses whatever the indexes cannot answer, saying what would be accepted, and the
// evaluation of a checked filter, in which every clause is decided.
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "filter.h"

namespace vendrel {

namespace {

using SharedLock = std::shared_lock<std::shared_mutex>;
using Kind = JsonValue::Kind;

constexpr std::string_view kFieldOperators = "$eq, $ne, $gt, $gte, $lt, $lte, $in, $nin, $exists";

// ---------------------------------------------------------------------------------------
// Check

bool is_operator_key(std::string_view key) { return !key.empty() && key.front() == '$'; }

// What a field can be compared with: the kinds the indexes hold values of.
bool is_comparable(const JsonValue& value) {
  return value.kind == Kind::kString || value.kind == Kind::kBool || value.is_number();
}

// How a message names the value it was given.
std::string kind_text(const JsonValue& value) {
  switch (value.kind) {
    case Kind::kNull: return "null";
    case Kind::kBool: return value.boolean ? "true" : "false";
    case Kind::kUint:
    case Kind::kInt:
    case Kind::kDouble: return "a number";
    case Kind::kString: return "a string";
    case Kind::kArray: return "an array";
    case Kind::kObject: return "an object";
  }
  return "a value";
}

Error filter_error(const std::string& detail) { return value_error("filter: " + detail); }

std::string field_text(std::string_view path) { return "field '" + std::string(path) + "'"; }

Status check_filter_object(const JsonValue& filter);

// What was given where something else was wanted: "got <kind>" for a value itself
// (index -1), "element <index> is <kind>" for an element of an array.
std::string got_text(const JsonValue& value, long index = -1) {
  if (index < 0) return "got " + kind_text(value);
  return "element " + std::to_string(index) + " is " + kind_text(value);
}

// "$and" and "$or": an array whose every element is a filter object. Messages are built
// only on failure: the check runs before every evaluation.
Status check_filter_list(const std::string& op, const JsonValue& list) {
  auto refuse = [&op](const std::string& got) { return filter_error(op + " takes an array of filter objects; " + got); };
  if (list.kind != Kind::kArray) return refuse(got_text(list));
  for (size_t i = 0; i < list.elements.size(); ++i) {
    const JsonValue& element = list.elements[i];
    if (element.kind != Kind::kObject) return refuse(got_text(element, static_cast<long>(i)));
    Status checked = check_filter_object(element);
    if (!checked.ok()) return checked;
  }
  return ok_status();
}

Status check_operator(const std::string& path, const std::string& op, const JsonValue& operand) {
  auto refuse = [&](const char* wanted, const std::string& got) {
    return filter_error(op + " for " + field_text(path) + " takes " + wanted + "; " + got);
  };
  if (op == "$eq" || op == "$ne") {
    if (is_comparable(operand)) return ok_status();
    return refuse("a string, number or bool", got_text(operand));
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (operand.is_number()) return ok_status();
    return refuse("a number", got_text(operand));
  }
  if (op == "$in" || op == "$nin") {
    const char* wanted = "an array of strings, numbers and bools";
    if (operand.kind != Kind::kArray) return refuse(wanted, got_text(operand));
    for (size_t i = 0; i < operand.elements.size(); ++i) {
      if (!is_comparable(operand.elements[i])) return refuse(wanted, got_text(operand.elements[i], static_cast<long>(i)));
    }
    return ok_status();
  }
  if (op == "$exists") {
    if (operand.kind == Kind::kBool) return ok_status();
    return refuse("true or false", got_text(operand));
  }
  return filter_error("unknown operator '" + op + "' for " + field_text(path) + " (supported: " +
                      std::string(kFieldOperators) + ")");
}

// A field's value: a value to equal, or an object of operators only. An object of plain
// keys would be equality with a whole embedded object, which the indexes do not keep.
Status check_field(const std::string& path, const JsonValue& value) {
  if (is_comparable(value)) return ok_status();
  if (value.kind != Kind::kObject) {
    std::string message = field_text(path) + " is compared with " + kind_text(value) +
                          "; a value must be a string, number or bool";
    if (value.kind == Kind::kArray) message += R"( (for any of several values use {"$in": [...]}))";
    return filter_error(message);
  }
  if (value.members.empty()) {
    return filter_error(field_text(path) + " is compared with an empty object; give a value or operators (supported: " +
                        std::string(kFieldOperators) + ")");
  }
  const JsonMember* first_operator = nullptr;
  const JsonMember* first_plain = nullptr;
  for (const JsonMember& member : value.members) {
    const JsonMember*& first = is_operator_key(member.key) ? first_operator : first_plain;
    if (first == nullptr) first = &member;
  }
  if (first_plain != nullptr) {
    const std::string dotted = path + "." + first_plain->key;
    if (first_operator != nullptr) {
      return filter_error(field_text(path) + " mixes operators and plain keys ('" + first_operator->key + "' and '" +
                          first_plain->key + "'); use operators only, or the dotted path '" + dotted +
                          "' for a nested field");
    }
    return filter_error(field_text(path) +
                        " is compared with an embedded object, which filters cannot match; name a nested field by "
                        "its dotted path, e.g. {\"" + dotted + "\": ...}");
  }
  for (const JsonMember& member : value.members) {
    Status checked = check_operator(path, member.key, member.value);
    if (!checked.ok()) return checked;
  }
  return ok_status();
}

// One member of a filter object.
Status check_member(const std::string& key, const JsonValue& value) {
  if (key == "$and" || key == "$or") return check_filter_list(key, value);
  if (key == "$not") {
    if (value.kind == Kind::kObject) return check_filter_object(value);
    return filter_error("$not takes a filter object; got " + kind_text(value));
  }
  if (is_operator_key(key)) {
    return filter_error("unknown operator '" + key + "' (supported outside a field: $and, $or, $not)");
  }
  return check_field(key, value);
}

Status check_filter_object(const JsonValue& filter) {
  for (const auto& [key, value] : filter.members) {
    Status checked = check_member(key, value);
    if (!checked.ok()) return checked;
  }
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// Evaluation of a checked filter. Every helper returns a fresh set.

roaring::Roaring copy_all_docs(const FilterEngine& engine) {
  SharedLock lock(engine.all_docs.lock);
  return engine.all_docs.value;
}

roaring::Roaring all_docs_minus(const FilterEngine& engine, const roaring::Roaring& excluded) {
  SharedLock lock(engine.all_docs.lock);
  return engine.all_docs.value - excluded;
}

// The intersection of part(0) .. part(count - 1), stopping once it is empty; with no
// parts, every document (the empty conjunction holds for all).
template <typename Part>
roaring::Roaring intersect_parts(const FilterEngine& engine, size_t count, Part part) {
  if (count == 0) return copy_all_docs(engine);
  roaring::Roaring matches = part(0);
  for (size_t i = 1; i < count && !matches.isEmpty(); ++i) matches &= part(i);
  return matches;
}

// A value or a field the indexes never saw is equal to nothing.
roaring::Roaring eval_eq(const FilterEngine& engine, const std::string& path, const JsonValue& value) {
  OptionalIds ids = engine.eval_eq(path, value);
  return ids ? std::move(*ids) : roaring::Roaring();
}

roaring::Roaring eval_range(const FilterEngine& engine, const std::string& path, std::string_view op, double bound) {
  SharedLock lock(engine.numeric_trees.lock);
  auto tree = engine.numeric_trees.value.find(path);
  if (tree == engine.numeric_trees.value.end()) return roaring::Roaring();  // no numbers: nothing is in range
  return tree->second.range_query(op, bound);
}

roaring::Roaring eval_in(const FilterEngine& engine, const std::string& path, const JsonValue& candidates) {
  roaring::Roaring matches;
  for (const JsonValue& candidate : candidates.elements) {
    if (OptionalIds ids = engine.eval_eq(path, candidate)) matches |= *ids;
  }
  return matches;
}

roaring::Roaring eval_exists(const FilterEngine& engine, const std::string& path, bool wanted) {
  SharedLock presence_lock(engine.field_presence.lock);
  auto present = engine.field_presence.value.find(path);
  if (wanted) return present == engine.field_presence.value.end() ? roaring::Roaring() : present->second;
  SharedLock docs_lock(engine.all_docs.lock);  // order: field_presence, then all_docs
  if (present == engine.field_presence.value.end()) return engine.all_docs.value;
  return engine.all_docs.value - present->second;
}

roaring::Roaring eval_operator(const FilterEngine& engine, const std::string& path, std::string_view op,
                               const JsonValue& operand) {
  if (op == "$eq") return eval_eq(engine, path, operand);
  if (op == "$ne") return all_docs_minus(engine, eval_eq(engine, path, operand));
  if (op == "$in") return eval_in(engine, path, operand);
  if (op == "$nin") return all_docs_minus(engine, eval_in(engine, path, operand));
  if (op == "$exists") return eval_exists(engine, path, operand.boolean);
  return eval_range(engine, path, op, operand.as_double());  // "$gt", "$gte", "$lt", "$lte"
}

roaring::Roaring eval_field(const FilterEngine& engine, const std::string& path, const JsonValue& value) {
  if (value.kind != Kind::kObject) return eval_eq(engine, path, value);
  return intersect_parts(engine, value.members.size(), [&](size_t i) {
    return eval_operator(engine, path, value.members[i].key, value.members[i].value);
  });
}

roaring::Roaring eval_object(const FilterEngine& engine, const JsonValue& filter);

roaring::Roaring eval_member(const FilterEngine& engine, const std::string& key, const JsonValue& value) {
  if (key == "$and") {
    return intersect_parts(engine, value.elements.size(), [&](size_t i) { return eval_object(engine, value.elements[i]); });
  }
  if (key == "$or") {
    roaring::Roaring matches;
    for (const JsonValue& alternative : value.elements) matches |= eval_object(engine, alternative);
    return matches;
  }
  if (key == "$not") return all_docs_minus(engine, eval_object(engine, value));
  return eval_field(engine, key, value);
}

// Every member must hold.
roaring::Roaring eval_object(const FilterEngine& engine, const JsonValue& filter) {
  return intersect_parts(engine, filter.members.size(), [&](size_t i) {
    return eval_member(engine, filter.members[i].key, filter.members[i].value);
  });
}

}  // namespace

Status FilterEngine::check_filter_strict(const JsonValue& filter) {
  if (filter.kind != Kind::kObject) return filter_error("expected a JSON object; got " + kind_text(filter));
  return check_filter_object(filter);
}

roaring::Roaring FilterEngine::eval_filter_strict(const JsonValue& filter) const {
  return eval_object(*this, filter);
}

}  // namespace vendrel

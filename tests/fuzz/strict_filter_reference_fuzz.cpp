// libFuzzer target: a FilterEngine of the strict dialect against a small, slow reference
// of MongoDB-style matching, so that wrong answers and wrong refusals are caught, not only
// crashes. Documents have fields a, b, c (short strings, bools, small numbers, null) and
// d (null, or an object with a member e); each id is indexed once and some are removed
// (the numeric index keeps removed ids, as in the contract dialect: they are left out
// before the comparison).
// Filters use shorthand equality, every field operator, $and, $or, $not and several
// members per object; now and then a clause is malformed, and then the whole filter must
// be refused with a "filter: " message, whatever else it holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "filter.h"
#include "json.h"

namespace {

struct Value {
  enum Kind { kString, kBool, kNumber, kNull, kObject } kind = kNull;
  std::string text;
  bool boolean = false;
  double number = 0;
};

using Document = std::map<std::string, Value>;  // field path -> value
using Ids = std::set<uint32_t>;
// Whether a document's value at a path (null when the path is absent) passes a clause.
using Test = std::function<bool(const Value*)>;

const char* const kPaths[] = {"a", "b", "c", "d", "d.e"};
const char* const kStrings[] = {"x", "y", "", "true"};
const char* const kOperators[] = {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists"};
const char* const kFaults[] = {
    R"({"$regex":"x"})", R"({"$gt":"1"})", R"({"$in":"x"})", R"({"$exists":1})", "null",
    R"({"e":1})",        R"({"$eq":1,"e":1})", "[1]",        R"({"$eq":null})", R"({"$nin":[{}]})"};

// A string, bool or number and its JSON text.
struct Scalar {
  Value value;
  std::string literal;
};

std::string number_text(double number) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", number);
  return buffer;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

Scalar make_scalar(FuzzedDataProvider& input) {
  Scalar scalar;
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      scalar.value.kind = Value::kString;
      scalar.value.text = kStrings[input.ConsumeIntegralInRange<int>(0, 3)];
      scalar.literal = quoted(scalar.value.text);
      break;
    case 1:
      scalar.value.kind = Value::kBool;
      scalar.value.boolean = input.ConsumeBool();
      scalar.literal = scalar.value.boolean ? "true" : "false";
      break;
    default:
      scalar.value.kind = Value::kNumber;
      scalar.value.number = input.ConsumeIntegralInRange<int>(-4, 4) / (input.ConsumeBool() ? 1.0 : 2.0);
      scalar.literal = number_text(scalar.value.number);
  }
  return scalar;
}

bool equal(const Value& stored, const Value& operand) {
  if (stored.kind != operand.kind) return false;
  switch (stored.kind) {
    case Value::kString: return stored.text == operand.text;
    case Value::kBool: return stored.boolean == operand.boolean;
    case Value::kNumber: return stored.number == operand.number;
    default: return false;
  }
}

struct Reference {
  std::map<uint32_t, Document> documents;

  Ids select(const std::string& path, const Test& test) const {
    Ids ids;
    for (const auto& [id, document] : documents) {
      auto found = document.find(path);
      if (test(found == document.end() ? nullptr : &found->second)) ids.insert(id);
    }
    return ids;
  }

  Ids all() const {
    return select("", [](const Value*) { return true; });
  }
};

Ids intersection(const Ids& left, const Ids& right) {
  Ids both;
  for (uint32_t id : left) {
    if (right.count(id)) both.insert(id);
  }
  return both;
}

// What one filter or clause selects, or that it must be refused.
struct Expected {
  Ids ids;
  bool refused = false;
};

// One operator member of an operator object: its text and its test.
std::string make_operator(FuzzedDataProvider& input, const std::string& op, Test* test) {
  if (op == "$exists") {
    const bool wanted = input.ConsumeBool();
    *test = [wanted](const Value* value) { return (value != nullptr) == wanted; };
    return wanted ? "true" : "false";
  }
  if (op == "$in" || op == "$nin") {
    std::vector<Value> candidates;
    std::string text = "[";
    for (int count = input.ConsumeIntegralInRange<int>(0, 3); count > 0; --count) {
      const Scalar scalar = make_scalar(input);
      if (!candidates.empty()) text += ",";
      text += scalar.literal;
      candidates.push_back(scalar.value);
    }
    const bool negated = op == "$nin";
    *test = [candidates, negated](const Value* value) {
      bool found = false;
      for (const Value& candidate : candidates) found = found || (value != nullptr && equal(*value, candidate));
      return found != negated;
    };
    return text + "]";
  }
  if (op == "$eq" || op == "$ne") {
    const Scalar scalar = make_scalar(input);
    const bool negated = op == "$ne";
    *test = [operand = scalar.value, negated](const Value* value) {
      return (value != nullptr && equal(*value, operand)) != negated;
    };
    return scalar.literal;
  }
  const double bound = input.ConsumeIntegralInRange<int>(-5, 5) / 2.0;
  *test = [op, bound](const Value* value) {
    if (value == nullptr || value->kind != Value::kNumber) return false;
    const double number = value->number;
    if (op == "$gt") return number > bound;
    if (op == "$gte") return number >= bound;
    if (op == "$lt") return number < bound;
    return number <= bound;
  };
  return number_text(bound);
}

// A field's value: a malformed one now and then, a scalar, or an operator object.
std::string make_field(FuzzedDataProvider& input, const Reference& reference, const std::string& path,
                       Expected* expected) {
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
    expected->refused = true;
    return kFaults[input.ConsumeIntegralInRange<int>(0, 9)];
  }
  if (input.ConsumeBool()) {
    const Scalar scalar = make_scalar(input);
    expected->ids = reference.select(path, [operand = scalar.value](const Value* value) {
      return value != nullptr && equal(*value, operand);
    });
    return scalar.literal;
  }
  std::vector<Test> tests;
  std::set<std::string> used;
  std::string text = "{";
  for (int count = input.ConsumeIntegralInRange<int>(1, 2); count > 0; --count) {
    const std::string op = kOperators[input.ConsumeIntegralInRange<int>(0, 8)];
    if (!used.insert(op).second) continue;  // one member per key
    Test test;
    if (text.size() > 1) text += ",";
    text += quoted(op) + ":" + make_operator(input, op, &test);
    tests.push_back(std::move(test));
  }
  expected->ids = reference.select(path, [tests](const Value* value) {
    for (const Test& test : tests) {
      if (!test(value)) return false;
    }
    return true;
  });
  return text + "}";
}

// A filter object of up to three members with distinct keys; the reference's answer in
// `expected`.
std::string make_filter(FuzzedDataProvider& input, const Reference& reference, int depth, Expected* expected) {
  static const char* const kKeys[] = {"a", "b", "c", "d", "d.e", "$and", "$or", "$not", "$nor"};
  expected->ids = reference.all();
  std::set<std::string> used;
  std::string text = "{";
  for (int count = input.ConsumeIntegralInRange<int>(0, 3); count > 0; --count) {
    // Logical members only while the nesting is shallow; "$nor" is a fault.
    const int last = depth >= 3 ? 4 : (input.ConsumeIntegralInRange<int>(0, 40) == 0 ? 8 : 7);
    const std::string key = kKeys[input.ConsumeIntegralInRange<int>(0, last)];
    if (!used.insert(key).second) continue;
    if (text.size() > 1) text += ",";
    text += quoted(key) + ":";
    Expected member;
    if (key == "$and" || key == "$or") {
      const bool conjunction = key == "$and";
      member.ids = conjunction ? reference.all() : Ids();
      text += "[";
      for (int parts = input.ConsumeIntegralInRange<int>(0, 3), i = 0; i < parts; ++i) {
        Expected part;
        if (i > 0) text += ",";
        text += make_filter(input, reference, depth + 1, &part);
        member.refused = member.refused || part.refused;
        if (conjunction) {
          member.ids = intersection(member.ids, part.ids);
        } else {
          member.ids.insert(part.ids.begin(), part.ids.end());
        }
      }
      text += "]";
    } else if (key == "$not") {
      Expected inner;
      text += make_filter(input, reference, depth + 1, &inner);
      member.refused = inner.refused;
      for (uint32_t id : reference.all()) {
        if (!inner.ids.count(id)) member.ids.insert(id);
      }
    } else if (key == "$nor") {
      member.refused = true;
      text += "[]";
    } else {
      text += make_field(input, reference, key, &member);
    }
    expected->refused = expected->refused || member.refused;
    expected->ids = intersection(expected->ids, member.ids);
  }
  return text + "}";
}

// Indexes one random document under `id`, in the engine and the reference.
void add_document(FuzzedDataProvider& input, vendrel::FilterEngine& engine, Reference& reference, uint32_t id) {
  Document document;
  std::string text = "{";
  auto append = [&text](const std::string& member) { text += (text.size() > 1 ? "," : "") + member; };
  for (const char* field : {"a", "b", "c"}) {
    const int kind = input.ConsumeIntegralInRange<int>(0, 4);
    if (kind == 0) continue;
    if (kind == 1) {
      document[field] = Value{};
      append(quoted(field) + ":null");
      continue;
    }
    const Scalar scalar = make_scalar(input);
    document[field] = scalar.value;
    append(quoted(field) + ":" + scalar.literal);
  }
  const int nested = input.ConsumeIntegralInRange<int>(0, 3);
  if (nested == 1) {
    document["d"] = Value{};
    append("\"d\":null");
  } else if (nested >= 2) {
    document["d"].kind = Value::kObject;
    std::string inner = "{";
    if (nested == 3) {
      const Scalar scalar = make_scalar(input);
      document["d.e"] = scalar.value;
      inner += "\"e\":" + scalar.literal;
    }
    append("\"d\":" + inner + "}");
  }
  text += "}";
  engine.add_document(id);
  vendrel::Result<vendrel::JsonValue> parsed = vendrel::parse_json(text);
  if (!parsed.ok()) std::abort();
  engine.index_object(parsed.value(), std::string(), id);
  reference.documents[id] = document;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  vendrel::FilterEngine engine(vendrel::FilterDialect::kStrict);
  Reference reference;
  const int documents = input.ConsumeIntegralInRange<int>(0, 12);
  for (int i = 0; i < documents; ++i) {
    const uint32_t id = static_cast<uint32_t>(i) * input.ConsumeIntegralInRange<uint32_t>(1, 3);
    if (!reference.documents.count(id)) add_document(input, engine, reference, id);
  }
  roaring::Roaring removed;
  for (int removals = input.ConsumeIntegralInRange<int>(0, 3); removals > 0; --removals) {
    const uint32_t id = input.ConsumeIntegralInRange<uint32_t>(0, 36);
    engine.remove_document(id);
    removed.add(id);
    reference.documents.erase(id);
  }

  while (input.remaining_bytes() > 0) {
    Expected expected;
    const std::string filter = make_filter(input, reference, 0, &expected);
    vendrel::Result<vendrel::OptionalIds> actual = engine.apply_filter(filter);
    if (expected.refused) {
      if (actual.ok() || actual.error().message.rfind("filter: ", 0) != 0) {
        std::fprintf(stderr, "filter %s: should have been refused\n", filter.c_str());
        std::abort();
      }
      continue;
    }
    if (!actual.ok() || !actual.value()) {
      std::fprintf(stderr, "filter %s: refused or undetermined: %s\n", filter.c_str(),
                   actual.ok() ? "" : actual.error().message.c_str());
      std::abort();
    }
    Ids got;
    for (uint32_t id : *actual.value() - removed) got.insert(id);
    if (got != expected.ids) {
      std::fprintf(stderr, "filter %s: engine selected %zu ids, reference %zu\n", filter.c_str(), got.size(),
                   expected.ids.size());
      std::abort();
    }
  }
  return 0;
}

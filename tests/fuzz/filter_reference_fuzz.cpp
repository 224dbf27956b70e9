// libFuzzer target: the FilterEngine against a small, slow reference evaluator, so
// that wrong answers are caught, not only crashes. The language is restricted to a
// clear subset: {"f": {"$eq": "<string>"}}, {"f": {"$gt": n}}, {"f": {"$lt": n}},
// {"f": {"$exists": bool}}, {"$and": [...]}, {"$or": [...]}, {"$not": {...}} over flat
// documents with fields a, b, c holding short strings, booleans or small numbers. Each
// id is indexed once and nothing is removed.
//
// The reference follows the engine's three-valued rules: a clause the indexes cannot
// decide (a field never indexed with that kind of value, a string never seen) is
// "undetermined"; $and ignores undetermined parts (undetermined if all are), $or
// unions the determined ones, $not of undetermined stays undetermined, and a final
// undetermined selects nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "filter.h"
#include "json.h"

namespace {

struct Value {
  enum Kind { kString, kBool, kNumber } kind = kString;
  std::string text;  // kString, or "true"/"false" for kBool
  double number = 0;
};

using Document = std::map<std::string, Value>;
using Ids = std::set<uint32_t>;
using MaybeIds = std::optional<Ids>;

const char* const kFields[] = {"a", "b", "c"};
const char* const kStrings[] = {"x", "y", "", "true", "x y"};

struct Reference {
  std::map<uint32_t, Document> documents;

  Ids all() const {
    Ids ids;
    for (const auto& [id, document] : documents) ids.insert(id);
    return ids;
  }

  // String and bool values share one hash space: "true" the string equals true the bool.
  MaybeIds eq(const std::string& field, const std::string& text) const {
    bool field_known = false;
    bool value_known = false;
    Ids ids;
    for (const auto& [id, document] : documents) {
      auto found = document.find(field);
      if (found == document.end() || found->second.kind == Value::kNumber) continue;
      field_known = true;
      if (found->second.text == text) {
        value_known = true;
        ids.insert(id);
      }
    }
    if (!field_known || !value_known) return std::nullopt;
    return ids;
  }

  MaybeIds range(const std::string& field, bool greater, double bound) const {
    bool known = false;
    Ids ids;
    for (const auto& [id, document] : documents) {
      auto found = document.find(field);
      if (found == document.end() || found->second.kind != Value::kNumber) continue;
      known = true;
      const double number = found->second.number;
      if (greater ? number > bound : number < bound) ids.insert(id);
    }
    if (!known) return std::nullopt;
    return ids;
  }

  MaybeIds exists(const std::string& field, bool wanted) const {
    Ids present;
    for (const auto& [id, document] : documents) {
      if (document.count(field)) present.insert(id);
    }
    if (present.empty()) return std::nullopt;
    if (wanted) return present;
    Ids absent;
    for (uint32_t id : all()) {
      if (!present.count(id)) absent.insert(id);
    }
    return absent;
  }
};

std::string number_text(double number) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", number);
  return buffer;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

double small_number(FuzzedDataProvider& input) {
  return input.ConsumeIntegralInRange<int>(-8, 8) / (input.ConsumeBool() ? 1.0 : 2.0);
}

// Builds a random filter text and evaluates it with the reference at the same time.
std::string make_filter(FuzzedDataProvider& input, const Reference& reference, int depth, MaybeIds* result) {
  const int choice = input.ConsumeIntegralInRange<int>(0, depth >= 4 ? 3 : 6);
  const std::string field = kFields[input.ConsumeIntegralInRange<int>(0, 2)];
  switch (choice) {
    case 0: {
      const std::string text = kStrings[input.ConsumeIntegralInRange<int>(0, 4)];
      *result = reference.eq(field, text);
      return "{" + quoted(field) + ":{\"$eq\":" + quoted(text) + "}}";
    }
    case 1:
    case 2: {
      const bool greater = choice == 1;
      const double bound = small_number(input);
      *result = reference.range(field, greater, bound);
      return "{" + quoted(field) + ":{" + (greater ? "\"$gt\":" : "\"$lt\":") + number_text(bound) + "}}";
    }
    case 3: {
      const bool wanted = input.ConsumeBool();
      *result = reference.exists(field, wanted);
      return "{" + quoted(field) + ":{\"$exists\":" + (wanted ? "true" : "false") + "}}";
    }
    case 4:
    case 5: {
      const bool conjunction = choice == 4;
      const int parts = input.ConsumeIntegralInRange<int>(0, 3);
      std::string text = conjunction ? "{\"$and\":[" : "{\"$or\":[";
      MaybeIds combined;
      if (!conjunction) combined = Ids();
      for (int i = 0; i < parts; ++i) {
        MaybeIds part;
        if (i > 0) text += ",";
        text += make_filter(input, reference, depth + 1, &part);
        if (!part) continue;
        if (conjunction) {
          if (!combined) {
            combined = part;
          } else {
            Ids both;
            for (uint32_t id : *combined) {
              if (part->count(id)) both.insert(id);
            }
            combined = both;
          }
        } else {
          combined->insert(part->begin(), part->end());
        }
      }
      if (conjunction && parts == 0) combined = std::nullopt;  // an empty $and is undetermined
      *result = combined;
      return text + "]}";
    }
    default: {
      MaybeIds inner;
      const std::string text = "{\"$not\":" + make_filter(input, reference, depth + 1, &inner) + "}";
      if (!inner) {
        *result = std::nullopt;
      } else {
        Ids complement;
        for (uint32_t id : reference.all()) {
          if (!inner->count(id)) complement.insert(id);
        }
        *result = complement;
      }
      return text;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  vendrel::FilterEngine engine;
  Reference reference;
  const int documents = input.ConsumeIntegralInRange<int>(0, 12);
  for (int i = 0; i < documents; ++i) {
    const uint32_t id = static_cast<uint32_t>(i) * input.ConsumeIntegralInRange<uint32_t>(1, 3);
    if (reference.documents.count(id)) continue;
    Document document;
    std::string text = "{";
    for (const char* field : kFields) {
      const int kind = input.ConsumeIntegralInRange<int>(0, 3);
      if (kind == 0) continue;
      Value value;
      std::string literal;
      if (kind == 1) {
        value.kind = Value::kString;
        value.text = kStrings[input.ConsumeIntegralInRange<int>(0, 4)];
        literal = quoted(value.text);
      } else if (kind == 2) {
        value.kind = Value::kBool;
        value.text = input.ConsumeBool() ? "true" : "false";
        literal = value.text;
      } else {
        value.kind = Value::kNumber;
        value.number = small_number(input);
        literal = number_text(value.number);
      }
      if (text.size() > 1) text += ",";
      text += quoted(field) + ":" + literal;
      document[field] = value;
    }
    text += "}";
    engine.add_document(id);
    vendrel::Result<vendrel::JsonValue> parsed = vendrel::parse_json(text);
    if (!parsed.ok()) std::abort();
    engine.index_object(parsed.value(), std::string(), id);
    reference.documents[id] = document;
  }

  while (input.remaining_bytes() > 0) {
    MaybeIds expected;
    const std::string filter = make_filter(input, reference, 0, &expected);
    vendrel::Result<vendrel::OptionalIds> actual = engine.apply_filter(filter);
    if (!actual.ok()) {
      std::fprintf(stderr, "refused filter %s: %s\n", filter.c_str(), actual.error().message.c_str());
      std::abort();
    }
    Ids got;
    if (actual.value()) {
      for (uint32_t id : *actual.value()) got.insert(id);
    }
    const Ids want = expected ? *expected : Ids();
    if (got != want) {
      std::fprintf(stderr, "filter %s: engine selected %zu ids, reference %zu\n", filter.c_str(), got.size(),
                   want.size());
      std::abort();
    }
  }
  return 0;
}

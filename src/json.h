// The JSON value model shared by metadata and filters, and its parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"

namespace vendrel {

// Nesting deeper than this many arrays/objects is refused ("recursion limit exceeded").
inline constexpr int kJsonMaxDepth = 128;

struct JsonMember;

// One parsed JSON value. Numbers keep their kind: non-negative integer literals are
// kUint, negative ones kInt, everything else (fractions, exponents, integers beyond 64
// bits) kDouble; every number is finite. Object members are sorted by key in ascending
// byte order, each key once (the last occurrence in the text wins).
struct JsonValue {
  enum class Kind { kNull, kBool, kUint, kInt, kDouble, kString, kArray, kObject };


  Kind kind = Kind::kNull;
  bool boolean = false;
  uint64_t uint_number = 0;
  int64_t int_number = 0;
  double double_number = 0.0;
  std::string text;                                       // kString
  std::vector<JsonValue> elements;                        // kArray
  std::vector<JsonMember> members;                        // kObject, sorted by key

  bool is_number() const { return kind == Kind::kUint || kind == Kind::kInt || kind == Kind::kDouble; }
  // The number converted to the nearest double (integers) or unchanged (doubles).
  double as_double() const;
};

// An object member. A struct of its own (not a std::pair) so that JsonValue may hold
// members while it is still being defined.
struct JsonMember {
  std::string key;
  JsonValue value;
};

// Parses a whole UTF-8 text as one JSON value; nothing but white space may follow it.
// On a syntax error returns a kValue error "<description> at line L column C" with a
// 1-based line and a column counting bytes up to and including the offending one (at
// the end of input, the bytes of the last line). Recursion is bounded by kJsonMaxDepth
// whatever the input; no lock is involved. Strings stay valid UTF-8: an escape that
// leaves a lone surrogate is refused.
Result<JsonValue> parse_json(std::string_view text);

}  // namespace vendrel

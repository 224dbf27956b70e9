// libFuzzer target: the JSON parser and the value model it builds. Any text must give a
// value or an error "<description> at line L column C"; a value must respect the
// model's rules (members sorted by key and unique, numbers finite, bounded depth).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json.h"

namespace {

using vendrel::JsonValue;

void check(bool condition) {
  if (!condition) std::abort();
}

void check_value(const JsonValue& value, int depth) {
  check(depth <= vendrel::kJsonMaxDepth + 1);
  switch (value.kind) {
    case JsonValue::Kind::kDouble:
      check(std::isfinite(value.double_number));
      break;
    case JsonValue::Kind::kInt:
      check(value.int_number < 0);
      break;
    case JsonValue::Kind::kArray:
      for (const JsonValue& element : value.elements) check_value(element, depth + 1);
      break;
    case JsonValue::Kind::kObject:
      for (size_t i = 0; i < value.members.size(); ++i) {
        if (i > 0) check(value.members[i - 1].key < value.members[i].key);
        check_value(value.members[i].value, depth + 1);
      }
      break;
    default:
      break;
  }
  if (value.is_number()) check(std::isfinite(value.as_double()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vendrel::Result<JsonValue> parsed = vendrel::parse_json(text);
  if (parsed.ok()) {
    check_value(parsed.value(), 1);
  } else {
    const std::string& message = parsed.error().message;
    check(message.find(" at line ") != std::string::npos);
    check(message.find(" column ") != std::string::npos);
  }
  return 0;
}

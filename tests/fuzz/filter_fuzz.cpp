// libFuzzer target: random metadata objects indexed into a FilterEngine of each dialect,
// some removed, then random filter texts evaluated. Nothing may crash, and a determined
// result never names an id the engine does not hold; the strict dialect's results are
// always determined.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filter.h"
#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  vendrel::FilterEngine engine;
  vendrel::FilterEngine strict(vendrel::FilterDialect::kStrict);
  roaring::Roaring held;
  const int documents = input.ConsumeIntegralInRange<int>(0, 24);
  for (int i = 0; i < documents; ++i) {
    const uint32_t id = input.ConsumeIntegralInRange<uint32_t>(0, 40);
    const std::string metadata = input.ConsumeRandomLengthString(512);
    engine.add_document(id);
    strict.add_document(id);
    held.add(id);
    vendrel::Result<vendrel::JsonValue> parsed = vendrel::parse_json(metadata);
    if (parsed.ok() && parsed.value().kind == vendrel::JsonValue::Kind::kObject) {
      engine.index_object(parsed.value(), std::string(), id);
      strict.index_object(parsed.value(), std::string(), id);
    }
    if (input.ConsumeBool()) {
      const uint32_t removed = input.ConsumeIntegralInRange<uint32_t>(0, 40);
      engine.remove_document(removed);
      strict.remove_document(removed);
      held.remove(removed);
    }
  }
  while (input.remaining_bytes() > 0) {
    const std::string filter = input.ConsumeRandomLengthString(1024);
    vendrel::Result<vendrel::OptionalIds> result = engine.apply_filter(filter);
    if (result.ok() && result.value()) {
      // Equality, $exists and $not answer from live sets; ranges from the numeric
      // trees, which keep removed ids, so only ids ever added may appear.
      for (uint32_t id : *result.value()) {
        if (id > 40) std::abort();
      }
    }
    vendrel::Result<vendrel::OptionalIds> strict_result = strict.apply_filter(filter);
    if (strict_result.ok()) {
      if (!strict_result.value()) std::abort();
      for (uint32_t id : *strict_result.value()) {
        if (id > 40) std::abort();
      }
    }
  }
  return 0;
}

#include "common.h"

#include <cmath>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vendrel {

std::string os_error_text(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

void release_free_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// Every access to readers_ and writer_gate_ is sequentially consistent: a reader adds
// itself and then looks at the gate, a writer closes the gate and then looks at the
// readers, so one of them always sees the other.
void PhaseFairLock::lock() {
  std::unique_lock guard(state_lock_);
  ++writers_waiting_;
  writer_gate_ = true;
  writers_wake_.wait(guard, [&] { return !writer_ && readers_ == 0 && readers_let_in_ == 0; });
  --writers_waiting_;
  writer_ = true;
}

bool PhaseFairLock::try_lock() {
  std::lock_guard guard(state_lock_);
  if (writer_ || readers_let_in_ > 0 || readers_ > 0) return false;
  writer_gate_ = true;
  if (readers_ > 0) {  // a reader came in by the open gate meanwhile
    if (writers_waiting_ == 0) writer_gate_ = false;
    return false;
  }
  writer_ = true;
  return true;
}

void PhaseFairLock::unlock() {
  {
    std::lock_guard guard(state_lock_);
    writer_ = false;
    readers_let_in_ = readers_waiting_;  // they go before the next writer
    ++writer_releases_;
    if (writers_waiting_ == 0) writer_gate_ = false;
  }
  readers_wake_.notify_all();
  writers_wake_.notify_one();
}

void PhaseFairLock::lock_shared() {
  if (try_lock_shared()) return;
  std::unique_lock guard(state_lock_);
  // Behind a waiting or working writer; in at the release of the writer working now
  // (or of the one after it, when a writer is only waiting).
  ++readers_waiting_;
  const uint64_t arrival = writer_releases_;
  readers_wake_.wait(guard, [&] { return !writer_ && (writers_waiting_ == 0 || writer_releases_ != arrival); });
  --readers_waiting_;
  if (writer_releases_ != arrival && readers_let_in_ > 0) --readers_let_in_;
  ++readers_;
}

bool PhaseFairLock::try_lock_shared() {
  if (writer_gate_) return false;
  ++readers_;
  if (!writer_gate_) return true;
  leave_as_reader();  // a writer closed the gate meanwhile: it goes first
  return false;
}

void PhaseFairLock::unlock_shared() { leave_as_reader(); }

void PhaseFairLock::leave_as_reader() {
  if (--readers_ != 0 || !writer_gate_) return;
  // The last reader out, with a writer waiting: the mutex orders this wake-up after the
  // writer's own look at the readers.
  std::lock_guard guard(state_lock_);
  writers_wake_.notify_one();
}

float Lcg::next() {
  state_ = state_ * 1103515245ULL + 12345ULL;
  // The shifted state keeps up to 48 significant bits; the conversion rounds to nearest.
  const float shifted = static_cast<float>(state_ >> 16);
  return shifted * 0.000030517578125f - 1.0f;
}

void normalize_unit(std::span<float> values) {
  float squared_norm = 0.0f;
  for (float value : values) squared_norm += value * value;
  if (squared_norm > 0.0f) {
    const float norm = std::sqrt(squared_norm);
    for (float& value : values) value /= norm;
  }
}

}  // namespace vendrel

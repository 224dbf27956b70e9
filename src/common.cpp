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

WriterFirstLock::WriterFirstLock() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&lock_, &attributes);
  pthread_rwlockattr_destroy(&attributes);
}

WriterFirstLock::~WriterFirstLock() { pthread_rwlock_destroy(&lock_); }

void WriterFirstLock::lock() { pthread_rwlock_wrlock(&lock_); }
bool WriterFirstLock::try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
void WriterFirstLock::unlock() { pthread_rwlock_unlock(&lock_); }
void WriterFirstLock::lock_shared() { pthread_rwlock_rdlock(&lock_); }
bool WriterFirstLock::try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
void WriterFirstLock::unlock_shared() { pthread_rwlock_unlock(&lock_); }

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

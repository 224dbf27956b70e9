// Shared helpers of every component: the error-or-value result type, the seeded
// pseudo-random generator, float32 unit normalisation, the reader-writer locked
// holder and the operating-system error text.
#pragma once

#include <atomic>
#include <cstddef>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>
#include <variant>

namespace vendrel {

// Seeds and fixed constants shared by more than one component.
inline constexpr uint64_t kLshSeed = 12345;
inline constexpr uint64_t kQuantizerSeed = 54321;

// What kind of failure an operation reports. The binding layer maps kValue to
// ValueError and kInternal to the interpreter-ending internal-error exception.
enum class ErrorKind { kValue, kInternal };

struct Error {
  ErrorKind kind = ErrorKind::kValue;
  std::string message;
};

inline Error value_error(std::string message) { return Error{ErrorKind::kValue, std::move(message)}; }
inline Error internal_error(std::string message) { return Error{ErrorKind::kInternal, std::move(message)}; }

// A value or an error message. Internal operations return this; only the binding
// layer turns the error into a Python exception.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  const Error& error() const { return std::get<Error>(state_); }

 private:
  std::variant<T, Error> state_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok_status() { return Status(Ok{}); }

// A scored document: the currency between scoring, selection and result building.
struct ScoredId {
  uint32_t id = 0;
  float score = 0.0f;
  // Internal, never returned: the squared distance behind a quantized score (0 for full
  // vectors). It orders documents whose scores are equal when the top k are selected
  // from more than k, which is where the order of equal scores is free.
  float distance = 0.0f;
};

// Descending score with NaN after every number, and equal scores in ascending id order:
// a strict weak order, so selection and sorting stay in bounds whatever the scores.
// Inline: a heap of the top k calls it for nearly every offer.
inline bool ranks_before_by_id(const ScoredId& left, const ScoredId& right) {
  const bool left_nan = std::isnan(left.score);
  const bool right_nan = std::isnan(right.score);
  if (left_nan != right_nan) return right_nan;
  if (!left_nan && left.score != right.score) return left.score > right.score;
  return left.id < right.id;
}

// A result row: id, score and the metadata text ("" when not requested).
struct SearchHit {
  uint32_t id = 0;
  float score = 0.0f;
  std::string metadata;
};

// The operating system's text for an errno value, as "<description> (os error N)".
std::string os_error_text(int error_number);

// Hands the heap's free pages back to the operating system (glibc keeps them; elsewhere
// nothing happens). For after a large batch, whose temporaries would otherwise stay
// resident: about 1 ms after 100,000 rows.
void release_free_heap();

// A value guarded by its own reader-writer lock. Readers take `lock` shared,
// writers exclusively; the lock never poisons.
template <typename T>
struct RwLocked {
  mutable std::shared_mutex lock;
  T value{};
};

// A reader-writer lock that neither side can starve. A waiting writer goes before
// readers that arrive after it (with the default rule a steady stream of searches would
// keep an add waiting for ever); and when a writer finishes, the readers that were
// waiting go before the next writer (with writers first alone, two threads writing in
// turn kept searches waiting for ever). Meets the standard SharedMutex requirements
// (std::unique_lock and std::shared_lock work with it). Not recursive: a thread must not
// take it twice, not even shared, since a writer waiting in between would stop the
// second acquisition.
class PhaseFairLock {
 public:
  PhaseFairLock() = default;
  PhaseFairLock(const PhaseFairLock&) = delete;
  PhaseFairLock& operator=(const PhaseFairLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  // Readers come and go by `readers_` alone while `writer_gate_` is open (no writer
  // working or waiting): two searching threads never meet on the mutex. The rest is
  // guarded by `state_lock_`.
  void leave_as_reader();

  std::atomic<uint32_t> readers_{0};        // holding it shared
  std::atomic<bool> writer_gate_{false};    // a writer is working or waiting
  std::mutex state_lock_;
  std::condition_variable readers_wake_;
  std::condition_variable writers_wake_;
  bool writer_ = false;         // holding it exclusively
  size_t writers_waiting_ = 0;
  size_t readers_waiting_ = 0;
  size_t readers_let_in_ = 0;   // waiting readers a writer's release let in, not yet in
  uint64_t writer_releases_ = 0;
};

// The linear congruential generator behind the LSH hyperplanes and the quantizer's
// initial centroids. Each draw advances the state, then maps state >> 16 to a float32
// in float32 arithmetic, so the sequence is the same in every process.
class Lcg {
 public:
  explicit Lcg(uint64_t seed) : state_(seed) {}
  float next();

 private:
  uint64_t state_;
};

// Scales `values` to unit length in float32: the squared norm is summed in component
// order; a zero or NaN norm leaves the values unchanged.
void normalize_unit(std::span<float> values);

}  // namespace vendrel

// Argument conversions of the companion module (FullVendrelDB, and the sharded layer's
// client), in Python's own words. The contract's conversions (core_convert.h) keep the
// contract's messages; these name the argument and what it accepts, as Python's own
// functions do:
//   TypeError: vector must be a sequence of numbers or a 1-D array, not str
//   OverflowError: id must be between 0 and 4294967295, got -1
//   ValueError: k must be at least 1, got -1
// and accept Python values beyond the contract's: metadata and filters as mappings
// (turned into JSON text with json.dumps) as well as str, paths as any os.PathLike.
// Vectors must hold finite numbers.
//
// Every function expects the interpreter lock held and returns false with a Python
// exception set. They may throw std::bad_alloc; convert_plus() catches it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core_convert.h"
#include "recall_target.h"

namespace vendrel::py::plus {

// The argument's name as messages show it ("vector", "row 3: vector" is made by the
// batch converters from "vector" and the row).
using Name = const char*;

bool to_id(PyObject* object, Name name, uint32_t* out);
// A sequence of numbers (not str or bytes), or a 1-D array (a C-contiguous float32 or
// float64 one is read in one go). With `check_values`, every value must be finite and
// within float32's range; without, values beyond it become infinities, which the
// database refuses itself (add_many's rows, whose refusal must store the rows before).
bool to_vector(PyObject* object, Name name, std::vector<float>* out, bool check_values = true);
// str, or a mapping (json.dumps of it). Lone surrogates: UnicodeEncodeError.
bool to_json_text(PyObject* object, Name name, std::string* out);
// None (absent), str or a mapping.
bool to_optional_json_text(PyObject* object, Name name, std::optional<std::string>* out);
// An int of at least 1 (values beyond 2**64 - 1 are taken as 2**64 - 1).
bool to_k(PyObject* object, uint64_t* out);
// None (absent) or an int that fits in 64 signed bits (seconds; zero and negative
// values are accepted and expire at the next sweep).
bool to_optional_ttl(PyObject* object, std::optional<int64_t>* out);
// Anything Python can take as true or false.
bool to_flag(PyObject* object, bool* out);
// str, bytes or os.PathLike.
bool to_path(PyObject* object, std::string* out);
// An int in [low, high].
bool to_bounded(PyObject* object, Name name, uint64_t low, uint64_t high, size_t* out);
// None (absent: *out unchanged) or an int in [low, high].
bool to_optional_bounded(PyObject* object, Name name, uint64_t low, uint64_t high, size_t* out);
// A real number (float or int, not bool) in (0, 1], e.g. a recall or a share of
// documents.
bool to_share(PyObject* object, Name name, double* out);
// None (absent: *out unchanged) or what to_share accepts.
bool to_optional_share(PyObject* object, Name name, std::optional<double>* out);
// One of `choices` (str), as its index.
bool to_choice(PyObject* object, Name name, std::initializer_list<const char*> choices, size_t* out);

// The columns of add_many and the queries of search_many. An item's error names its
// row ("row 3: id must be ..."); a 2-D C-contiguous float32 array is held, not copied.
// Vectors' values are not checked here (see to_vector).
bool to_ids(PyObject* object, std::vector<uint32_t>* out);
bool to_vectors(PyObject* object, Name name, VectorRows* out);
// With `refused`, a row whose text raises a ValueError (a mapping holding a NaN, a
// lone surrogate) does not fail the column: its error, "row N: " in front and class
// kept, goes to *refused, and that row and the later ones hold "" unconverted, so that
// the caller can store the rows before it first, as add_many does with a row the
// database refuses.
struct RowRefusal {
  size_t row = 0;
  PyRef error;  // the exception instance
  void raise() const { PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get()); }
};
bool to_json_texts(PyObject* object, TextColumn* out, std::optional<RowRefusal>* refused = nullptr);
bool to_optional_ttls(PyObject* object, std::vector<std::optional<int64_t>>* out);
// (id, score) pairs, as tuples or lists of two.
bool to_scored(PyObject* object, std::vector<ScoredId>* out);

// A calibration as a dict: k, allowed_fraction, method ("graph" or "scan"), ef (None for
// the scan), recall, documents, queries, seconds, graph_ms and scan_ms (per query), and
// trials (a list of dicts: ef, recall, recall_low, ms, queries). Null with an exception set when
// memory runs out.
PyObject* calibration_to_python(const Calibration& calibration);

// Runs one converter on a bound argument (null: omitted, *out keeps its default), with
// std::bad_alloc turned into MemoryError.
template <typename Convert>
bool convert_plus(PyObject* object, Convert&& convert) noexcept {
  if (object == nullptr) return true;
  try {
    return convert(object);
  } catch (...) {
    raise_current_exception();
    return false;
  }
}

}  // namespace vendrel::py::plus

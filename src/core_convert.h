// Shared plumbing of the Python binding: argument binding, conversion of Python
// arguments to the core's types and of the core's results back to Python, and the
// mapping of core errors and C++ exceptions to Python exceptions.
//
// Every function here expects the calling thread to hold the interpreter lock. The
// functions that return bool return false with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common.h"

namespace vendrel::py {

// An owned reference, released on scope exit; keeps the helpers leak-free when a
// C++ exception (std::bad_alloc from a growing vector) unwinds through them.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// ---- Errors ---------------------------------------------------------------------

// Raises a core error: kValue as ValueError, kInternal as PanicException, each with
// the error's message.
void raise_error(const Error& error);

// Raises PanicException with `message`. The class is created on first use and kept
// for the life of the process; if creating it fails, that failure is raised instead.
void raise_panic(std::string_view message);

// Turns the C++ exception being handled into a Python exception: std::bad_alloc as
// MemoryError, anything else as PanicException. Call only inside a catch block.
void raise_current_exception() noexcept;

// TypeError "'<type qualname>' object cannot be converted to '<expected>'".
void raise_wrong_type(PyObject* object, const char* expected);

// ---- Argument binding -----------------------------------------------------------

// A method's parameters as Python sees them: the first `required` names are required,
// the rest optional. `qualname` opens every binding error ("VendrelDB.add()").
struct Signature {
  const char* qualname;
  std::span<const char* const> names;
  size_t required;
};

// Binds a vectorcall argument list (positional values, then the values of the
// keywords named in the `kwnames` tuple, which may be null) to the parameters.
// Fills out[i] with a borrowed reference, or null for an omitted optional parameter.
// Checks, in order: too many positional arguments; each keyword in the order given
// (a parameter already filled, then an unknown name); missing required parameters.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) noexcept;

// The same for a tuple of positional arguments and an optional keyword dict (tp_new).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

// ---- Argument conversion --------------------------------------------------------

// Converters: each reads one Python object into a core value. They may throw
// std::bad_alloc; convert_argument() turns that into a Python exception.
bool convert_u32(PyObject* object, uint32_t* out);
bool convert_u64(PyObject* object, uint64_t* out);
bool convert_optional_i64(PyObject* object, std::optional<int64_t>* out);
bool convert_text(PyObject* object, std::string* out);
bool convert_optional_text(PyObject* object, std::optional<std::string>* out);
bool convert_bool(PyObject* object, bool* out);
// Any sequence except str, item by item through float(); a 1-D C-contiguous buffer of
// float32 or float64 (a NumPy array) is read directly, with the same values.
bool convert_float_array(PyObject* object, std::vector<float>* out);
// Any sequence except str of (id, score) tuples.
bool convert_scored_array(PyObject* object, std::vector<ScoredId>* out);

// A plain TypeError raised while converting the parameter `name` becomes TypeError
// "argument '<name>': <message>" with the same __cause__; other errors stay as raised.
void reraise_as_argument_error(const char* name);

// Converts one bound parameter; an omitted optional parameter (null) keeps the
// default already in *out.
template <typename T>
bool convert_argument(PyObject* object, const char* name, bool (*convert)(PyObject*, T*), T* out) noexcept {
  if (object == nullptr) return true;
  bool converted = false;
  try {
    converted = convert(object, out);
  } catch (...) {
    raise_current_exception();
  }
  if (!converted) reraise_as_argument_error(name);
  return converted;
}

// ---- Results --------------------------------------------------------------------

PyObject* to_python(Ok);
PyObject* to_python(uint64_t value);
// A list of (id, score, metadata) tuples.
PyObject* to_python(const std::vector<SearchHit>& hits);

template <typename T>
PyObject* to_python(Result<T>&& result) {
  if (!result.ok()) {
    raise_error(result.error());
    return nullptr;
  }
  return to_python(std::move(result.value()));
}

// Runs a core operation and converts what it returns. No C++ exception escapes: the
// caller's cleanup path runs either way and the database stays usable.
template <typename Call>
PyObject* call_core(Call&& call) noexcept {
  try {
    return to_python(call());
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace vendrel::py

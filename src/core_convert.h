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
#include <memory>
#include <new>
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
// the rest optional; the first `positional` names may be given by position, the rest
// only by keyword (SIZE_MAX: all of them). `qualname` opens every binding error
// ("VendrelDB.add()").
struct Signature {
  const char* qualname;
  std::span<const char* const> names;
  size_t required;
  size_t positional = SIZE_MAX;
};

// ---- Instances ------------------------------------------------------------------

// The instance layout of a class that holds one core database: the object header, the
// database, and the borrow flag (0 when free, -1 while an exclusive call holds it,
// n > 0 while n shared calls hold it). A taken borrow can only be met by re-entry from
// Python code that an argument conversion runs (an item's __float__ calling back into
// the same database).
template <typename Core>
struct BoundObject {
  PyObject_HEAD
  std::unique_ptr<Core> value;
  Py_ssize_t borrow_flag;
};

enum class Access { kShared, kExclusive };

// Checks that `self` is an instance of `type` (else the wrong-type TypeError naming
// `type_name`) and takes the borrow: "Already borrowed" when an exclusive borrow meets
// any other, "Already mutably borrowed" when a shared one meets an exclusive one.
bool borrow_flag_take(PyObject* self, PyTypeObject* type, const char* type_name, Access access,
                      Py_ssize_t* flag_of_self);
void borrow_flag_release(Py_ssize_t* flag, Access access);

template <typename Core>
bool borrow_self(PyObject* self, PyTypeObject* type, const char* type_name, Access access, BoundObject<Core>** out) {
  auto* object = reinterpret_cast<BoundObject<Core>*>(self);
  if (!borrow_flag_take(self, type, type_name, access, PyObject_TypeCheck(self, type) ? &object->borrow_flag : nullptr)) {
    return false;
  }
  *out = object;
  return true;
}

template <typename Core>
void release_borrow(BoundObject<Core>* object, Access access) {
  if (object != nullptr) borrow_flag_release(&object->borrow_flag, access);
}

// Allocates an instance of `type` with its allocation slot (the generic allocator if it
// has none) and moves the database into it; on failure the database is dropped and the
// pending error (or SystemError) is raised.
template <typename Core>
PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<Core> core) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  auto* object = reinterpret_cast<BoundObject<Core>*>(self);
  new (&object->value) std::unique_ptr<Core>(std::move(core));
  object->borrow_flag = 0;
  return self;
}

// tp_dealloc of such a class: drops the database (its destructors do not throw and
// write nothing) and frees the object.
template <typename Core>
void dealloc_core(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<BoundObject<Core>*>(self)->value);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Creates a heap type from its type description whose __doc__ is None and whose text
// signature is kept (before 3.10 the interpreter drops it from the description's
// docstring); `class_doc` is the description's docstring slot text.
PyTypeObject* create_class(PyType_Spec* spec, const char* class_doc);

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

// A Python buffer held for as long as the view lives (released with the interpreter
// lock held, like every object here).
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False, with no error set, when the object exports no strided buffer.
  bool acquire(PyObject* object) {
    if (!PyObject_CheckBuffer(object)) return false;
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// add_many's rows as converted from Python: it owns what DocumentBatch's spans point
// into: copies of the rows, or the caller's own 2-D float32 array held as a buffer.
struct VectorRows {
  BufferView held;
  std::vector<std::vector<float>> copies;
  std::vector<std::span<const float>> rows;
};

// Texts read in place: each view points into the UTF-8 form its str object keeps, and
// the object is held for as long as the column lives.
struct TextColumn {
  std::vector<PyRef> owners;
  std::vector<std::string_view> views;
  size_t size() const { return views.size(); }
};

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

// The columns of add_many. Each item is converted as the single-row argument is (ids as
// internal_id, each row as vector, each text as metadata_json, each ttl as ttl), and an
// item's error gets "row N: " in front of its message, keeping its class. Integer
// buffers of ids and 2-D float32/float64 buffers of vectors whose rows are each
// contiguous (C-contiguous, or every n-th row of such an array) are read without a
// Python object per row (a float32 array is not even copied).
bool convert_id_array(PyObject* object, std::vector<uint32_t>* out);
bool convert_vector_rows(PyObject* object, VectorRows* out);
bool convert_text_array(PyObject* object, TextColumn* out);
bool convert_optional_i64_array(PyObject* object, std::vector<std::optional<int64_t>>* out);

// Shared with the companion module's converters (plus_convert.h):
// Reserving beyond this many items waits until the items are actually there.
inline constexpr size_t kMaxReservedItems = size_t{1} << 20;
// 'f' or 'd' when a buffer format names one native float32 or float64, else 0.
char native_float_format(const char* format);
// Copies a 1-D C-contiguous float32 or float64 buffer (a NumPy array, array.array,
// memoryview); false with no error set when the object is no such buffer.
bool read_float_buffer(PyObject* object, std::vector<float>* out);
// The same from a buffer the caller holds.
bool read_float_view(const Py_buffer& view, std::vector<float>* out);
// Rows from a 2-D C-contiguous float32 (held, not copied) or float64 (converted)
// buffer; false with no error set when the object is no such buffer.
bool read_row_buffer(PyObject* object, VectorRows* out);
// Ids from a 1-D C-contiguous buffer of native integers; false with no error set when
// the object is no such buffer. At the first item outside 0 to 4294967295 it stops and
// sets `out_of_range_row`, with no error set.
bool read_id_buffer(PyObject* object, std::vector<uint32_t>* out, std::optional<size_t>* out_of_range_row);
// Puts "row N: " (with another `word` than "row", "<word> N: ") in front of the pending
// exception's message, keeping its class and its cause (an exception that cannot be
// rebuilt from one message stays as raised).
void prefix_pending_error(size_t row, const char* word = "row");

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
// A list of such lists (search_many).
PyObject* to_python(const std::vector<std::vector<SearchHit>>& lists);

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

#include "core_convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <new>
#include <type_traits>

// Each extension module compiles this file with its own name, so that each registers
// its own exception class under its own module.
#ifndef VENDREL_MODULE_NAME
#define VENDREL_MODULE_NAME "vendrel"
#endif

namespace vendrel::py {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when the native code of vendrel meets an internal failure it cannot\n"
    "recover from, such as a broken invariant or a failed write to standard output.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that\n"
    "``except Exception`` handlers do not swallow it: it normally propagates all the\n"
    "way up and ends the interpreter.";

constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";

// Created on first use; the class lives for the rest of the process.
PyObject* panic_type = nullptr;

PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// Reads an integer (anything with __index__) as a signed 64-bit value, failing with
// the interpreter's OverflowError outside that range. Going through PyNumber_Index
// keeps older interpreters from accepting floats through __int__.
bool read_i64(PyObject* object, int64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  if constexpr (sizeof(long) == sizeof(int64_t)) {
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    *out = value;
  } else {
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    *out = value;
  }
  return true;
}

bool convert_float_item(PyObject* item, float* out) {
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = static_cast<float>(value);
  return true;
}

bool convert_scored_item(PyObject* item, ScoredId* out) {
  if (!PyTuple_Check(item)) {
    raise_wrong_type(item, "PyTuple");
    return false;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(item);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    return false;
  }
  return convert_u32(PyTuple_GET_ITEM(item, 0), &out->id) && convert_float_item(PyTuple_GET_ITEM(item, 1), &out->score);
}

// Reserving beyond this many items waits until the items are actually there.

// Reads a sequence by iteration. Its length is only a hint: a __len__ that fails, or
// that reports far more items than the iteration yields, must not stop the conversion
// or reserve memory for items that never come.
template <typename T>
bool convert_sequence_items(PyObject* object, std::vector<T>* out, bool (*convert_item)(PyObject*, T*)) {
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    try {
      out->reserve(std::min(static_cast<size_t>(hint), kMaxReservedItems));
    } catch (const std::bad_alloc&) {
      // Only a hint; the vector grows as the items arrive.
    }
  }
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    T value{};
    if (!convert_item(item.get(), &value)) return false;
    out->push_back(value);
  }
  return !PyErr_Occurred();
}

bool check_array_object(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_wrong_type(object, "Sequence");
    return false;
  }
  return true;
}

}  // namespace

// 'f' or 'd' when a buffer format names one native float32 or float64, else 0.
char native_float_format(const char* format) {
  if (format == nullptr) return 0;  // unsigned bytes
  constexpr bool little = std::endian::native == std::endian::little;
  switch (format[0]) {
    case '@':
    case '=':
      ++format;
      break;
    case '<':
      if (!little) return 0;
      ++format;
      break;
    case '>':
    case '!':
      if (little) return 0;
      ++format;
      break;
    default:
      break;
  }
  if ((format[0] == 'f' || format[0] == 'd') && format[1] == '\0') return format[0];
  return 0;
}


// Copies a 1-D C-contiguous float32 or float64 buffer (a NumPy array, array.array,
// memoryview) without a Python object per item. Anything else is left to the
// item-by-item path, which then reports its own errors.
bool read_float_buffer(PyObject* object, std::vector<float>* out) {
  BufferView buffer;
  return buffer.acquire(object) && read_float_view(buffer.view(), out);
}

bool read_float_view(const Py_buffer& view, std::vector<float>* out) {
  if (view.ndim != 1 || !PyBuffer_IsContiguous(&view, 'C')) return false;
  const char kind = native_float_format(view.format);
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  if (kind == 'f' && view.itemsize == sizeof(float)) {
    out->resize(static_cast<size_t>(view.shape[0]));
    if (!out->empty()) std::memcpy(out->data(), bytes, out->size() * sizeof(float));
    return true;
  }
  if (kind == 'd' && view.itemsize == sizeof(double)) {
    const size_t length = static_cast<size_t>(view.shape[0]);
    out->resize(length);
    for (size_t i = 0; i < length; ++i) {
      double value;
      std::memcpy(&value, bytes + i * sizeof(double), sizeof(double));  // may be unaligned
      (*out)[i] = static_cast<float>(value);
    }
    return true;
  }
  return false;
}

namespace {

bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", signature.qualname);
    return false;
  }
  for (size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.qualname,
                   signature.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.qualname, key);
  return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(std::min(signature.positional, signature.names.size()));
  if (nargs > count) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.required >= static_cast<size_t>(count)) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", signature.qualname, count,
                   nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                   signature.qualname, static_cast<Py_ssize_t>(signature.required), count, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
bool check_required(const Signature& signature, PyObject* const* out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (missing.empty()) return true;
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) list += ',';
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", signature.qualname,
               static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", list.c_str());
  return false;
}

}  // namespace

// ---- Errors ---------------------------------------------------------------------

void raise_error(const Error& error) {
  if (error.kind == ErrorKind::kInternal) {
    raise_panic(error.message);
    return;
  }
  // Operating-system texts are not guaranteed UTF-8.
  PyRef message(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_panic(std::string_view message) {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(VENDREL_MODULE_NAME ".PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (panic_type == nullptr) return;
  }
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(panic_type, text.get());
}

void raise_current_exception() noexcept {
  // The C++ failure is what the caller sees, whatever Python error came before it.
  PyErr_Clear();
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}

void raise_wrong_type(PyObject* object, const char* expected) {
  PyRef name(type_qualname(Py_TYPE(object)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
}

// ---- Instances ------------------------------------------------------------------

bool borrow_flag_take(PyObject* self, PyTypeObject* type, const char* type_name, Access access,
                      Py_ssize_t* flag_of_self) {
  if (flag_of_self == nullptr || !PyObject_TypeCheck(self, type)) {
    raise_wrong_type(self, type_name);
    return false;
  }
  Py_ssize_t& flag = *flag_of_self;
  if (access == Access::kExclusive) {
    if (flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    flag = -1;
  } else {
    if (flag == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++flag;
  }
  return true;
}

void borrow_flag_release(Py_ssize_t* flag, Access access) {
  if (access == Access::kExclusive) {
    *flag = 0;
  } else {
    --*flag;
  }
}

PyTypeObject* create_class(PyType_Spec* spec, const char* class_doc) {
  PyRef type(PyType_FromSpec(spec));
  if (!type) return nullptr;
  // A heap type stores the docstring without its signature, "", in __doc__; the
  // class documents nothing beyond its signature.
  if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
  // Before 3.10 the slot's signature was dropped from tp_doc, and with it
  // __text_signature__; put the whole text back (the type frees tp_doc with PyObject_Free).
  auto* heap_type = reinterpret_cast<PyTypeObject*>(type.get());
  const size_t size = std::strlen(class_doc) + 1;
  char* doc = static_cast<char*>(PyObject_Malloc(size));
  if (doc == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::memcpy(doc, class_doc, size);
  PyObject_Free(const_cast<char*>(heap_type->tp_doc));
  heap_type->tp_doc = doc;
#else
  (void)class_doc;
#endif
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// ---- Argument binding -----------------------------------------------------------

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) noexcept {
  try {
    if (!bind_positional(signature, args, nargs, out)) return false;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
    return check_required(signature, out);
  } catch (...) {
    raise_current_exception();
    return false;
  }
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
  try {
    if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs != nullptr) {
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!bind_keyword(signature, key, value, out)) return false;
      }
    }
    return check_required(signature, out);
  } catch (...) {
    raise_current_exception();
    return false;
  }
}

// ---- Argument conversion --------------------------------------------------------

bool convert_u32(PyObject* object, uint32_t* out) {
  int64_t value = 0;
  if (!read_i64(object, &value)) return false;
  if (value < 0 || value > int64_t{UINT32_MAX}) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool convert_u64(PyObject* object, uint64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool convert_optional_i64(PyObject* object, std::optional<int64_t>* out) {
  if (object == Py_None) {
    out->reset();
    return true;
  }
  int64_t value = 0;
  if (!read_i64(object, &value)) return false;
  *out = value;
  return true;
}

bool convert_text(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_type(object, "PyString");
    return false;
  }
  PyRef bytes(PyUnicode_AsUTF8String(object));
  if (!bytes) return false;
  out->assign(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

bool convert_optional_text(PyObject* object, std::optional<std::string>* out) {
  if (object == Py_None) {
    out->reset();
    return true;
  }
  return convert_text(object, &out->emplace());
}

bool convert_bool(PyObject* object, bool* out) {
  if (object != Py_True && object != Py_False) {
    raise_wrong_type(object, "PyBool");
    return false;
  }
  *out = object == Py_True;
  return true;
}

bool convert_float_array(PyObject* object, std::vector<float>* out) {
  if (!check_array_object(object)) return false;
  if (read_float_buffer(object, out)) return true;
  return convert_sequence_items(object, out, convert_float_item);
}

bool convert_scored_array(PyObject* object, std::vector<ScoredId>* out) {
  if (!check_array_object(object)) return false;
  return convert_sequence_items(object, out, convert_scored_item);
}


// Puts "row N: " in front of the pending exception's message, keeping its class and its
// cause. An exception whose class cannot be rebuilt from one message (UnicodeEncodeError)
// stays as it was raised.
void prefix_pending_error(size_t row, const char* word) {
  PyObject* type = nullptr;
  PyObject* original = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &original, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &original, &traceback);
  PyRef message(PyUnicode_FromFormat("%s %zu: %S", word, row, original));
  PyObject* replacement = message ? PyObject_CallOneArg(type, message.get()) : nullptr;
  if (replacement == nullptr || !PyExceptionInstance_Check(replacement)) {
    Py_XDECREF(replacement);
    PyErr_Clear();
    PyErr_Restore(type, original, traceback);
    return;
  }
  PyException_SetCause(replacement, PyException_GetCause(original));  // steals the new reference
  Py_XDECREF(original);
  Py_XDECREF(traceback);
  PyErr_Restore(type, replacement, nullptr);
}

namespace {

// Calls `take(item, row)` for every item of a sequence (not a str) in order, after
// `reserve(count)` with its length hint; an item that `take` refuses gets its row named
// in the error. The hint only sizes the reservation (see convert_sequence_items).
template <typename Reserve, typename Take>
bool convert_each_row(PyObject* object, Reserve reserve, Take take) {
  if (!check_array_object(object)) return false;
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) PyErr_Clear();
  if (hint > 0) reserve(std::min(static_cast<size_t>(hint), kMaxReservedItems));
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  for (size_t row = 0; PyRef item{PyIter_Next(iterator.get())}; ++row) {
    if (!take(std::move(item), row)) {
      prefix_pending_error(row);
      return false;
    }
  }
  return !PyErr_Occurred();
}

// Converts every item of a sequence (not a str) with `convert_item`, naming the row of a
// failing item.
template <typename T>
bool convert_rows(PyObject* object, std::vector<T>* out, bool (*convert_item)(PyObject*, T*)) {
  return convert_each_row(
      object, [&](size_t count) { out->reserve(count); },
      [&](PyRef item, size_t) {
        T value{};
        if (!convert_item(item.get(), &value)) return false;
        out->push_back(std::move(value));
        return true;
      });
}

// Item `index` of a buffer of T, and whether it is a valid id (0 to 4294967295).
template <typename T>
int64_t read_integer(const unsigned char* bytes, size_t index, bool* in_range) {
  T value;
  std::memcpy(&value, bytes + index * sizeof(T), sizeof(T));
  if constexpr (std::is_unsigned_v<T>) {
    *in_range = static_cast<uint64_t>(value) <= UINT32_MAX;
    return *in_range ? static_cast<int64_t>(value) : -1;
  } else {
    *in_range = value >= 0 && static_cast<uint64_t>(value) <= UINT32_MAX;
    return value;
  }
}

}  // namespace

bool read_id_buffer(PyObject* object, std::vector<uint32_t>* out, std::optional<size_t>* out_of_range_row) {
  BufferView buffer;
  if (!buffer.acquire(object)) return false;
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1 || !PyBuffer_IsContiguous(&view, 'C') || view.format == nullptr) return false;
  const char* format = view.format;
  if (format[0] == '@' || format[0] == '=' || (format[0] == '<' && std::endian::native == std::endian::little)) ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  const size_t count = static_cast<size_t>(view.shape[0]);
  int64_t (*read)(const unsigned char*, size_t, bool*) = nullptr;
  size_t item_size = 0;
  switch (format[0]) {
    case 'b': read = read_integer<signed char>; item_size = sizeof(signed char); break;
    case 'B': read = read_integer<unsigned char>; item_size = sizeof(unsigned char); break;
    case 'h': read = read_integer<short>; item_size = sizeof(short); break;
    case 'H': read = read_integer<unsigned short>; item_size = sizeof(unsigned short); break;
    case 'i': read = read_integer<int>; item_size = sizeof(int); break;
    case 'I': read = read_integer<unsigned int>; item_size = sizeof(unsigned int); break;
    case 'l': read = read_integer<long>; item_size = sizeof(long); break;
    case 'L': read = read_integer<unsigned long>; item_size = sizeof(unsigned long); break;
    case 'q': read = read_integer<long long>; item_size = sizeof(long long); break;
    case 'Q': read = read_integer<unsigned long long>; item_size = sizeof(unsigned long long); break;
    default: return false;
  }
  // Standard-size formats ("<l" is 4 bytes) go through the item-by-item path.
  if (static_cast<size_t>(view.itemsize) != item_size) return false;
  out->resize(count);
  for (size_t i = 0; i < count; ++i) {
    bool in_range = false;
    const int64_t value = read(bytes, i, &in_range);
    if (!in_range) {
      *out_of_range_row = i;
      return true;
    }
    (*out)[i] = static_cast<uint32_t>(value);
  }
  return true;
}

// Whether each row of a 2-D buffer is contiguous, its rows at a fixed distance from one
// another: a C-contiguous array, or a view of every n-th row (a shard's rows of a
// shared batch) or of the leading columns.
bool rows_contiguous(const Py_buffer& view) {
  if (view.strides == nullptr) return true;  // no strides given: C-contiguous
  return (view.shape[1] <= 1 || view.strides[1] == view.itemsize) && view.strides[0] % view.itemsize == 0;
}

// Rows from a 2-D float32 buffer whose rows are contiguous (held, not copied) or float64
// buffer (converted); false with no error set when the object is no such buffer.
bool read_row_buffer(PyObject* object, VectorRows* out) {
  if (!out->held.acquire(object)) return false;
  const Py_buffer& view = out->held.view();
  const char kind = native_float_format(view.format);
  const bool float32 = kind == 'f' && view.itemsize == sizeof(float);
  const bool float64 = kind == 'd' && view.itemsize == sizeof(double);
  if (view.ndim != 2 || (!float32 && !float64) || !rows_contiguous(view)) {
    out->held.release();
    return false;
  }
  const auto count = static_cast<size_t>(view.shape[0]);
  const auto width = static_cast<size_t>(view.shape[1]);
  const Py_ssize_t row_stride = view.strides == nullptr ? view.shape[1] * view.itemsize : view.strides[0];
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  out->rows.reserve(count);
  if (float32) {
    for (size_t i = 0; i < count; ++i) {
      out->rows.emplace_back(reinterpret_cast<const float*>(bytes + static_cast<Py_ssize_t>(i) * row_stride), width);
    }
    return true;
  }
  out->copies.assign(count, std::vector<float>(width));
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* row = bytes + static_cast<Py_ssize_t>(i) * row_stride;
    for (size_t j = 0; j < width; ++j) {
      double value;
      std::memcpy(&value, row + j * sizeof(double), sizeof(double));
      out->copies[i][j] = static_cast<float>(value);
    }
    out->rows.emplace_back(out->copies[i]);
  }
  out->held.release();
  return true;
}

namespace {

bool convert_ttl_item(PyObject* object, std::optional<int64_t>* out) { return convert_optional_i64(object, out); }

}  // namespace

bool convert_id_array(PyObject* object, std::vector<uint32_t>* out) {
  if (!check_array_object(object)) return false;
  std::optional<size_t> out_of_range_row;
  if (read_id_buffer(object, out, &out_of_range_row)) {
    if (!out_of_range_row) return true;
    PyErr_Format(PyExc_OverflowError, "row %zu: %s", *out_of_range_row, kOutOfRange);
    return false;
  }
  out->clear();
  return convert_rows(object, out, convert_u32);
}

bool convert_vector_rows(PyObject* object, VectorRows* out) {
  if (!check_array_object(object)) return false;
  if (read_row_buffer(object, out)) return true;
  if (!convert_rows(object, &out->copies, convert_float_array)) return false;
  out->rows.assign(out->copies.begin(), out->copies.end());
  return true;
}

bool convert_text_array(PyObject* object, TextColumn* out) {
  return convert_each_row(
      object,
      [&](size_t count) {
        out->owners.reserve(count);
        out->views.reserve(count);
      },
      [&](PyRef item, size_t) {
        Py_ssize_t length = 0;
        const char* bytes = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &length) : nullptr;
        if (bytes == nullptr) {
          if (!PyErr_Occurred()) raise_wrong_type(item.get(), "PyString");
          return false;
        }
        out->views.emplace_back(bytes, static_cast<size_t>(length));
        out->owners.push_back(std::move(item));
        return true;
      });
}

bool convert_optional_i64_array(PyObject* object, std::vector<std::optional<int64_t>>* out) {
  if (object == Py_None) {
    out->clear();
    return true;
  }
  return convert_rows(object, out, convert_ttl_item);
}

void reraise_as_argument_error(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* original = PyErr_GetRaisedException();
  if (original == nullptr) return;
  if (Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original);
    return;
  }
#else
  PyObject* type = nullptr;
  PyObject* original = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &original, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &original, &traceback);
  if (original == nullptr || Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, original, traceback);
    return;
  }
  Py_DECREF(type);
  Py_XDECREF(traceback);
#endif
  PyRef held(original);
  PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, original));
  if (!message) return;
  PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, message.get());
  if (replacement == nullptr) return;
  PyException_SetCause(replacement, PyException_GetCause(original));  // steals the new reference
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(replacement);
#else
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement, nullptr);
#endif
}

// ---- Results --------------------------------------------------------------------

PyObject* to_python(Ok) { Py_RETURN_NONE; }

PyObject* to_python(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(const std::vector<SearchHit>& hits) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    const SearchHit& hit = hits[i];
    PyRef row(PyTuple_New(3));
    if (!row) return nullptr;
    // The tuple takes each field's reference; a tuple left partly filled frees the ones it has.
    PyObject* id = PyLong_FromUnsignedLong(hit.id);
    if (id == nullptr) return nullptr;
    PyTuple_SET_ITEM(row.get(), 0, id);
    PyObject* score = PyFloat_FromDouble(hit.score);
    if (score == nullptr) return nullptr;
    PyTuple_SET_ITEM(row.get(), 1, score);
    PyObject* metadata = PyUnicode_FromStringAndSize(hit.metadata.data(), static_cast<Py_ssize_t>(hit.metadata.size()));
    if (metadata == nullptr) return nullptr;
    PyTuple_SET_ITEM(row.get(), 2, metadata);
    // An int, a float and a str cannot take part in a reference cycle: untracked, the
    // hits of a large batch are not walked by every collection their allocation sets
    // off (the collector would untrack them itself, after walking them once).
    PyObject_GC_UnTrack(row.get());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return list.release();
}

namespace {

// Holds the cyclic collector off while a batch's hits are built. Each hit is a new
// tuple, so a batch of 1,000 queries at k = 10 set off 15 collections of the young
// objects and now and then one of everything, none of which can find garbage in the
// tuples (untracked at once) or in the lists (nothing else refers to them yet): 3 % of
// a batch's time at d = 384. The collector's state is put back as it was; the first
// allocation after may start the one collection that is due.
class CollectorPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
#else
  CollectorPause() = default;  // PyGC_Disable arrived in Python 3.10
#endif
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  [[maybe_unused]] bool was_enabled_ = false;
};

}  // namespace

PyObject* to_python(const std::vector<std::vector<SearchHit>>& lists) {
  const CollectorPause pause;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(lists.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < lists.size(); ++i) {
    PyObject* hits = to_python(lists[i]);
    if (hits == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), hits);
  }
  return list.release();
}

}  // namespace vendrel::py

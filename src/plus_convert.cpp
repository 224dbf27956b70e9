#include "plus_convert.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace vendrel::py::plus {
namespace {

// The short name of an object's type, as Python's own messages show it ("str", "ndarray").
PyRef type_name(PyObject* object) {
  return PyRef(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
}

// TypeError "<name> must be <accepted>, not <type>".
bool refuse_type(PyObject* object, const std::string& name, const char* accepted) {
  PyRef type(type_name(object));
  if (!type) return false;
  PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", name.c_str(), accepted, type.get());
  return false;
}

// Replaces a pending TypeError (only that class) by refuse_type's; other errors stay.
bool refuse_if_type_error(PyObject* object, const std::string& name, const char* accepted) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyErr_Clear();
  return refuse_type(object, name, accepted);
}

// The integer value of an object with __index__ (a new reference), or null with a
// TypeError that names the argument.
PyRef index_of(PyObject* object, const std::string& name, const char* accepted) {
  PyRef index(PyNumber_Index(object));
  if (!index) refuse_if_type_error(object, name, accepted);
  return index;
}

// Created on first use and kept for the life of the process, as the interpreter keeps
// the modules they come from.
PyObject* json_dumps = nullptr;
PyObject* mapping_class = nullptr;

bool load_json_helpers() {
  if (json_dumps != nullptr) return true;
  PyRef json(PyImport_ImportModule("json"));
  PyRef abc(PyImport_ImportModule("collections.abc"));
  if (!json || !abc) return false;
  PyRef dumps(PyObject_GetAttrString(json.get(), "dumps"));
  PyRef mapping(PyObject_GetAttrString(abc.get(), "Mapping"));
  if (!dumps || !mapping) return false;
  json_dumps = dumps.release();
  mapping_class = mapping.release();
  return true;
}

// 1 when the object is a mapping (a dict, or registered as collections.abc.Mapping), 0
// when not, -1 on error.
int is_mapping(PyObject* object) {
  if (PyDict_Check(object)) return 1;
  if (!load_json_helpers()) return -1;
  return PyObject_IsInstance(object, mapping_class);
}

// JSON text of a mapping by json.dumps (NaN and infinities refused, as JSON has none);
// its error keeps its class, with the argument's name in front.
PyRef dumps(PyObject* mapping, const std::string& name) {
  if (!load_json_helpers()) return PyRef();
  PyRef arguments(PyTuple_Pack(1, mapping));
  PyRef keywords(Py_BuildValue("{s:O}", "allow_nan", Py_False));
  if (!arguments || !keywords) return PyRef();
  PyRef text(PyObject_Call(json_dumps, arguments.get(), keywords.get()));
  if (!text) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef held_type(type), held_value(value), held_traceback(traceback);
    if (value != nullptr) PyErr_Format(type, "%s: %S", name.c_str(), value);
  }
  return text;
}

// A str (or a mapping turned into one), as a new reference; null with an error set.
PyRef json_text_object(PyObject* object, const std::string& name) {
  if (PyUnicode_Check(object)) {
    Py_INCREF(object);
    return PyRef(object);
  }
  const int mapping = is_mapping(object);
  if (mapping < 0) return PyRef();
  if (mapping == 0) {
    refuse_type(object, name, "a str or a mapping");
    return PyRef();
  }
  return dumps(object, name);
}

bool utf8_of(PyObject* text, std::string* out) {
  Py_ssize_t length = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &length);
  if (bytes == nullptr) return false;
  out->assign(bytes, static_cast<size_t>(length));
  return true;
}

// ValueError for a value that is not finite or beyond float32 (it would become an
// infinity), naming its position.
bool refuse_value(const std::string& name, size_t position, double value) {
  if (std::isnan(value)) {
    PyErr_Format(PyExc_ValueError, "%s[%zu] is nan: vectors must hold finite numbers", name.c_str(), position);
  } else if (std::isinf(value)) {
    PyErr_Format(PyExc_ValueError, "%s[%zu] is %s: vectors must hold finite numbers", name.c_str(), position,
                 value > 0 ? "inf" : "-inf");
  } else {
    PyRef shown(PyFloat_FromDouble(value));
    if (shown) PyErr_Format(PyExc_ValueError, "%s[%zu] is %R, beyond the range of float32", name.c_str(), position, shown.get());
  }
  return false;
}

bool fits_float32(double value) {
  return std::isfinite(value) && std::fabs(value) <= double{std::numeric_limits<float>::max()};
}

constexpr const char kVectorKinds[] = "a sequence of numbers or a 1-D array";

// A complex value: a complex or a subclass (numpy's complex128), or another type that
// converts to complex (numpy's complex64). Their conversion to float keeps the real part
// with no more than a warning; a vector refuses them as it refuses a complex.
bool is_complex_value(PyObject* item) {
  if (PyFloat_CheckExact(item) || PyLong_CheckExact(item)) return false;
  return PyComplex_Check(item) || PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__complex__");
}

// The 1-D float32/float64 buffer path of to_vector: true when the object was such a
// buffer (its values read and checked), false with no error when it was not.
bool read_vector_buffer(PyObject* object, const std::string& name, std::vector<float>* out, bool check_values,
                        bool* failed) {
  BufferView buffer;
  if (!buffer.acquire(object)) return false;
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not a %d-D array", name.c_str(), kVectorKinds, view.ndim);
    *failed = true;
    return true;
  }
  if (!read_float_view(view, out)) return false;
  buffer.release();
  if (!check_values) return true;
  // float64 values were narrowed: a value beyond float32 shows as an infinity here, so
  // the buffer is read again for the message only when something is wrong.
  for (size_t i = 0; i < out->size(); ++i) {
    if (std::isfinite((*out)[i])) continue;
    PyRef item(PySequence_GetItem(object, static_cast<Py_ssize_t>(i)));
    const double original = item ? PyFloat_AsDouble(item.get()) : (*out)[i];
    PyErr_Clear();
    refuse_value(name, i, original);
    *failed = true;
    return true;
  }
  return true;
}

// Iterates a sequence (not str, bytes or a mapping) of items, calling take(item, row);
// an item's error gets "<word> N: " in front. `name` and `accepted` describe the
// sequence for its own type error.
template <typename Take>
bool for_each_row(PyObject* object, const char* name, const char* accepted, const char* word, Take take) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyDict_Check(object) || !PySequence_Check(object)) {
    return refuse_type(object, name, accepted);
  }
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  for (size_t row = 0; PyRef item{PyIter_Next(iterator.get())}; ++row) {
    if (!take(item.get(), row)) {
      prefix_pending_error(row, word);
      return false;
    }
  }
  return !PyErr_Occurred();
}

size_t length_hint(PyObject* object) {
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<size_t>(hint), kMaxReservedItems);
}

}  // namespace

bool to_id(PyObject* object, Name name, uint32_t* out) {
  PyRef index(index_of(object, name, "an int"));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > static_cast<long long>(UINT32_MAX)) {
    PyErr_Format(PyExc_OverflowError, "%s must be between 0 and 4294967295, got %S", name, index.get());
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool to_vector(PyObject* object, Name name, std::vector<float>* out, bool check_values) {
  const std::string label(name);
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) || PyDict_Check(object)) {
    return refuse_type(object, label, kVectorKinds);
  }
  bool failed = false;
  if (read_vector_buffer(object, label, out, check_values, &failed)) return !failed;
  if (!PySequence_Check(object)) return refuse_type(object, label, kVectorKinds);
  out->clear();
  out->reserve(length_hint(object));
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  for (size_t i = 0; PyRef item{PyIter_Next(iterator.get())}; ++i) {
    if (is_complex_value(item.get())) return refuse_type(item.get(), label + "[" + std::to_string(i) + "]", "a number");
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) {
      return refuse_if_type_error(item.get(), label + "[" + std::to_string(i) + "]", "a number");
    }
    if (check_values && !fits_float32(value)) return refuse_value(label, i, value);
    out->push_back(static_cast<float>(value));
  }
  return !PyErr_Occurred();
}

bool to_json_text(PyObject* object, Name name, std::string* out) {
  PyRef text(json_text_object(object, name));
  return text && utf8_of(text.get(), out);
}

bool to_optional_json_text(PyObject* object, Name name, std::optional<std::string>* out) {
  if (object == Py_None) {
    out->reset();
    return true;
  }
  const int mapping = PyUnicode_Check(object) ? 0 : is_mapping(object);
  if (mapping < 0) return false;
  if (!PyUnicode_Check(object) && mapping == 0) return refuse_type(object, name, "a str, a mapping or None");
  return to_json_text(object, name, &out->emplace());
}

bool to_k(PyObject* object, uint64_t* out) {
  PyRef index(index_of(object, "k", "an int"));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) {
    *out = UINT64_MAX;  // more than any database holds
    return true;
  }
  if (overflow < 0 || value < 1) {
    PyErr_Format(PyExc_ValueError, "k must be at least 1, got %S", index.get());
    return false;
  }
  *out = static_cast<uint64_t>(value);
  return true;
}

bool to_optional_ttl(PyObject* object, std::optional<int64_t>* out) {
  if (object == Py_None) {
    out->reset();
    return true;
  }
  PyRef index(index_of(object, "ttl", "an int or None"));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) {
    PyErr_Format(PyExc_OverflowError, "ttl must be between -2**63 and 2**63 - 1 seconds, got %S", index.get());
    return false;
  }
  *out = value;
  return true;
}

bool to_flag(PyObject* object, bool* out) {
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  *out = truth == 1;
  return true;
}

namespace {

// An empty path would open the working directory itself as a database (an unset
// variable, most likely).
bool refuse_empty_path(const std::string& path) {
  if (!path.empty()) return true;
  PyErr_SetString(PyExc_ValueError, "path must not be empty");
  return false;
}

}  // namespace

bool to_path(PyObject* object, std::string* out) {
  PyRef path(PyOS_FSPath(object));
  if (!path) return refuse_if_type_error(object, "path", "a str or an os.PathLike");
  if (PyBytes_Check(path.get())) {
    out->assign(PyBytes_AS_STRING(path.get()), static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
    return refuse_empty_path(*out);
  }
  PyRef encoded(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  out->assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  return refuse_empty_path(*out);
}

bool to_bounded(PyObject* object, Name name, uint64_t low, uint64_t high, size_t* out) {
  PyRef index(index_of(object, name, "an int"));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || static_cast<uint64_t>(value) < low || static_cast<uint64_t>(value) > high) {
    PyErr_Format(PyExc_ValueError, "%s must be between %llu and %llu, got %S", name,
                 static_cast<unsigned long long>(low), static_cast<unsigned long long>(high), index.get());
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

bool to_optional_bounded(PyObject* object, Name name, uint64_t low, uint64_t high, size_t* out) {
  if (object == Py_None) return true;
  return to_bounded(object, name, low, high, out);
}

bool to_share(PyObject* object, Name name, double* out) {
  if (PyBool_Check(object) || !(PyFloat_Check(object) || PyLong_Check(object))) {
    return refuse_type(object, name, "a float");
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  if (!(value > 0.0 && value <= 1.0)) {
    PyErr_Format(PyExc_ValueError, "%s must be a number above 0 and at most 1, got %R", name, object);
    return false;
  }
  *out = value;
  return true;
}

bool to_optional_share(PyObject* object, Name name, std::optional<double>* out) {
  if (object == Py_None) return true;
  double value = 0.0;
  if (!to_share(object, name, &value)) return false;
  *out = value;
  return true;
}

bool to_choice(PyObject* object, Name name, std::initializer_list<const char*> choices, size_t* out) {
  if (!PyUnicode_Check(object)) return refuse_type(object, name, "a str");
  std::string listed;
  size_t position = 0;
  for (const char* choice : choices) {
    if (PyUnicode_CompareWithASCIIString(object, choice) == 0) {
      *out = position;
      return true;
    }
    if (position > 0) listed += position + 1 == choices.size() ? " or " : ", ";
    listed += std::string("'") + choice + "'";
    ++position;
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, listed.c_str(), object);
  return false;
}

bool to_ids(PyObject* object, std::vector<uint32_t>* out) {
  std::optional<size_t> out_of_range_row;
  if (!PyUnicode_Check(object) && read_id_buffer(object, out, &out_of_range_row)) {
    if (!out_of_range_row) return true;
    PyRef item(PySequence_GetItem(object, static_cast<Py_ssize_t>(*out_of_range_row)));
    if (!item) return false;
    uint32_t ignored = 0;
    if (!to_id(item.get(), "id", &ignored)) prefix_pending_error(*out_of_range_row);
    return false;
  }
  out->clear();
  out->reserve(length_hint(object));
  return for_each_row(object, "ids", "a sequence of ints or a 1-D integer array", "row", [&](PyObject* item, size_t) {
    uint32_t id = 0;
    if (!to_id(item, "id", &id)) return false;
    out->push_back(id);
    return true;
  });
}

bool to_vectors(PyObject* object, Name word, VectorRows* out) {
  const char* name = std::strcmp(word, "query") == 0 ? "queries" : "vectors";
  constexpr const char kRowsKinds[] = "a 2-D array or a sequence of vectors";
  if (read_row_buffer(object, out)) return true;  // values are checked by the database
  BufferView buffer;
  if (buffer.acquire(object) && buffer.view().ndim != 2) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not a %d-D array", name, kRowsKinds, buffer.view().ndim);
    return false;
  }
  buffer.release();
  return for_each_row(object, name, kRowsKinds, word, [&](PyObject* item, size_t) {
    std::vector<float> row;
    if (!to_vector(item, "vector", &row, /*check_values=*/false)) return false;
    out->copies.push_back(std::move(row));
    return true;
  }) && (out->rows.assign(out->copies.begin(), out->copies.end()), true);
}

bool to_json_texts(PyObject* object, TextColumn* out, std::optional<RowRefusal>* refused) {
  const size_t hint = length_hint(object);
  out->owners.reserve(hint);
  out->views.reserve(hint);
  const auto hold_empty = [&] {
    PyRef empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return false;
    out->views.emplace_back();
    out->owners.push_back(std::move(empty));
    return true;
  };
  constexpr const char kAccepted[] = "a sequence of str or mappings";
  return for_each_row(object, "metadata_jsons", kAccepted, "row", [&](PyObject* item, size_t row) {
    if (refused != nullptr && refused->has_value()) return hold_empty();
    PyRef text(json_text_object(item, "metadata"));
    Py_ssize_t length = 0;
    const char* bytes = text ? PyUnicode_AsUTF8AndSize(text.get(), &length) : nullptr;
    if (bytes != nullptr) {
      out->views.emplace_back(bytes, static_cast<size_t>(length));
      out->owners.push_back(std::move(text));
      return true;
    }
    if (refused == nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    prefix_pending_error(row, "row");
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef held_type(type), held_traceback(traceback);
    refused->emplace(RowRefusal{row, PyRef(value)});
    return hold_empty();
  });
}

bool to_optional_ttls(PyObject* object, std::vector<std::optional<int64_t>>* out) {
  out->clear();
  if (object == Py_None) return true;
  out->reserve(length_hint(object));
  return for_each_row(object, "ttls", "a sequence of ints or None", "row", [&](PyObject* item, size_t) {
    std::optional<int64_t> ttl;
    if (!to_optional_ttl(item, &ttl)) return false;
    out->push_back(ttl);
    return true;
  });
}

bool to_scored(PyObject* object, std::vector<ScoredId>* out) {
  out->reserve(length_hint(object));
  return for_each_row(object, "scored", "a sequence of (id, score) pairs", "row", [&](PyObject* item, size_t) {
    if (!(PyTuple_Check(item) || PyList_Check(item))) return refuse_type(item, "each item", "an (id, score) pair");
    if (PySequence_Size(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected an (id, score) pair, got %zd items", PySequence_Size(item));
      return false;
    }
    PyRef id(PySequence_GetItem(item, 0));
    PyRef score(PySequence_GetItem(item, 1));
    if (!id || !score) return false;
    ScoredId entry;
    if (!to_id(id.get(), "id", &entry.id)) return false;
    const double value = PyFloat_AsDouble(score.get());
    if (value == -1.0 && PyErr_Occurred()) return refuse_if_type_error(score.get(), "score", "a number");
    entry.score = static_cast<float>(value);
    out->push_back(entry);
    return true;
  });
}

PyObject* calibration_to_python(const Calibration& calibration) {
  const bool graph = calibration.method == SearchMethod::kGraph;
  PyRef trials(PyList_New(0));
  if (!trials) return nullptr;
  for (const EfTrial& trial : calibration.trials) {
    PyRef entry(Py_BuildValue("{s:n,s:d,s:d,s:d,s:n}", "ef", static_cast<Py_ssize_t>(trial.ef), "recall", trial.recall,
                              "recall_low", trial.recall_low, "ms", trial.seconds_per_query * 1e3, "queries",
                              static_cast<Py_ssize_t>(trial.queries)));
    if (!entry || PyList_Append(trials.get(), entry.get()) != 0) return nullptr;
  }
  PyRef ef(graph ? PyLong_FromSize_t(calibration.ef) : (Py_INCREF(Py_None), Py_None));
  if (!ef) return nullptr;
  return Py_BuildValue("{s:K,s:d,s:s,s:O,s:d,s:K,s:n,s:d,s:d,s:d,s:O}", "k",
                       static_cast<unsigned long long>(calibration.k), "allowed_fraction", calibration.allowed_fraction,
                       "method", graph ? "graph" : "scan", "ef", ef.get(), "recall", calibration.recall, "documents",
                       static_cast<unsigned long long>(calibration.documents), "queries",
                       static_cast<Py_ssize_t>(calibration.queries), "seconds", calibration.seconds, "graph_ms",
                       calibration.graph_seconds * 1e3, "scan_ms", calibration.scan_seconds * 1e3, "trials",
                       trials.get());
}

}  // namespace vendrel::py::plus

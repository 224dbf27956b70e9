// The Python methods shared by every class that wraps a core database (VendrelDB, and
// the companion module's classes). Each binds its arguments, borrows self, converts
// the arguments in declaration order, calls the core, converts the result and
// releases the borrow, with one exit. The interpreter lock stays held throughout.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core.h"
#include "core_convert.h"

namespace vendrel::py {

inline constexpr const char* kAddNames[] = {"internal_id", "vector", "metadata_json", "ttl"};
inline constexpr const char* kSearchNames[] = {"query", "k", "filter_json", "include_metadata"};
inline constexpr const char* kBuildResultsNames[] = {"scored", "include_metadata"};
inline constexpr const char* kDeleteNames[] = {"filter_json"};
inline constexpr const char* kAddManyNames[] = {"ids", "vectors", "metadata_jsons", "ttls"};

// One Python class over a core database: its name (for the wrong-type error), its type
// once created, and its methods' signatures, whose qualnames open the binding errors.
template <typename Core>
struct ClassBinding {
  const char* name;
  Signature add;
  Signature search;
  Signature build_results;
  Signature delete_matching;
  Signature add_many{};  // only for classes that have add_many
  // The converter of search's keyword-only `ef`, for classes whose search has one.
  bool (*convert_ef)(PyObject* object, size_t* out) = nullptr;
  PyTypeObject* type = nullptr;
};

// The body of an extension module's PyInit function. The classes and the exception
// type are process-wide, so a second initialisation (a sub-interpreter, or an import
// after removal from sys.modules) is refused with ImportError `refusal`; otherwise the
// module is created from `definition` and filled by `populate`.
inline PyObject* initialise_module_once(PyModuleDef* definition, bool* initialised, const char* refusal,
                                        bool (*populate)(PyObject* module)) {
  if (*initialised) {
    PyErr_SetString(PyExc_ImportError, refusal);
    return nullptr;
  }
  *initialised = true;
  PyObject* module = PyModule_Create(definition);
  if (module == nullptr) return nullptr;
  if (!populate(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
  // The calling convention flag tells the interpreter the real signature.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The constructor's last step: runs `open` (a core open returning a database or an
// error) and wraps the database into a new instance of `type`.
template <typename Open>
PyObject* call_open(PyTypeObject* type, Open&& open) noexcept {
  try {
    auto opened = open();
    if (!opened.ok()) {
      raise_error(opened.error());
      return nullptr;
    }
    return wrap_core(type, std::move(opened.value()));
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;
  uint32_t internal_id = 0;
  std::vector<float> vector;
  std::string metadata_json;
  std::optional<int64_t> ttl;

  if (!bind_arguments(kClass.add, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, kClass.type, kClass.name, Access::kExclusive, &db)) goto exit;
  if (!convert_argument(argv[0], "internal_id", convert_u32, &internal_id) ||
      !convert_argument(argv[1], "vector", convert_float_array, &vector) ||
      !convert_argument(argv[2], "metadata_json", convert_text, &metadata_json) ||
      !convert_argument(argv[3], "ttl", convert_optional_i64, &ttl)) {
    goto exit;
  }
  result = call_core([&] { return db->value->add(internal_id, vector, metadata_json, ttl); });
exit:
  release_borrow(db, Access::kExclusive);
  return result;
}

// search; a class whose core search takes a graph expansion as well gets it from a
// fifth, keyword-only parameter (`ef`), converted by the class's convert_ef.
template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[5] = {};
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;
  std::vector<float> query;
  uint64_t k = 0;
  std::optional<std::string> filter_json;
  bool include_metadata = true;
  size_t ef = 0;

  if (!bind_arguments(kClass.search, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, kClass.type, kClass.name, Access::kShared, &db)) goto exit;
  if (!convert_argument(argv[0], "query", convert_float_array, &query) ||
      !convert_argument(argv[1], "k", convert_u64, &k) ||
      !convert_argument(argv[2], "filter_json", convert_optional_text, &filter_json) ||
      !convert_argument(argv[3], "include_metadata", convert_bool, &include_metadata) ||
      (kClass.convert_ef != nullptr && !convert_argument(argv[4], "ef", kClass.convert_ef, &ef))) {
    goto exit;
  }
  result = call_core([&] {
    std::optional<std::string_view> filter;
    if (filter_json) filter = *filter_json;
    if constexpr (requires { db->value->search(query, k, filter, include_metadata, ef); }) {
      return db->value->search(query, k, filter, include_metadata, ef);
    } else {
      return db->value->search(query, k, filter, include_metadata);
    }
  });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_build_results(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;
  std::vector<ScoredId> scored;
  bool include_metadata = false;

  if (!bind_arguments(kClass.build_results, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, kClass.type, kClass.name, Access::kShared, &db)) goto exit;
  if (!convert_argument(argv[0], "scored", convert_scored_array, &scored) ||
      !convert_argument(argv[1], "include_metadata", convert_bool, &include_metadata)) {
    goto exit;
  }
  result = call_core([&] { return db->value->build_results(std::move(scored), include_metadata); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1] = {};
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;
  std::string filter_json;

  if (!bind_arguments(kClass.delete_matching, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, kClass.type, kClass.name, Access::kShared, &db)) goto exit;
  if (!convert_argument(argv[0], "filter_json", convert_text, &filter_json)) goto exit;
  result = call_core([&] { return db->value->delete_matching(filter_json); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_count(PyObject* self, PyObject* /*unused*/) {
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;

  if (!borrow_self(self, kClass.type, kClass.name, Access::kShared, &db)) goto exit;
  result = call_core([&] { return db->value->count(); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_clean_expired(PyObject* self, PyObject* /*unused*/) {
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;

  if (!borrow_self(self, kClass.type, kClass.name, Access::kShared, &db)) goto exit;
  result = call_core([&] { return db->value->clean_expired(); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

// add_many's columns, converted; `batch()` views them as the core's DocumentBatch.
struct BatchArguments {
  std::vector<uint32_t> ids;
  VectorRows vectors;
  TextColumn metadata_jsons;
  std::vector<std::optional<int64_t>> ttls;

  // ValueError unless every given column has as many rows as `ids`.
  bool check_lengths(bool ttls_given) const {
    const size_t count = ids.size();
    if (vectors.rows.size() == count && metadata_jsons.size() == count && (!ttls_given || ttls.size() == count)) {
      return true;
    }
    const std::string lengths = std::to_string(count) + ", " + std::to_string(vectors.rows.size()) + ", " +
                                std::to_string(metadata_jsons.size()) +
                                (ttls_given ? ", " + std::to_string(ttls.size()) : std::string());
    const std::string message = std::string("ids, vectors, metadata_jsons") + (ttls_given ? " and ttls" : "") +
                                " must have the same number of rows; got " + lengths;
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }

  DocumentBatch batch() const { return batch_before(ids.size()); }

  // The rows [0, row): those before a row refused while converting.
  DocumentBatch batch_before(size_t row) const {
    const auto first = [row](const auto& column) {
      return column.begin() + static_cast<std::ptrdiff_t>(std::min(row, column.size()));
    };
    DocumentBatch batch;
    batch.ids = std::span<const uint32_t>(ids).first(std::min(row, ids.size()));
    batch.vectors.assign(vectors.rows.begin(), first(vectors.rows));
    batch.metadata_jsons.assign(metadata_jsons.views.begin(), first(metadata_jsons.views));
    batch.ttls.assign(ttls.begin(), first(ttls));
    return batch;
  }
};

template <typename Core, ClassBinding<Core>& kClass>
PyObject* method_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  BoundObject<Core>* db = nullptr;
  PyObject* result = nullptr;
  BatchArguments rows;

  if (!bind_arguments(kClass.add_many, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, kClass.type, kClass.name, Access::kExclusive, &db)) goto exit;
  if (!convert_argument(argv[0], "ids", convert_id_array, &rows.ids) ||
      !convert_argument(argv[1], "vectors", convert_vector_rows, &rows.vectors) ||
      !convert_argument(argv[2], "metadata_jsons", convert_text_array, &rows.metadata_jsons) ||
      !convert_argument(argv[3], "ttls", convert_optional_i64_array, &rows.ttls) ||
      !rows.check_lengths(argv[3] != nullptr && argv[3] != Py_None)) {
    goto exit;
  }
  result = call_core([&] { return db->value->add_many(rows.batch()); });
exit:
  release_borrow(db, Access::kExclusive);
  return result;
}

}  // namespace vendrel::py

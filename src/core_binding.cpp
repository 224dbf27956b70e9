// The Python module `vendrel`: its entry point, the class VendrelDB and its methods.
// Each method binds its arguments, borrows self, converts the arguments in declaration
// order, calls the core, converts the result and releases the borrow, with one exit.
// The interpreter lock stays held throughout; nothing here releases it.

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core.h"
#include "core_convert.h"

namespace vendrel::py {
namespace {

struct DbObject {
  PyObject_HEAD
  std::unique_ptr<VendrelDB> value;
  // 0 when free, -1 while add holds it, n > 0 while n other calls hold it. A taken
  // borrow can only be met by re-entry from Python code that an argument conversion
  // runs (an item's __float__ calling back into the same database).
  Py_ssize_t borrow_flag;
};

enum class Access { kShared, kExclusive };

// Created on first use; the class lives for the rest of the process.
PyTypeObject* db_type = nullptr;

bool borrow_self(PyObject* self, Access access, DbObject** out) {
  if (!PyObject_TypeCheck(self, db_type)) {
    raise_wrong_type(self, "VendrelDB");
    return false;
  }
  auto* db = reinterpret_cast<DbObject*>(self);
  if (access == Access::kExclusive) {
    if (db->borrow_flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    db->borrow_flag = -1;
  } else {
    if (db->borrow_flag == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++db->borrow_flag;
  }
  *out = db;
  return true;
}

void release_borrow(DbObject* db, Access access) {
  if (db == nullptr) return;
  if (access == Access::kExclusive) {
    db->borrow_flag = 0;
  } else {
    --db->borrow_flag;
  }
}

// ---- Construction and destruction -----------------------------------------------

constexpr const char* kNewNames[] = {"path"};
constexpr Signature kNewSignature{"VendrelDB.__new__()", kNewNames, 1};

PyObject* create_instance(PyTypeObject* type, std::string path) noexcept {
  try {
    Result<std::unique_ptr<VendrelDB>> opened = VendrelDB::open(std::move(path));
    if (!opened.ok()) {
      raise_error(opened.error());
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
      return nullptr;  // the opened database is dropped here
    }
    auto* db = reinterpret_cast<DbObject*>(self);
    new (&db->value) std::unique_ptr<VendrelDB>(std::move(opened.value()));
    db->borrow_flag = 0;
    return self;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1] = {};
  PyObject* result = nullptr;
  std::string path;

  if (!bind_arguments(kNewSignature, args, kwargs, argv)) goto exit;
  if (!convert_argument(argv[0], "path", convert_text, &path)) goto exit;
  result = create_instance(type, std::move(path));
exit:
  return result;
}

// Dropping the database cannot fail: the core's destructors do not throw, and nothing
// is written to disk.
void db_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<DbObject*>(self)->value);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---- Methods --------------------------------------------------------------------

constexpr const char* kAddNames[] = {"internal_id", "vector", "metadata_json", "ttl"};
constexpr Signature kAddSignature{"VendrelDB.add()", kAddNames, 3};

PyObject* db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  DbObject* db = nullptr;
  PyObject* result = nullptr;
  uint32_t internal_id = 0;
  std::vector<float> vector;
  std::string metadata_json;
  std::optional<int64_t> ttl;

  if (!bind_arguments(kAddSignature, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, Access::kExclusive, &db)) goto exit;
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

constexpr const char* kSearchNames[] = {"query", "k", "filter_json", "include_metadata"};
constexpr Signature kSearchSignature{"VendrelDB.search()", kSearchNames, 2};

PyObject* db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  DbObject* db = nullptr;
  PyObject* result = nullptr;
  std::vector<float> query;
  uint64_t k = 0;
  std::optional<std::string> filter_json;
  bool include_metadata = true;

  if (!bind_arguments(kSearchSignature, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, Access::kShared, &db)) goto exit;
  if (!convert_argument(argv[0], "query", convert_float_array, &query) ||
      !convert_argument(argv[1], "k", convert_u64, &k) ||
      !convert_argument(argv[2], "filter_json", convert_optional_text, &filter_json) ||
      !convert_argument(argv[3], "include_metadata", convert_bool, &include_metadata)) {
    goto exit;
  }
  result = call_core([&] {
    std::optional<std::string_view> filter;
    if (filter_json) filter = *filter_json;
    return db->value->search(query, k, filter, include_metadata);
  });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

constexpr const char* kBuildResultsNames[] = {"scored", "include_metadata"};
constexpr Signature kBuildResultsSignature{"VendrelDB.build_results()", kBuildResultsNames, 2};

PyObject* db_build_results(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  DbObject* db = nullptr;
  PyObject* result = nullptr;
  std::vector<ScoredId> scored;
  bool include_metadata = false;

  if (!bind_arguments(kBuildResultsSignature, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, Access::kShared, &db)) goto exit;
  if (!convert_argument(argv[0], "scored", convert_scored_array, &scored) ||
      !convert_argument(argv[1], "include_metadata", convert_bool, &include_metadata)) {
    goto exit;
  }
  result = call_core([&] { return db->value->build_results(std::move(scored), include_metadata); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

constexpr const char* kDeleteNames[] = {"filter_json"};
constexpr Signature kDeleteSignature{"VendrelDB.delete()", kDeleteNames, 1};

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1] = {};
  DbObject* db = nullptr;
  PyObject* result = nullptr;
  std::string filter_json;

  if (!bind_arguments(kDeleteSignature, args, nargs, kwnames, argv)) goto exit;
  if (!borrow_self(self, Access::kShared, &db)) goto exit;
  if (!convert_argument(argv[0], "filter_json", convert_text, &filter_json)) goto exit;
  result = call_core([&] { return db->value->delete_matching(filter_json); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

PyObject* db_count(PyObject* self, PyObject* /*unused*/) {
  DbObject* db = nullptr;
  PyObject* result = nullptr;

  if (!borrow_self(self, Access::kShared, &db)) goto exit;
  result = call_core([&] { return db->value->count(); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

PyObject* db_clean_expired(PyObject* self, PyObject* /*unused*/) {
  DbObject* db = nullptr;
  PyObject* result = nullptr;

  if (!borrow_self(self, Access::kShared, &db)) goto exit;
  result = call_core([&] { return db->value->clean_expired(); });
exit:
  release_borrow(db, Access::kShared);
  return result;
}

// ---- Class and module -----------------------------------------------------------

template <typename Function>
PyCFunction as_cfunction(Function function) {
  // The calling convention flag tells the interpreter the real signature.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The docstrings carry only the text signature: the interpreter exposes it as
// __text_signature__ and reports __doc__ as None.
PyMethodDef db_methods[] = {
    {"add", as_cfunction(db_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"},
    {"search", as_cfunction(db_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k, filter_json=None, include_metadata=True)\n--\n\n"},
    {"build_results", as_cfunction(db_build_results), METH_FASTCALL | METH_KEYWORDS,
     "build_results($self, scored, include_metadata)\n--\n\n"},
    {"delete", as_cfunction(db_delete), METH_FASTCALL | METH_KEYWORDS, "delete($self, filter_json)\n--\n\n"},
    {"count", as_cfunction(db_count), METH_NOARGS, "count($self)\n--\n\n"},
    {"clean_expired", as_cfunction(db_clean_expired), METH_NOARGS, "clean_expired($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kClassDoc[] = "VendrelDB(path)\n--\n\n";

PyType_Slot db_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
    {Py_tp_methods, db_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: a subclass could add state the borrow rules do not cover.
PyType_Spec db_type_description = {"vendrel.VendrelDB", static_cast<int>(sizeof(DbObject)), 0, Py_TPFLAGS_DEFAULT, db_slots};

PyTypeObject* get_db_type() {
  if (db_type != nullptr) return db_type;
  PyRef type(PyType_FromSpec(&db_type_description));
  if (!type) return nullptr;
  // A heap type stores the docstring without its signature, "", in __doc__; the
  // class documents nothing beyond its signature.
  if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
  // Before 3.10 the slot's signature was dropped from tp_doc, and with it
  // __text_signature__; put the whole text back (the type frees tp_doc with PyObject_Free).
  auto* heap_type = reinterpret_cast<PyTypeObject*>(type.get());
  char* doc = static_cast<char*>(PyObject_Malloc(sizeof kClassDoc));
  if (doc == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::memcpy(doc, kClassDoc, sizeof kClassDoc);
  PyObject_Free(const_cast<char*>(heap_type->tp_doc));
  heap_type->tp_doc = doc;
#endif
  db_type = reinterpret_cast<PyTypeObject*>(type.release());
  return db_type;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vendrel",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool module_initialised = false;

bool populate_module(PyObject* module) {
  PyTypeObject* type = get_db_type();
  if (type == nullptr) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_wrong_type(all.get(), "PyList");
    return false;
  }
  PyRef name(PyUnicode_FromString("VendrelDB"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttrString(module, "VendrelDB", reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace
}  // namespace vendrel::py

// The class and the exception type are process-wide, so a second initialisation (a
// sub-interpreter, or an import after removal from sys.modules) is refused.
PyMODINIT_FUNC PyInit_vendrel(void) {
  using namespace vendrel::py;
  if (module_initialised) {
    PyErr_SetString(PyExc_ImportError, "vendrel may only be initialised once per interpreter process");
    return nullptr;
  }
  module_initialised = true;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (!populate_module(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

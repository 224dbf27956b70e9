// The companion module `vendrel_plus._native`: the class FullVendrelDB (full vectors,
// exact or graph search), and ContractDB, the contract's database with a batch add, which a
// shard of the sharded layer holds. Both share the contract's argument conversions,
// messages and borrow rules (core_methods.h); what they add is add_many.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <utility>

#include "core.h"
#include "core_convert.h"
#include "core_methods.h"
#include "full_core.h"
#include "plus_binding.h"

namespace vendrel::py {
namespace {

// ---- FullVendrelDB --------------------------------------------------------------


constexpr const char* kFullNewNames[] = {"path", "index", "m", "ef_construction", "ef_search"};
constexpr Signature kFullNewSignature{"FullVendrelDB.__new__()", kFullNewNames, 1, 1};

bool convert_index_kind(PyObject* object, IndexKind* out) {
  std::string name;
  if (!convert_text(object, &name)) return false;
  if (name == "exact" || name == "hnsw") {
    *out = name == "exact" ? IndexKind::kExact : IndexKind::kGraph;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "index must be 'exact' or 'hnsw'; got %R", object);
  return false;
}

// A graph setting: an integer in [low, high], else ValueError naming the setting.
bool convert_setting(PyObject* object, const char* name, size_t low, size_t high, size_t* out) {
  uint64_t value = 0;
  if (!convert_u64(object, &value)) return false;
  if (value < low || value > high) {
    PyErr_Format(PyExc_ValueError, "%s must be between %zu and %zu; got %llu", name, low, high,
                 static_cast<unsigned long long>(value));
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

constexpr size_t kMaxExpansion = 100000;

bool convert_m(PyObject* object, size_t* out) { return convert_setting(object, "m", 2, 1000, out); }
bool convert_ef_construction(PyObject* object, size_t* out) {
  return convert_setting(object, "ef_construction", 1, kMaxExpansion, out);
}
bool convert_ef_search(PyObject* object, size_t* out) {
  return convert_setting(object, "ef_search", 1, kMaxExpansion, out);
}
// `ef` of one search: None (the database's ef_search) or a setting as above.
bool convert_optional_ef(PyObject* object, size_t* out) {
  if (object == Py_None) return true;
  return convert_setting(object, "ef", 1, kMaxExpansion, out);
}

constexpr const char* kFullSearchNames[] = {"query", "k", "filter_json", "include_metadata", "ef"};

ClassBinding<FullVendrelDB> full_class{
    "FullVendrelDB",
    {"FullVendrelDB.add()", kAddNames, 3},
    {"FullVendrelDB.search()", kFullSearchNames, 2, 4},
    {"FullVendrelDB.build_results()", kBuildResultsNames, 2},
    {"FullVendrelDB.delete()", kDeleteNames, 1},
    {"FullVendrelDB.add_many()", kAddManyNames, 3},
    convert_optional_ef,
};

PyObject* full_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[5] = {};
  PyObject* result = nullptr;
  std::string path;
  FullSettings settings;

  if (!bind_arguments(kFullNewSignature, args, kwargs, argv)) goto exit;
  if (!convert_argument(argv[0], "path", convert_text, &path) ||
      !convert_argument(argv[1], "index", convert_index_kind, &settings.index) ||
      !convert_argument(argv[2], "m", convert_m, &settings.graph.connectivity) ||
      !convert_argument(argv[3], "ef_construction", convert_ef_construction, &settings.graph.ef_construction) ||
      !convert_argument(argv[4], "ef_search", convert_ef_search, &settings.graph.ef_search)) {
    goto exit;
  }
  result = call_open(type, [&] { return FullVendrelDB::open(std::move(path), settings); });
exit:
  return result;
}

PyMethodDef full_methods[] = {
    {"add", as_cfunction(method_add<FullVendrelDB, full_class>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"
     "Stores one document; returns None."},
    {"add_many", as_cfunction(method_add_many<FullVendrelDB, full_class>), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, ids, vectors, metadata_jsons, ttls=None)\n--\n\n"
     "Stores many documents in one call, row by row as add would; returns None."},
    {"search", as_cfunction(method_search<FullVendrelDB, full_class>), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k, filter_json=None, include_metadata=True, *, ef=None)\n--\n\n"
     "The k nearest live documents by cosine similarity as (id, score, metadata) tuples."},
    {"build_results", as_cfunction(method_build_results<FullVendrelDB, full_class>), METH_FASTCALL | METH_KEYWORDS,
     "build_results($self, scored, include_metadata)\n--\n\n"
     "Turns (id, score) pairs into (id, score, metadata) tuples, in order."},
    {"delete", as_cfunction(method_delete<FullVendrelDB, full_class>), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, filter_json)\n--\n\n"
     "Deletes the documents the filter selects; returns how many it selected."},
    {"count", as_cfunction(method_count<FullVendrelDB, full_class>), METH_NOARGS,
     "count($self)\n--\n\n"
     "The id bound (one more than the highest id added) minus the deleted ids."},
    {"clean_expired", as_cfunction(method_clean_expired<FullVendrelDB, full_class>), METH_NOARGS,
     "clean_expired($self)\n--\n\n"
     "Deletes the documents whose time to live has passed; returns None."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kFullClassDoc[] =
    "FullVendrelDB(path, *, index='exact', m=16, ef_construction=100, ef_search=128)\n--\n\n";

PyType_Slot full_slots[] = {
    {Py_tp_doc, const_cast<char*>(kFullClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(full_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<FullVendrelDB>)},
    {Py_tp_methods, full_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: a subclass could add state the borrow rules do not cover.
PyType_Spec full_spec = {"vendrel_plus.FullVendrelDB", static_cast<int>(sizeof(BoundObject<FullVendrelDB>)), 0,
                         Py_TPFLAGS_DEFAULT, full_slots};

// ---- ContractDB -----------------------------------------------------------------

ClassBinding<VendrelDB> contract_class{
    "ContractDB",
    {"ContractDB.add()", kAddNames, 3},
    {"ContractDB.search()", kSearchNames, 2},
    {"ContractDB.build_results()", kBuildResultsNames, 2},
    {"ContractDB.delete()", kDeleteNames, 1},
    {"ContractDB.add_many()", kAddManyNames, 3},
};

constexpr const char* kContractNewNames[] = {"path"};
constexpr Signature kContractNewSignature{"ContractDB.__new__()", kContractNewNames, 1};

PyObject* contract_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1] = {};
  PyObject* result = nullptr;
  std::string path;

  if (!bind_arguments(kContractNewSignature, args, kwargs, argv)) goto exit;
  if (!convert_argument(argv[0], "path", convert_text, &path)) goto exit;
  result = call_open(type, [&] { return VendrelDB::open(std::move(path)); });
exit:
  return result;
}

PyMethodDef contract_methods[] = {
    {"add", as_cfunction(method_add<VendrelDB, contract_class>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"},
    {"add_many", as_cfunction(method_add_many<VendrelDB, contract_class>), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, ids, vectors, metadata_jsons, ttls=None)\n--\n\n"},
    {"search", as_cfunction(method_search<VendrelDB, contract_class>), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k, filter_json=None, include_metadata=True)\n--\n\n"},
    {"build_results", as_cfunction(method_build_results<VendrelDB, contract_class>), METH_FASTCALL | METH_KEYWORDS,
     "build_results($self, scored, include_metadata)\n--\n\n"},
    {"delete", as_cfunction(method_delete<VendrelDB, contract_class>), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, filter_json)\n--\n\n"},
    {"count", as_cfunction(method_count<VendrelDB, contract_class>), METH_NOARGS, "count($self)\n--\n\n"},
    {"clean_expired", as_cfunction(method_clean_expired<VendrelDB, contract_class>), METH_NOARGS,
     "clean_expired($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kContractClassDoc[] = "ContractDB(path)\n--\n\n";

PyType_Slot contract_slots[] = {
    {Py_tp_doc, const_cast<char*>(kContractClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(contract_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<VendrelDB>)},
    {Py_tp_methods, contract_methods},
    {0, nullptr},
};

PyType_Spec contract_spec = {"vendrel_plus.ContractDB", static_cast<int>(sizeof(BoundObject<VendrelDB>)), 0,
                             Py_TPFLAGS_DEFAULT, contract_slots};

// ---- Module ---------------------------------------------------------------------

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vendrel_plus._native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool module_initialised = false;

bool add_class(PyObject* module, PyType_Spec* spec, const char* class_doc, const char* name, PyTypeObject** type) {
  if (*type == nullptr) *type = create_class(spec, class_doc);
  if (*type == nullptr) return false;
  Py_INCREF(*type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(*type)) == 0) return true;
  Py_DECREF(*type);
  return false;
}

bool populate_module(PyObject* module) {
  return add_class(module, &full_spec, kFullClassDoc, "FullVendrelDB", &full_class.type) &&
         add_class(module, &contract_spec, kContractClassDoc, "ContractDB", &contract_class.type) &&
         add_shard_functions(module, full_class.type, contract_class.type);
}

}  // namespace
}  // namespace vendrel::py

PyMODINIT_FUNC PyInit__native(void) {
  using namespace vendrel::py;
  return initialise_module_once(&module_def, &module_initialised,
                                "vendrel_plus._native may only be initialised once per interpreter process",
                                populate_module);
}

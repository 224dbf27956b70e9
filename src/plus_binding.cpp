// The companion module `vendrel_plus._native`: the class FullVendrelDB (full vectors,
// exact or graph search; full_binding.cpp), and ContractDB, the contract's database with
// a batch add, which a shard of the sharded layer holds. ContractDB shares the contract's
// argument conversions, messages and borrow rules (core_methods.h); what it adds is
// add_many.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <utility>

#include "core.h"
#include "core_convert.h"
#include "core_methods.h"
#include "plus_binding.h"

namespace vendrel::py {
namespace {

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
  PyTypeObject* full_type = add_full_class(module);
  return full_type != nullptr &&
         add_class(module, &contract_spec, kContractClassDoc, "ContractDB", &contract_class.type) &&
         add_shard_functions(module, full_type, contract_class.type);
}

}  // namespace
}  // namespace vendrel::py

PyMODINIT_FUNC PyInit__native(void) {
  using namespace vendrel::py;
  return initialise_module_once(&module_def, &module_initialised,
                                "vendrel_plus._native may only be initialised once per interpreter process",
                                populate_module);
}

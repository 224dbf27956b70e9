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
#include "core_methods.h"

namespace vendrel::py {
namespace {

using DbObject = BoundObject<VendrelDB>;

// ---- Construction and destruction -----------------------------------------------

constexpr const char* kNewNames[] = {"path"};
constexpr Signature kNewSignature{"VendrelDB.__new__()", kNewNames, 1};

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1] = {};
  PyObject* result = nullptr;
  std::string path;

  if (!bind_arguments(kNewSignature, args, kwargs, argv)) goto exit;
  if (!convert_argument(argv[0], "path", convert_text, &path)) goto exit;
  result = call_open(type, [&] { return VendrelDB::open(std::move(path)); });
exit:
  return result;
}

// ---- Methods --------------------------------------------------------------------

ClassBinding<VendrelDB> db_class{
    "VendrelDB",
    {"VendrelDB.add()", kAddNames, 3},
    {"VendrelDB.search()", kSearchNames, 2},
    {"VendrelDB.build_results()", kBuildResultsNames, 2},
    {"VendrelDB.delete()", kDeleteNames, 1},
};

// ---- Class and module -----------------------------------------------------------

// The docstrings carry only the text signature: the interpreter exposes it as
// __text_signature__ and reports __doc__ as None.
PyMethodDef db_methods[] = {
    {"add", as_cfunction(method_add<VendrelDB, db_class>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"},
    {"search", as_cfunction(method_search<VendrelDB, db_class>), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k, filter_json=None, include_metadata=True)\n--\n\n"},
    {"build_results", as_cfunction(method_build_results<VendrelDB, db_class>), METH_FASTCALL | METH_KEYWORDS,
     "build_results($self, scored, include_metadata)\n--\n\n"},
    {"delete", as_cfunction(method_delete<VendrelDB, db_class>), METH_FASTCALL | METH_KEYWORDS, "delete($self, filter_json)\n--\n\n"},
    {"count", as_cfunction(method_count<VendrelDB, db_class>), METH_NOARGS, "count($self)\n--\n\n"},
    {"clean_expired", as_cfunction(method_clean_expired<VendrelDB, db_class>), METH_NOARGS, "clean_expired($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kClassDoc[] = "VendrelDB(path)\n--\n\n";

PyType_Slot db_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<VendrelDB>)},
    {Py_tp_methods, db_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: a subclass could add state the borrow rules do not cover.
PyType_Spec db_type_description = {"vendrel.VendrelDB", static_cast<int>(sizeof(DbObject)), 0, Py_TPFLAGS_DEFAULT, db_slots};

// Created on first use; the class lives for the rest of the process.
PyTypeObject* get_db_type() {
  if (db_class.type == nullptr) db_class.type = create_class(&db_type_description, kClassDoc);
  return db_class.type;
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

PyMODINIT_FUNC PyInit_vendrel(void) {
  using namespace vendrel::py;
  return initialise_module_once(&module_def, &module_initialised,
                                "vendrel may only be initialised once per interpreter process", populate_module);
}

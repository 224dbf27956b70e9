// Module functions of `vendrel_plus._native` for the sharded layer: what a shard reports
// about its database beyond the six operations, for the client to answer as one
// database would.

#include "core.h"
#include "core_methods.h"
#include "full_core.h"
#include "plus_binding.h"

namespace vendrel::py {
namespace {

PyTypeObject* full_type = nullptr;
PyTypeObject* contract_type = nullptr;

// The ledger of a FullVendrelDB or ContractDB instance, or null with TypeError set.
DocumentLedger* ledger_of(PyObject* db) {
  if (full_type != nullptr && PyObject_TypeCheck(db, full_type)) {
    return &reinterpret_cast<BoundObject<FullVendrelDB>*>(db)->value->ledger;
  }
  if (contract_type != nullptr && PyObject_TypeCheck(db, contract_type)) {
    return &reinterpret_cast<BoundObject<VendrelDB>*>(db)->value->ledger;
  }
  raise_wrong_type(db, "FullVendrelDB or ContractDB");
  return nullptr;
}

// id_bound(db): one more than the highest id the database has added (0 when empty).
PyObject* id_bound(PyObject* /*module*/, PyObject* db) {
  DocumentLedger* ledger = ledger_of(db);
  if (ledger == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(ledger->id_bound());
}

constexpr const char* kDecidesNames[] = {"db", "filter_json"};
constexpr Signature kDecidesSignature{"filter_decides()", kDecidesNames, 2};

// filter_decides(db, filter_json): whether the database's indexes decide the filter
// (it evaluates to an id set, possibly empty) rather than leave it undetermined. A text
// that is not JSON raises ValueError with the parser's message. Runs the pending flush
// of numbers that every filter evaluation runs.
PyObject* filter_decides(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  std::string filter_json;
  if (!bind_arguments(kDecidesSignature, args, nargs, kwnames, argv)) return nullptr;
  DocumentLedger* ledger = ledger_of(argv[0]);
  if (ledger == nullptr) return nullptr;
  if (!convert_argument(argv[1], "filter_json", convert_text, &filter_json)) return nullptr;
  try {
    Result<OptionalIds> evaluated = ledger->filter->apply_filter(filter_json);
    if (!evaluated.ok()) {
      raise_error(evaluated.error());
      return nullptr;
    }
    return PyBool_FromLong(evaluated.value().has_value());
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

PyMethodDef shard_functions[] = {
    {"id_bound", id_bound, METH_O, "id_bound(db)\n--\n\nOne more than the highest id the database has added."},
    {"filter_decides", as_cfunction(filter_decides), METH_FASTCALL | METH_KEYWORDS,
     "filter_decides(db, filter_json)\n--\n\nWhether the database's indexes decide the filter."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_shard_functions(PyObject* module, PyTypeObject* full, PyTypeObject* contract) {
  full_type = full;
  contract_type = contract;
  return PyModule_AddFunctions(module, shard_functions) == 0;
}

}  // namespace vendrel::py

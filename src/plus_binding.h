// The parts of the companion module `vendrel_plus._native`, each in its own file.
#pragma once

#include "core_convert.h"

namespace vendrel::py {

// Creates the class FullVendrelDB (once per process) and adds it to `module`; its type,
// or null with a Python error set.
PyTypeObject* add_full_class(PyObject* module);

// Adds the module functions the sharded layer's shards and client use (shard_binding.cpp)
// to `module`; the two classes they accept are passed in. False with a Python error set.
bool add_shard_functions(PyObject* module, PyTypeObject* full_type, PyTypeObject* contract_type);

}  // namespace vendrel::py

// What the companion module offers its sharded layer beside the two classes.
#pragma once

#include "core_convert.h"

namespace vendrel::py {

// Adds the module functions the sharded layer's shards and client use (shard_binding.cpp)
// to `module`; the two classes they accept are passed in. False with a Python error set.
bool add_shard_functions(PyObject* module, PyTypeObject* full_type, PyTypeObject* contract_type);

}  // namespace vendrel::py

// The class vendrel_plus.FullVendrelDB: the full-vector database (full_core.h) with
// arguments in Python's words (plus_convert.h). Each method binds its arguments, checks
// self, converts the arguments with the interpreter lock held, then releases the lock
// while the database works, so that threads searching one database run side by side;
// the database's own reader-writer lock orders them. No borrow flag: re-entry from a
// conversion (an item's __float__ calling back into the database) runs before this
// call takes any lock of the database, so it is as safe as a call from another thread.

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core_convert.h"
#include "core_methods.h"
#include "full_core.h"
#include "plus_binding.h"
#include "plus_convert.h"

namespace vendrel::py {
namespace {

using FullObject = BoundObject<FullVendrelDB>;

PyTypeObject* full_type = nullptr;

constexpr size_t kMaxExpansion = 100000;

// The database of `self`, or null with the wrong-type TypeError set.
FullVendrelDB* database_of(PyObject* self) {
  if (full_type == nullptr || !PyObject_TypeCheck(self, full_type)) {
    raise_wrong_type(self, "FullVendrelDB");
    return nullptr;
  }
  return reinterpret_cast<FullObject*>(self)->value.get();
}

// Runs a core operation without the interpreter lock, then converts what it returns
// with `convert` (its Result; to_python by default). Everything `call` reads was
// converted before: it touches no Python object.
template <typename Call, typename Convert>
PyObject* call_released(Call&& call, Convert&& convert) noexcept {
  std::optional<decltype(call())> result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(call());
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  try {
    if (failure) std::rethrow_exception(failure);
    return convert(std::move(*result));
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

template <typename Call>
PyObject* call_released(Call&& call) noexcept {
  return call_released(std::forward<Call>(call), [](auto&& result) { return to_python(std::move(result)); });
}

using plus::convert_plus;

constexpr const char* kNewNames[] = {"path", "index", "m", "ef_construction", "ef_search", "durability", "target_recall"};
constexpr Signature kNew{"FullVendrelDB()", kNewNames, 1, 5};
constexpr Signature kAdd{"FullVendrelDB.add()", kAddNames, 3};
constexpr Signature kAddMany{"FullVendrelDB.add_many()", kAddManyNames, 3};
constexpr const char* kFullSearchNames[] = {"query", "k", "filter_json", "include_metadata", "ef"};
constexpr Signature kSearch{"FullVendrelDB.search()", kFullSearchNames, 2, 4};
constexpr const char* kSearchManyNames[] = {"queries", "k", "filter_json", "include_metadata", "ef"};
constexpr Signature kSearchMany{"FullVendrelDB.search_many()", kSearchManyNames, 2, 4};
constexpr Signature kBuildResults{"FullVendrelDB.build_results()", kBuildResultsNames, 2};
constexpr Signature kDelete{"FullVendrelDB.delete()", kDeleteNames, 1};
constexpr const char* kCalibrationNames[] = {"k", "allowed_fraction"};
constexpr Signature kCalibration{"FullVendrelDB.calibration()", kCalibrationNames, 0, 1};

PyObject* full_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[7] = {};
  std::string path;
  FullSettings settings;
  size_t index_kind = 0;
  size_t durability = 0;
  if (!bind_arguments(kNew, args, kwargs, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_path(o, &path); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_choice(o, "index", {"exact", "hnsw"}, &index_kind); }) ||
      !convert_plus(argv[2], [&](PyObject* o) { return plus::to_bounded(o, "m", 2, 1000, &settings.graph.connectivity); }) ||
      !convert_plus(argv[3], [&](PyObject* o) {
        return plus::to_bounded(o, "ef_construction", 1, kMaxExpansion, &settings.graph.ef_construction);
      }) ||
      !convert_plus(argv[4], [&](PyObject* o) {
        return plus::to_bounded(o, "ef_search", 1, kMaxExpansion, &settings.graph.ef_search);
      }) ||
      !convert_plus(argv[5], [&](PyObject* o) {
        return plus::to_choice(o, "durability", {"process", "power", "memory"}, &durability);
      }) ||
      !convert_plus(argv[6], [&](PyObject* o) { return plus::to_optional_share(o, "target_recall", &settings.target_recall); })) {
    return nullptr;
  }
  settings.index = index_kind == 0 ? IndexKind::kExact : IndexKind::kGraph;
  settings.durability = durability == 0 ? Durability::kProcess : durability == 1 ? Durability::kPower : Durability::kMemory;
  // Settings left out take the stored ones when the directory holds a database.
  settings.named = {argv[1] != nullptr, argv[2] != nullptr, argv[3] != nullptr, argv[4] != nullptr};
  return call_open(type, [&] { return FullVendrelDB::open(std::move(path), settings); });
}

PyObject* full_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  uint32_t id = 0;
  std::vector<float> vector;
  std::string metadata_json;
  std::optional<int64_t> ttl;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kAdd, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_id(o, "id", &id); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_vector(o, "vector", &vector); }) ||
      !convert_plus(argv[2], [&](PyObject* o) { return plus::to_json_text(o, "metadata", &metadata_json); }) ||
      !convert_plus(argv[3], [&](PyObject* o) { return plus::to_optional_ttl(o, &ttl); })) {
    return nullptr;
  }
  return call_released([&] { return db->add(id, vector, metadata_json, ttl); });
}

// From this many rows on, add_many hands the free heap back afterwards: a large batch
// leaves its conversion buffers and the graph insertion's queues (allocated on the
// pool's threads among the links they keep) in pages that glibc keeps, 64 bytes per
// document at 100,000 x 768 in graph mode, 24 in exact mode.
constexpr size_t kReleaseAfterRows = 4096;

PyObject* add_many_converted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             size_t* row_count) {
  PyObject* argv[4] = {};
  BatchArguments rows;
  std::optional<plus::RowRefusal> refused;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kAddMany, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_ids(o, &rows.ids); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_vectors(o, "row", &rows.vectors); }) ||
      !convert_plus(argv[2], [&](PyObject* o) { return plus::to_json_texts(o, &rows.metadata_jsons, &refused); }) ||
      !convert_plus(argv[3], [&](PyObject* o) { return plus::to_optional_ttls(o, &rows.ttls); }) ||
      !rows.check_lengths(argv[3] != nullptr && argv[3] != Py_None)) {
    return nullptr;
  }
  *row_count = rows.ids.size();
  if (!refused) return call_released([&] { return db->add_many(rows.batch()); });
  // A text refused while converting is refused as the database refuses a row: the rows
  // before it are stored, unless one of them fails first.
  PyObject* stored = call_released([&] { return db->add_many(rows.batch_before(refused->row)); });
  if (stored == nullptr) return nullptr;
  Py_DECREF(stored);
  refused->raise();
  return nullptr;
}

PyObject* full_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  size_t row_count = 0;
  PyObject* result = add_many_converted(self, args, nargs, kwnames, &row_count);  // its buffers freed
  if (row_count >= kReleaseAfterRows) {
    Py_BEGIN_ALLOW_THREADS
    release_free_heap();
    Py_END_ALLOW_THREADS
  }
  return result;
}

// The arguments search and search_many share after their first.
struct SearchOptions {
  uint64_t k = 0;
  std::optional<std::string> filter_json;
  bool include_metadata = true;
  size_t ef = 0;

  bool convert(PyObject* const* argv) {
    return convert_plus(argv[1], [&](PyObject* o) { return plus::to_k(o, &k); }) &&
           convert_plus(argv[2], [&](PyObject* o) { return plus::to_optional_json_text(o, "filter", &filter_json); }) &&
           convert_plus(argv[3], [&](PyObject* o) { return plus::to_flag(o, &include_metadata); }) &&
           convert_plus(argv[4], [&](PyObject* o) { return plus::to_optional_bounded(o, "ef", 1, kMaxExpansion, &ef); });
  }
  std::optional<std::string_view> filter() const {
    return filter_json ? std::optional<std::string_view>(*filter_json) : std::nullopt;
  }
};

PyObject* full_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[5] = {};
  std::vector<float> query;
  SearchOptions options;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kSearch, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_vector(o, "query", &query); }) ||
      !options.convert(argv)) {
    return nullptr;
  }
  return call_released([&] { return db->search(query, options.k, options.filter(), options.include_metadata, options.ef); });
}

PyObject* full_search_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[5] = {};
  VectorRows queries;
  SearchOptions options;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kSearchMany, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_vectors(o, "query", &queries); }) ||
      !options.convert(argv)) {
    return nullptr;
  }
  return call_released([&] {
    return db->search_many(queries.rows, options.k, options.filter(), options.include_metadata, options.ef);
  });
}

PyObject* full_build_results(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  std::vector<ScoredId> scored;
  bool include_metadata = true;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kBuildResults, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_scored(o, &scored); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_flag(o, &include_metadata); })) {
    return nullptr;
  }
  return call_released([&] { return db->build_results(std::move(scored), include_metadata); });
}

PyObject* full_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1] = {};
  std::string filter_json;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kDelete, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_json_text(o, "filter", &filter_json); })) {
    return nullptr;
  }
  return call_released([&] { return db->delete_matching(filter_json); });
}

PyObject* full_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  uint64_t k = 10;
  double allowed_fraction = 1.0;
  FullVendrelDB* db = nullptr;
  if (!bind_arguments(kCalibration, args, nargs, kwnames, argv) || (db = database_of(self)) == nullptr ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_k(o, &k); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_share(o, "allowed_fraction", &allowed_fraction); })) {
    return nullptr;
  }
  return call_released([&] { return db->calibration(k, allowed_fraction); },
                       [](Result<Calibration>&& result) -> PyObject* {
                         if (!result.ok()) {
                           raise_error(result.error());
                           return nullptr;
                         }
                         return plus::calibration_to_python(result.value());
                       });
}

// A method without arguments: count, clean_expired, checkpoint, close.
template <auto kMethod>
PyObject* full_without_arguments(PyObject* self, PyObject* /*unused*/) {
  FullVendrelDB* db = database_of(self);
  if (db == nullptr) return nullptr;
  return call_released([&] { return (db->*kMethod)(); });
}

PyObject* full_enter(PyObject* self, PyObject* /*unused*/) {
  FullVendrelDB* db = database_of(self);
  if (db == nullptr) return nullptr;
  PyObject* open = call_released([&] { return db->ensure_open(); });
  if (open == nullptr) return nullptr;
  Py_DECREF(open);
  Py_INCREF(self);
  return self;
}

// __exit__ closes whatever ended the block; an exception of close() is raised only when
// the block itself ended normally (Python chains it otherwise).
PyObject* full_exit(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/) {
  FullVendrelDB* db = database_of(self);
  if (db == nullptr) return nullptr;
  PyObject* closed = call_released([&] { return db->close(); });
  if (closed == nullptr) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;
}

PyMethodDef full_methods[] = {
    {"add", as_cfunction(full_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"
     "Stores one document; returns None."},
    {"add_many", as_cfunction(full_add_many), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, ids, vectors, metadata_jsons, ttls=None)\n--\n\n"
     "Stores many documents in one call; at a failing row the rows before it are stored, that row changes nothing."},
    {"search", as_cfunction(full_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k, filter_json=None, include_metadata=True, *, ef=None)\n--\n\n"
     "The k nearest live documents by cosine similarity as (id, score, metadata) tuples."},
    {"search_many", as_cfunction(full_search_many), METH_FASTCALL | METH_KEYWORDS,
     "search_many($self, queries, k, filter_json=None, include_metadata=True, *, ef=None)\n--\n\n"
     "search for each query: one list of (id, score, metadata) tuples per query."},
    {"build_results", as_cfunction(full_build_results), METH_FASTCALL | METH_KEYWORDS,
     "build_results($self, scored, include_metadata)\n--\n\n"
     "Turns (id, score) pairs into (id, score, metadata) tuples, in order."},
    {"delete", as_cfunction(full_delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, filter_json)\n--\n\n"
     "Deletes the documents the filter selects; returns how many it deleted now."},
    {"calibration", as_cfunction(full_calibration), METH_FASTCALL | METH_KEYWORDS,
     "calibration($self, k=10, *, allowed_fraction=1.0)\n--\n\n"
     "How searches for k hits reach target_recall: a dict (method, ef, recall, ...)."},
    {"count", as_cfunction(full_without_arguments<&FullVendrelDB::count>), METH_NOARGS,
     "count($self)\n--\n\n"
     "The id bound (one more than the highest id added) minus the deleted ids."},
    {"clean_expired", as_cfunction(full_without_arguments<&FullVendrelDB::clean_expired>), METH_NOARGS,
     "clean_expired($self)\n--\n\n"
     "Deletes the documents whose time to live has passed; returns None."},
    {"checkpoint", as_cfunction(full_without_arguments<&FullVendrelDB::checkpoint>), METH_NOARGS,
     "checkpoint($self)\n--\n\n"
     "Writes a checkpoint now: the directory's files hold everything, the log restarts."},
    {"close", as_cfunction(full_without_arguments<&FullVendrelDB::close>), METH_NOARGS,
     "close($self)\n--\n\n"
     "Checkpoints and releases the directory; later calls raise ValueError."},
    {"__enter__", as_cfunction(full_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(full_exit), METH_FASTCALL, "__exit__($self, *exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kFullClassDoc[] =
    "FullVendrelDB(path, index='exact', m=16, ef_construction=100, ef_search=128, *, durability='process', "
    "target_recall=None)\n--\n\n";

PyType_Slot full_slots[] = {
    {Py_tp_doc, const_cast<char*>(kFullClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(full_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<FullVendrelDB>)},
    {Py_tp_methods, full_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: a subclass could add state the database's lock does not cover.
PyType_Spec full_spec = {"vendrel_plus.FullVendrelDB", static_cast<int>(sizeof(FullObject)), 0, Py_TPFLAGS_DEFAULT,
                         full_slots};

}  // namespace

PyTypeObject* add_full_class(PyObject* module) {
  if (full_type == nullptr) full_type = create_class(&full_spec, kFullClassDoc);
  if (full_type == nullptr) return nullptr;
  Py_INCREF(full_type);
  if (PyModule_AddObject(module, "FullVendrelDB", reinterpret_cast<PyObject*>(full_type)) != 0) {
    Py_DECREF(full_type);
    return nullptr;
  }
  return full_type;
}

}  // namespace vendrel::py

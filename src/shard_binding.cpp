// Module functions of `vendrel_plus._native` for the sharded layer: what a shard reports
// about its database beyond the six operations, and the argument conversions of the six
// operations (and add_many) run on the client side, so that a sharded call refuses
// exactly the arguments one database refuses, with its messages, before any shard is
// called. Each convert_* function converts its arguments in declaration order with the
// database's own converters and returns them in a form that travels to a shard (vectors
// as float32 bytes) or raises what the database's method would have raised.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "core.h"
#include "core_methods.h"
#include "full_core.h"
#include "json.h"
#include "plus_binding.h"
#include "plus_convert.h"

namespace vendrel::py {
namespace {

using plus::convert_plus;

PyTypeObject* full_type = nullptr;
PyTypeObject* contract_type = nullptr;

// The metadata store refuses a text of this many bytes or more.
constexpr uint64_t kMetadataTextLimit = uint64_t{1} << 32;

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

// dimension(db): the length of the database's vectors, 0 until the first non-empty one.
// Read without the database's lock: a shard asks between calls, never during one.
PyObject* dimension(PyObject* /*module*/, PyObject* db) {
  if (ledger_of(db) == nullptr) return nullptr;
  if (PyObject_TypeCheck(db, full_type)) {
    return PyLong_FromSize_t(reinterpret_cast<BoundObject<FullVendrelDB>*>(db)->value->dimension);
  }
  return PyLong_FromSize_t(reinterpret_cast<BoundObject<VendrelDB>*>(db)->value->dimension);
}

// quantized(db): whether the database scores codes rather than full vectors. A
// FullVendrelDB never quantizes.
PyObject* quantized(PyObject* /*module*/, PyObject* db) {
  if (ledger_of(db) == nullptr) return nullptr;
  if (PyObject_TypeCheck(db, full_type)) Py_RETURN_FALSE;
  return PyBool_FromLong(reinterpret_cast<BoundObject<VendrelDB>*>(db)->value->storage->quantized());
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

// ---- Conversions of the client's arguments ----------------------------------------

PyObject* float_bytes(const float* values, size_t count) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values),
                                   static_cast<Py_ssize_t>(count * sizeof(float)));
}

template <typename T>
PyObject* array_bytes(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* text_object(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* optional_text_object(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return text_object(*text);
}

PyObject* optional_i64_object(const std::optional<int64_t>& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromLongLong(*value);
}

// The signatures only guard against misuse by the client, which always passes every
// argument by position; their qualnames never reach a user.
constexpr Signature kConvertAddSignature{"convert_add()", kAddNames, 4};
constexpr Signature kConvertSearchSignature{"convert_search()", kSearchNames, 4};
constexpr Signature kConvertBuildResultsSignature{"convert_build_results()", kBuildResultsNames, 2};
constexpr const char* kConvertDeleteNames[] = {"filter_json", "strict"};
constexpr Signature kConvertDeleteSignature{"convert_delete()", kConvertDeleteNames, 2};
constexpr Signature kConvertAddManySignature{"convert_add_many()", kAddManyNames, 4};
constexpr const char* kSearchManyNames[] = {"queries", "k", "filter_json", "include_metadata"};
constexpr Signature kConvertSearchManySignature{"convert_search_many()", kSearchManyNames, 4};

// convert_add(internal_id, vector, metadata_json, ttl) -> (int, bytes, str, int | None):
// add's conversions; the vector comes back as native float32 bytes.
PyObject* convert_add(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  uint32_t internal_id = 0;
  std::vector<float> vector;
  std::string metadata_json;
  std::optional<int64_t> ttl;
  if (!bind_arguments(kConvertAddSignature, args, nargs, kwnames, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_id(o, "id", &internal_id); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_vector(o, "vector", &vector); }) ||
      !convert_plus(argv[2], [&](PyObject* o) { return plus::to_json_text(o, "metadata", &metadata_json); }) ||
      !convert_plus(argv[3], [&](PyObject* o) { return plus::to_optional_ttl(o, &ttl); })) {
    return nullptr;
  }
  try {
    PyRef id(PyLong_FromUnsignedLong(internal_id));
    PyRef vector_bytes(float_bytes(vector.data(), vector.size()));
    PyRef text(text_object(metadata_json));
    PyRef ttl_object(optional_i64_object(ttl));
    if (!id || !vector_bytes || !text || !ttl_object) return nullptr;
    return PyTuple_Pack(4, id.get(), vector_bytes.get(), text.get(), ttl_object.get());
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// convert_search(query, k, filter_json, include_metadata) -> (bytes, int, str | None,
// bool): search's conversions; the query comes back as native float32 bytes.
PyObject* convert_search(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  std::vector<float> query;
  uint64_t k = 0;
  std::optional<std::string> filter_json;
  bool include_metadata = true;
  if (!bind_arguments(kConvertSearchSignature, args, nargs, kwnames, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_vector(o, "query", &query); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_k(o, &k); }) ||
      !convert_plus(argv[2], [&](PyObject* o) { return plus::to_optional_json_text(o, "filter", &filter_json); }) ||
      !convert_plus(argv[3], [&](PyObject* o) { return plus::to_flag(o, &include_metadata); })) {
    return nullptr;
  }
  try {
    PyRef query_bytes(float_bytes(query.data(), query.size()));
    PyRef k_object(PyLong_FromUnsignedLongLong(k));
    PyRef filter(optional_text_object(filter_json));
    if (!query_bytes || !k_object || !filter) return nullptr;
    return PyTuple_Pack(4, query_bytes.get(), k_object.get(), filter.get(), include_metadata ? Py_True : Py_False);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// convert_search_many(queries, k, filter_json, include_metadata)
//   -> (queries, k, str | None, bool, non_finite): search_many's conversions; queries as
// a 2-D float32 array (the caller's own when it is one, else a new one built from the
// rows; a ragged sequence of rows is refused as the database refuses it: every query must
// have the stored vectors' length, which the client checks). non_finite: None, or
// (query, message) for the first query holding a NaN or an infinity.
PyObject* convert_search_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  VectorRows queries;
  uint64_t k = 0;
  std::optional<std::string> filter_json;
  bool include_metadata = true;
  if (!bind_arguments(kConvertSearchManySignature, args, nargs, kwnames, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_vectors(o, "query", &queries); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_k(o, &k); }) ||
      !convert_plus(argv[2], [&](PyObject* o) { return plus::to_optional_json_text(o, "filter", &filter_json); }) ||
      !convert_plus(argv[3], [&](PyObject* o) { return plus::to_flag(o, &include_metadata); })) {
    return nullptr;
  }
  try {
    std::vector<uint64_t> lengths(queries.rows.size());
    for (size_t i = 0; i < lengths.size(); ++i) lengths[i] = queries.rows[i].size();
    PyRef matrix;
    if (queries.held.view().obj != nullptr) {
      Py_INCREF(argv[0]);
      matrix = PyRef(argv[0]);
    } else {
      std::vector<float> flat;
      for (const auto& row : queries.rows) flat.insert(flat.end(), row.begin(), row.end());
      matrix = PyRef(array_bytes(flat));
    }
    const std::optional<NonFinite> non_finite = first_non_finite(queries.rows);
    PyRef refused;
    if (non_finite) {
      const Error error = non_finite_error("query", non_finite->position, non_finite->value);
      refused = PyRef(Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(non_finite->row), error.message.data(),
                                    static_cast<Py_ssize_t>(error.message.size())));
    } else {
      Py_INCREF(Py_None);
      refused = PyRef(Py_None);
    }
    PyRef length_bytes(array_bytes(lengths));
    PyRef k_object(PyLong_FromUnsignedLongLong(k));
    PyRef filter(optional_text_object(filter_json));
    if (!matrix || !length_bytes || !k_object || !filter || !refused) return nullptr;
    return PyTuple_Pack(6, matrix.get(), length_bytes.get(), k_object.get(), filter.get(),
                        include_metadata ? Py_True : Py_False, refused.get());
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// convert_build_results(scored, include_metadata) -> (bytes, bytes, bool): the ids as
// native uint32 bytes and the scores, narrowed to float32 as the database narrows them,
// as native float32 bytes.
PyObject* convert_build_results(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  std::vector<ScoredId> scored;
  bool include_metadata = false;
  if (!bind_arguments(kConvertBuildResultsSignature, args, nargs, kwnames, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_scored(o, &scored); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_flag(o, &include_metadata); })) {
    return nullptr;
  }
  try {
    std::vector<uint32_t> ids(scored.size());
    std::vector<float> scores(scored.size());
    for (size_t i = 0; i < scored.size(); ++i) {
      ids[i] = scored[i].id;
      scores[i] = scored[i].score;
    }
    PyRef id_bytes(array_bytes(ids));
    PyRef score_bytes(array_bytes(scores));
    if (!id_bytes || !score_bytes) return nullptr;
    return PyTuple_Pack(3, id_bytes.get(), score_bytes.get(), include_metadata ? Py_True : Py_False);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// convert_delete(filter_json, strict) -> str: delete's conversion, then the parse that
// the filter engine runs first, so that a text that is not JSON raises the database's
// ValueError before any shard is asked anything: the parser's message, or for the
// strict language (the full kind) the message FullVendrelDB gives.
PyObject* convert_delete(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  std::string filter_json;
  bool strict = false;
  if (!bind_arguments(kConvertDeleteSignature, args, nargs, kwnames, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_json_text(o, "filter", &filter_json); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_flag(o, &strict); })) {
    return nullptr;
  }
  try {
    Result<JsonValue> parsed = parse_json(filter_json);
    if (!parsed.ok()) {
      raise_error(strict ? value_error("filter is not valid JSON: " + parsed.error().message) : parsed.error());
      return nullptr;
    }
    return text_object(filter_json);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// The first row whose metadata text add would refuse whatever the database holds: one
// that is not JSON (add fails after storing the vector and appending the text) or one
// that is too long for the metadata file (add fails before the append). `texts.size()`
// when every text would be accepted. The texts are parsed on the worker pool.
size_t first_unstorable_text(std::span<const std::string_view> texts) {
  std::vector<char> refused(texts.size(), 0);
  tbb::parallel_for(size_t{0}, texts.size(), [&](size_t row) {
    const std::string_view text = texts[row];
    refused[row] = text.size() >= kMetadataTextLimit || !parse_json(text).ok();
  });
  for (size_t row = 0; row < texts.size(); ++row) {
    if (refused[row]) return row;
  }
  return texts.size();
}

constexpr const char* kUnstorableNames[] = {"metadata_jsons"};
constexpr Signature kUnstorableSignature{"find_unstorable_text()", kUnstorableNames, 1};

// find_unstorable_text(metadata_jsons) -> int: the position of the first text add would
// refuse whatever the database holds (see first_unstorable_text), or the number of texts.
// The client runs it on each round of add_many's rows before sending the round, so that
// the parse overlaps the shards' work on the rounds before.
PyObject* find_unstorable_text(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1] = {};
  TextColumn texts;
  if (!bind_arguments(kUnstorableSignature, args, nargs, kwnames, argv) ||
      !convert_argument(argv[0], "metadata_jsons", convert_text_array, &texts)) {
    return nullptr;
  }
  // The parse reads the texts in place (their str objects are held and immutable) and
  // touches no Python object; an exception must not leave the thread state released,
  // so it is caught inside.
  size_t first = texts.size();
  bool parse_failed = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    first = first_unstorable_text(texts.views);
  } catch (...) {
    parse_failed = true;
  }
  Py_END_ALLOW_THREADS
  if (parse_failed) return PyErr_NoMemory();
  return PyLong_FromSize_t(first);
}

// convert_add_many(ids, vectors, metadata_jsons, ttls)
//   -> (ids, vectors, lengths, metadata_jsons, ttls, non_finite):
// add_many's conversions and column-length check, then
//   ids: native uint32 bytes;
//   vectors: the caller's own object when it is a 2-D float32 buffer whose rows are each
//     contiguous (held by the converter, not copied), else native float32 bytes of the
//     rows one after another;
//   lengths: native uint64 bytes, each row's length;
//   metadata_jsons: a list of str; ttls: a list of int | None, or None when not given;
//   non_finite: None, or (row, message) for the first row holding a NaN or an
//     infinity, which the database refuses before storing anything of it, or whose
//     text conversion raised a ValueError (its text is then "", as are the later
//     ones'), with that exception as a third item.
// The texts are not parsed here: see find_unstorable_text.
PyObject* convert_add_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4] = {};
  BatchArguments rows;
  std::optional<plus::RowRefusal> refused_text;
  if (!bind_arguments(kConvertAddManySignature, args, nargs, kwnames, argv) ||
      !convert_plus(argv[0], [&](PyObject* o) { return plus::to_ids(o, &rows.ids); }) ||
      !convert_plus(argv[1], [&](PyObject* o) { return plus::to_vectors(o, "row", &rows.vectors); }) ||
      !convert_plus(argv[2],
                    [&](PyObject* o) { return plus::to_json_texts(o, &rows.metadata_jsons, &refused_text); }) ||
      !convert_plus(argv[3], [&](PyObject* o) { return plus::to_optional_ttls(o, &rows.ttls); })) {
    return nullptr;
  }
  const bool ttls_given = argv[3] != nullptr && argv[3] != Py_None;
  if (!rows.check_lengths(ttls_given)) return nullptr;
  try {
    const size_t count = rows.ids.size();
    std::vector<uint64_t> lengths(count);
    size_t total = 0;
    for (size_t row = 0; row < count; ++row) {
      lengths[row] = rows.vectors.rows[row].size();
      total += rows.vectors.rows[row].size();
    }
    PyRef vectors;
    if (rows.vectors.held.view().obj != nullptr) {
      Py_INCREF(argv[1]);
      vectors = PyRef(argv[1]);
    } else {
      std::vector<float> flat;
      flat.reserve(total);
      for (const auto& row : rows.vectors.rows) flat.insert(flat.end(), row.begin(), row.end());
      vectors = PyRef(array_bytes(flat));
    }
    PyRef texts(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!texts) return nullptr;
    for (size_t row = 0; row < count; ++row) {
      PyObject* text = rows.metadata_jsons.owners[row].get();
      Py_INCREF(text);
      PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(row), text);
    }
    PyRef ttls;
    if (ttls_given) {
      ttls = PyRef(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!ttls) return nullptr;
      for (size_t row = 0; row < count; ++row) {
        PyObject* ttl = optional_i64_object(rows.ttls[row]);
        if (ttl == nullptr) return nullptr;
        PyList_SET_ITEM(ttls.get(), static_cast<Py_ssize_t>(row), ttl);
      }
    } else {
      Py_INCREF(Py_None);
      ttls = PyRef(Py_None);
    }
    // The check reads the rows in place and touches no Python object; an exception must
    // not leave the thread state released, so it is caught inside.
    std::optional<NonFinite> non_finite;
    bool check_failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
      non_finite = first_non_finite(rows.vectors.rows);
    } catch (...) {
      check_failed = true;
    }
    Py_END_ALLOW_THREADS
    if (check_failed) return PyErr_NoMemory();
    PyRef refused;
    if (refused_text && (!non_finite || refused_text->row < non_finite->row)) {
      refused = PyRef(Py_BuildValue("(nNO)", static_cast<Py_ssize_t>(refused_text->row),
                                    PyObject_Str(refused_text->error.get()), refused_text->error.get()));
    } else if (non_finite) {
      const Error error = row_error(non_finite->row, non_finite_error("vector", non_finite->position, non_finite->value));
      refused = PyRef(Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(non_finite->row), error.message.data(),
                                    static_cast<Py_ssize_t>(error.message.size())));
    } else {
      Py_INCREF(Py_None);
      refused = PyRef(Py_None);
    }
    PyRef ids(array_bytes(rows.ids));
    PyRef length_bytes(array_bytes(lengths));
    if (!ids || !vectors || !length_bytes || !refused) return nullptr;
    return PyTuple_Pack(6, ids.get(), vectors.get(), length_bytes.get(), texts.get(), ttls.get(), refused.get());
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// raise_panic(message): raises this module's PanicException, so that a shard's internal
// failure reaches the client as the class the shard's database raised.
PyObject* raise_panic_exception(PyObject* /*module*/, PyObject* message) {
  std::string text;
  if (!convert_argument(message, "message", convert_text, &text)) return nullptr;
  raise_panic(text);
  return nullptr;
}

// ---- The shard process's worker pool -------------------------------------------------

// The cap set by cap_worker_threads; the interpreter lock serialises the calls that
// replace it. Never destroyed: oneTBB may still be running work at interpreter exit.
std::optional<tbb::global_control>* worker_cap = new std::optional<tbb::global_control>();

// cap_worker_threads(threads) -> int: caps this process's worker pool (the calling thread
// included) at `threads`, or lifts the cap with 0; returns the parallelism now in effect.
// The pool is sized to the machine's cores, one pool per process: shards sharing a
// machine would otherwise run more threads than it has cores.
PyObject* cap_worker_threads(PyObject* /*module*/, PyObject* argument) {
  uint64_t threads = 0;
  if (!convert_argument(argument, "threads", convert_u64, &threads)) return nullptr;
  try {
    worker_cap->reset();
    if (threads > 0) {
      const size_t capped = static_cast<size_t>(std::min<uint64_t>(threads, SIZE_MAX));
      worker_cap->emplace(tbb::global_control::max_allowed_parallelism, capped);
    }
    return PyLong_FromSize_t(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

PyMethodDef shard_functions[] = {
    {"id_bound", id_bound, METH_O, "id_bound(db)\n--\n\nOne more than the highest id the database has added."},
    {"dimension", dimension, METH_O, "dimension(db)\n--\n\nThe length of the database's vectors (0: not fixed yet)."},
    {"quantized", quantized, METH_O, "quantized(db)\n--\n\nWhether the database scores quantization codes."},
    {"filter_decides", as_cfunction(filter_decides), METH_FASTCALL | METH_KEYWORDS,
     "filter_decides(db, filter_json)\n--\n\nWhether the database's indexes decide the filter."},
    {"convert_add", as_cfunction(convert_add), METH_FASTCALL | METH_KEYWORDS,
     "convert_add(internal_id, vector, metadata_json, ttl)\n--\n\n"
     "add's argument conversions; the vector as float32 bytes."},
    {"convert_search", as_cfunction(convert_search), METH_FASTCALL | METH_KEYWORDS,
     "convert_search(query, k, filter_json, include_metadata)\n--\n\n"
     "search's argument conversions; the query as float32 bytes."},
    {"convert_search_many", as_cfunction(convert_search_many), METH_FASTCALL | METH_KEYWORDS,
     "convert_search_many(queries, k, filter_json, include_metadata)\n--\n\n"
     "search_many's argument conversions; the queries as a 2-D float32 array or bytes."},
    {"convert_build_results", as_cfunction(convert_build_results), METH_FASTCALL | METH_KEYWORDS,
     "convert_build_results(scored, include_metadata)\n--\n\n"
     "build_results' argument conversions; ids as uint32 bytes, scores as float32 bytes."},
    {"convert_delete", as_cfunction(convert_delete), METH_FASTCALL | METH_KEYWORDS,
     "convert_delete(filter_json)\n--\n\ndelete's argument conversion and the filter's JSON syntax check."},
    {"convert_add_many", as_cfunction(convert_add_many), METH_FASTCALL | METH_KEYWORDS,
     "convert_add_many(ids, vectors, metadata_jsons, ttls)\n--\n\nadd_many's argument conversions."},
    {"find_unstorable_text", as_cfunction(find_unstorable_text), METH_FASTCALL | METH_KEYWORDS,
     "find_unstorable_text(metadata_jsons)\n--\n\n"
     "The position of the first text add would refuse whatever the database holds, or len(metadata_jsons)."},
    {"cap_worker_threads", cap_worker_threads, METH_O,
     "cap_worker_threads(threads)\n--\n\nCaps this process's worker pool at `threads` (0: no cap); "
     "returns the parallelism in effect."},
    {"raise_panic", raise_panic_exception, METH_O, "raise_panic(message)\n--\n\nRaises PanicException(message)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_shard_functions(PyObject* module, PyTypeObject* full, PyTypeObject* contract) {
  full_type = full;
  contract_type = contract;
  return PyModule_AddFunctions(module, shard_functions) == 0;
}

}  // namespace vendrel::py

"""Hostile inputs through the Python API: each case checks the error it must raise
(class and text) and that the database is left as it was (same count, same search
results, same metadata file), or, where the call is meant to succeed, that it does."""

import json
import math
import os
import re

import pytest

import vendrel

np = pytest.importorskip("numpy")

DEEP = 10**5
OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.fixture
def db(tmp_path):
    database = vendrel.VendrelDB(str(tmp_path / "db"))
    database.add(0, [1.0, 0.0], '{"name": "zero", "n": 0}')
    database.add(1, [0.0, 1.0], '{"name": "one", "n": 1}')
    return database


def metadata_size(tmp_path):
    return (tmp_path / "db" / "metadata.bin").stat().st_size


def snapshot(db, tmp_path):
    return (
        db.count(),
        metadata_size(tmp_path),
        db.search([1.0, 0.0], 10),
        db.search([1.0, 0.0], 10, '{"name": {"$eq": "one"}}'),
    )


def raises_exactly(error, message, call):
    """Runs `call`, which must raise exactly `error` with the text `message` (or a text
    matching the compiled pattern `message`)."""
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is error, repr(caught.value)
    if hasattr(message, "fullmatch"):
        assert message.fullmatch(str(caught.value)), str(caught.value)
    elif message is not None:
        assert str(caught.value) == message
    return caught.value


def nested_arrays(depth):
    return "[" * depth + "]" * depth


def nested_objects(depth):
    return '{"a":' * depth + "1" + "}" * depth


def nested_operators(depth):
    return '{"$and":[' * depth + "{}" + "]}" * depth


def nested_not(depth):
    return '{"$not":' * depth + '{"n":{"$eq":1}}' + "}" * depth


# ---- Filters: refused before anything changes ------------------------------------------


FILTER_CASES = [
    ("arrays nested 10^5 deep", nested_arrays(DEEP), re.compile(r"recursion limit exceeded at line 1 column 129")),
    ("objects nested 10^5 deep", nested_objects(DEEP), re.compile(r"recursion limit exceeded at line 1 column \d+")),
    ("$and nested 10^5 deep", nested_operators(DEEP), re.compile(r"recursion limit exceeded at line 1 column \d+")),
    ("$not nested 10^5 deep", nested_not(DEEP), re.compile(r"recursion limit exceeded at line 1 column \d+")),
    ("number beyond double range", '{"n": {"$gt": 1e400}}', re.compile(r"number out of range at line 1 column \d+")),
    ("negative number beyond range", '{"n": {"$lt": -1e400}}', re.compile(r"number out of range at line 1 column \d+")),
    ("lone surrogate escape", '{"name": {"$eq": "\\ud800"}}', re.compile(r".* at line 1 column \d+")),
    ("truncated text", '{"name": {"$eq": "one"', re.compile(r".* at line 1 column \d+")),
    ("nul byte", '{"name"\x00: 1}', re.compile(r".* at line 1 column \d+")),
    ("empty text", "", re.compile(r".* at line 1 column \d+")),
]


@pytest.mark.parametrize("text, message", [case[1:] for case in FILTER_CASES], ids=[c[0] for c in FILTER_CASES])
@pytest.mark.parametrize("method", ["search", "delete"])
def test_hostile_filters_are_refused_and_change_nothing(db, tmp_path, method, text, message):
    before = snapshot(db, tmp_path)
    if method == "search":
        raises_exactly(ValueError, message, lambda: db.search([1.0, 0.0], 5, text))
    else:
        raises_exactly(ValueError, message, lambda: db.delete(text))
    assert snapshot(db, tmp_path) == before


def test_nesting_just_below_the_limit_is_accepted(db):
    assert db.delete(nested_not(100)) in (0, 1, 2)  # evaluated, not refused
    assert db.search([1.0, 0.0], 5, nested_operators(60), False) is not None


# ---- Metadata: refused by the parser after the text is stored --------------------------
# add is not transactional: the metadata text is appended and the id becomes a document
# before the text is parsed; a refused text is stored but indexes nothing.

METADATA_CASES = [
    ("arrays nested 10^5 deep", nested_arrays(DEEP), re.compile(r"recursion limit exceeded at line 1 column 129")),
    ("objects nested 10^5 deep", nested_objects(DEEP), re.compile(r"recursion limit exceeded at line 1 column \d+")),
    ("number beyond double range", '{"n": 1e400}', re.compile(r"number out of range at line 1 column 7")),
    ("lone surrogate escape", '{"name": "\\udc00"}', re.compile(r".*surrogate.* at line 1 column \d+")),
]


@pytest.mark.parametrize("text, message", [case[1:] for case in METADATA_CASES], ids=[c[0] for c in METADATA_CASES])
def test_hostile_metadata_is_refused_and_indexes_nothing(db, tmp_path, text, message):
    size = metadata_size(tmp_path)
    raises_exactly(ValueError, message, lambda: db.add(2, [1.0, 1.0], text))
    assert metadata_size(tmp_path) == size + len(text.encode())
    assert db.count() == 3
    # The refused text indexed nothing: no field filter selects the id.
    assert db.search([1.0, 1.0], 5, '{"n": {"$exists": true}}', False)[-1][0] != 2
    assert {hit[0] for hit in db.search([1.0, 1.0], 5, '{"name": {"$exists": true}}', False)} == {0, 1}
    # And the database goes on working.
    db.add(3, [1.0, 1.0], '{"name": "three"}')
    assert [hit[0] for hit in db.search([1.0, 1.0], 5, '{"name": {"$eq": "three"}}', False)] == [3]


# ---- Strings that cannot be UTF-8 -------------------------------------------------------

SURROGATE_CALLS = [
    ("metadata", lambda db: db.add(2, [1.0, 0.0], '{"name": "\ud800"}')),
    ("metadata, low surrogate", lambda db: db.add(2, [1.0, 0.0], "\udfff")),
    ("search filter", lambda db: db.search([1.0, 0.0], 1, '{"name": {"$eq": "\udc80"}}')),
    ("delete filter", lambda db: db.delete('{"name": {"$eq": "\ud83d"}}')),
]


@pytest.mark.parametrize("call", [c[1] for c in SURROGATE_CALLS], ids=[c[0] for c in SURROGATE_CALLS])
def test_lone_surrogates_in_text_arguments_raise_unicode_encode_error(db, tmp_path, call):
    before = snapshot(db, tmp_path)
    error = raises_exactly(UnicodeEncodeError, None, lambda: call(db))
    assert "surrogates not allowed" in str(error)
    assert snapshot(db, tmp_path) == before


def test_lone_surrogate_in_the_path_creates_nothing(tmp_path):
    raises_exactly(UnicodeEncodeError, None, lambda: vendrel.VendrelDB(str(tmp_path) + "/\udcff"))
    assert os.listdir(tmp_path) == []


# ---- NaN and infinities ------------------------------------------------------------------

NON_FINITE = [float("nan"), float("inf"), float("-inf"), 1e400, -1e400]


@pytest.mark.parametrize("value", NON_FINITE, ids=["nan", "inf", "-inf", "1e400", "-1e400"])
def test_non_finite_components_in_vectors_and_queries_do_not_crash(db, value):
    db.add(2, [value, 1.0], '{"name": "odd"}')
    db.add(3, [value, value], "{}")
    assert db.count() == 4
    for query in ([1.0, 0.0], [value, 0.0], [value, value]):
        hits = db.search(query, 10)
        assert sorted(hit[0] for hit in hits) == [0, 1, 2, 3]
        # Numbers rank before NaN scores.
        scores = [hit[1] for hit in hits]
        numeric = [s for s in scores if not math.isnan(s)]
        assert scores[: len(numeric)] == sorted(numeric, reverse=True)
    # Finite queries still rank finite documents correctly.
    assert db.search([1.0, 0.0], 1, '{"name": {"$eq": "zero"}}')[0][0] == 0
    assert db.delete('{"name": {"$eq": "odd"}}') == 1
    assert db.count() == 3


def test_non_finite_vectors_survive_the_quantization_switch(tmp_path, capfd):
    db = vendrel.VendrelDB(str(tmp_path / "big"))
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((5001, 8)).astype(np.float32)
    vectors[::97, 3] = np.nan
    vectors[::89, 5] = np.inf
    for doc_id, vector in enumerate(vectors):
        db.add(doc_id, vector, "{}")
    assert capfd.readouterr().out == "Activating quantization at 5000 vectors...\n"
    for query in (vectors[1], np.full(8, np.nan, dtype=np.float32), np.full(8, -np.inf, dtype=np.float32)):
        hits = db.search(query, 20, None, False)
        assert len(hits) == 20
        assert all(0 <= hit[0] < 5001 for hit in hits)


# ---- Sizes --------------------------------------------------------------------------------


def test_a_million_component_vector_fixes_the_dimension(tmp_path):
    db = vendrel.VendrelDB(str(tmp_path / "wide"))
    wide = np.linspace(-1.0, 1.0, 10**6, dtype=np.float32)
    db.add(0, wide, '{"w": 1}')
    db.add(1, list(wide[::-1]), "{}")
    size = (tmp_path / "wide" / "metadata.bin").stat().st_size
    raises_exactly(ValueError, "Dimension mismatch: expected 1000000, got 999999", lambda: db.add(2, wide[1:], "{}"))
    raises_exactly(ValueError, "Dimension mismatch: expected 1000000, got 2", lambda: db.add(2, [1.0, 0.0], "{}"))
    assert db.count() == 2
    assert (tmp_path / "wide" / "metadata.bin").stat().st_size == size
    hits = db.search(wide, 2, None, False)
    assert hits[0][0] == 0 and hits[0][1] == pytest.approx(1.0, abs=1e-5)
    # Shorter and longer queries compare over the common prefix; nothing reads past a vector.
    assert len(db.search([1.0, 0.5], 2)) == 2
    assert len(db.search(np.ones(2 * 10**6, dtype=np.float32), 2)) == 2


def test_largest_k_works_and_one_more_overflows(db, tmp_path):
    before = snapshot(db, tmp_path)
    assert [hit[0] for hit in db.search([1.0, 0.0], 2**64 - 1, None, False)] == [0, 1]
    assert len(db.search([1.0, 0.0], 2**64 - 1, '{"n": {"$gt": -1}}', False)) == 2
    raises_exactly(OverflowError, None, lambda: db.search([1.0, 0.0], 2**64))
    raises_exactly(OverflowError, None, lambda: db.search([1.0, 0.0], 2**200))
    raises_exactly(OverflowError, None, lambda: db.search([1.0, 0.0], -1))
    assert snapshot(db, tmp_path) == before


def test_k_zero_returns_nothing(db):
    assert db.search([1.0, 0.0], 0) == []


@pytest.mark.parametrize("doc_id", [2**32, 2**64, -1, -(2**70)])
def test_ids_outside_32_bits_overflow_and_change_nothing(db, tmp_path, doc_id):
    before = snapshot(db, tmp_path)
    error = raises_exactly(OverflowError, None, lambda: db.add(doc_id, [1.0, 0.0], "{}"))
    if -1 <= doc_id <= 2**32:
        assert str(error) == OUT_OF_RANGE
    assert snapshot(db, tmp_path) == before


# ---- ttl ----------------------------------------------------------------------------------


@pytest.mark.parametrize("ttl", [-1, -(10**9), -(2**63), -(2**62)])
def test_negative_ttl_is_accepted(db, ttl):
    db.add(2, [1.0, 1.0], "{}", ttl)
    # The expiry time is the unsigned 64-bit sum now + ttl: a small negative ttl lies in
    # the past, one below -now wraps around into the far future.
    expected = 3 if ttl < -(2**40) else 2
    assert db.count() == expected
    db.clean_expired()
    assert db.count() == expected


@pytest.mark.parametrize("ttl", [2**63 - 1, 2**62, 10**12])
def test_huge_ttl_is_accepted_and_keeps_the_document(db, ttl):
    db.add(2, [1.0, 1.0], "{}", ttl)
    db.clean_expired()
    assert db.count() == 3
    assert 2 in {hit[0] for hit in db.search([1.0, 1.0], 5, None, False)}


@pytest.mark.parametrize("ttl", [2**63, -(2**63) - 1, 10**30])
def test_ttl_outside_64_bits_overflows_and_changes_nothing(db, tmp_path, ttl):
    before = snapshot(db, tmp_path)
    raises_exactly(OverflowError, None, lambda: db.add(2, [1.0, 1.0], "{}", ttl))
    assert snapshot(db, tmp_path) == before


# ---- Objects whose conversion raises ------------------------------------------------------


class Boom(Exception):
    pass


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


RAISING_CALLS = [
    ("vector item __float__", "vector", lambda db, item: db.add(2, [1.0, FloatRaises(item)], "{}")),
    ("query item __float__", "query", lambda db, item: db.search([FloatRaises(item), 1.0], 1)),
    ("internal_id __index__", "internal_id", lambda db, item: db.add(IndexRaises(item), [1.0, 0.0], "{}")),
    ("ttl __index__", "ttl", lambda db, item: db.add(2, [1.0, 0.0], "{}", IndexRaises(item))),
    ("k __index__", "k", lambda db, item: db.search([1.0, 0.0], IndexRaises(item))),
    ("scored id __index__", "scored", lambda db, item: db.build_results([(IndexRaises(item), 0.5)], True)),
    ("scored score __float__", "scored", lambda db, item: db.build_results([(0, FloatRaises(item))], True)),
]


@pytest.mark.parametrize("call", [c[2] for c in RAISING_CALLS], ids=[c[0] for c in RAISING_CALLS])
@pytest.mark.parametrize("error_type", [Boom, ZeroDivisionError, MemoryError, KeyboardInterrupt, OverflowError])
def test_other_exceptions_from_conversion_propagate_unchanged(db, tmp_path, call, error_type):
    before = snapshot(db, tmp_path)
    raised = error_type("raised by the object")
    with pytest.raises(BaseException) as caught:
        call(db, raised)
    assert caught.value is raised
    assert snapshot(db, tmp_path) == before


@pytest.mark.parametrize("name, call", [(c[1], c[2]) for c in RAISING_CALLS], ids=[c[0] for c in RAISING_CALLS])
def test_type_errors_from_conversion_name_the_argument(db, tmp_path, name, call):
    before = snapshot(db, tmp_path)
    raised = TypeError("not today")
    error = raises_exactly(TypeError, f"argument '{name}': not today", lambda: call(db, raised))
    assert error is not raised
    assert snapshot(db, tmp_path) == before


# ---- Calling back into the same database -------------------------------------------------


class CallsBack:
    def __init__(self, action):
        self.action = action
        self.caught = []

    def __float__(self):
        try:
            self.action()
        except RuntimeError as error:
            self.caught.append(str(error))
            raise
        return 0.5

    def __index__(self):
        self.__float__()
        return 2


def test_add_reentered_from_its_vector_is_refused(db, tmp_path):
    before = snapshot(db, tmp_path)
    item = CallsBack(lambda: db.add(5, [1.0, 1.0], "{}"))
    raises_exactly(RuntimeError, "Already borrowed", lambda: db.add(2, [item, 1.0], "{}"))
    assert item.caught == ["Already borrowed"]
    assert snapshot(db, tmp_path) == before


@pytest.mark.parametrize(
    "inner",
    [
        lambda db: db.search([1.0, 0.0], 1),
        lambda db: db.count(),
        lambda db: db.delete('{"name": {"$eq": "one"}}'),
        lambda db: db.clean_expired(),
        lambda db: db.build_results([(0, 0.5)], True),
    ],
    ids=["search", "count", "delete", "clean_expired", "build_results"],
)
def test_readers_called_back_during_add_are_refused(db, tmp_path, inner):
    before = snapshot(db, tmp_path)
    item = CallsBack(lambda: inner(db))
    raises_exactly(RuntimeError, "Already mutably borrowed", lambda: db.add(2, [item, 1.0], "{}", ttl=item))
    assert snapshot(db, tmp_path) == before


def test_add_called_back_during_a_search_is_refused(db, tmp_path):
    before = snapshot(db, tmp_path)
    item = CallsBack(lambda: db.add(5, [1.0, 1.0], "{}"))
    raises_exactly(RuntimeError, "Already borrowed", lambda: db.search([item, 1.0], item))
    assert snapshot(db, tmp_path) == before


def test_readers_may_nest_inside_a_search(db):
    results = []
    item = CallsBack(lambda: results.append(db.search([1.0, 0.0], 1, None, False)))
    assert [hit[0] for hit in db.search([item, 0.0], 1, None, False)] == [0]
    assert results == [[(0, 1.0, "")]]


def test_deleting_during_a_search_conversion_is_seen_by_the_search(db):
    item = CallsBack(lambda: db.delete('{"name": {"$eq": "zero"}}'))
    assert [hit[0] for hit in db.search([item, 0.0], 5, None, False)] == [1]
    assert db.count() == 1


# ---- Iterables, generators and arrays ------------------------------------------------------


class OnlyIterable:
    def __iter__(self):
        return iter([1.0, 0.0])


NOT_SEQUENCES = [
    ("generator", lambda: (x for x in [1.0, 0.0]), "generator"),
    ("iterator", lambda: iter([1.0, 0.0]), "list_iterator"),
    ("set", lambda: {1.0, 0.0}, "set"),
    ("dict", lambda: {0: 1.0, 1: 0.0}, "dict"),
    ("dict keys view", lambda: {1.0: 0, 0.0: 1}.keys(), "dict_keys"),
    ("map object", lambda: map(float, [1, 0]), "map"),
    ("iterable class", OnlyIterable, "OnlyIterable"),
]


@pytest.mark.parametrize("make, type_name", [c[1:] for c in NOT_SEQUENCES], ids=[c[0] for c in NOT_SEQUENCES])
def test_iterables_that_are_not_sequences_are_refused(db, tmp_path, make, type_name):
    before = snapshot(db, tmp_path)
    expected = "argument '{}': '" + type_name + "' object cannot be converted to 'Sequence'"
    raises_exactly(TypeError, expected.format("vector"), lambda: db.add(2, make(), "{}"))
    raises_exactly(TypeError, expected.format("query"), lambda: db.search(make(), 1))
    raises_exactly(TypeError, expected.format("scored"), lambda: db.build_results(make(), True))
    assert snapshot(db, tmp_path) == before


class LyingSequence:
    """A sequence whose __len__ promises far more than it holds, or fails."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [2**62, 0, ValueError("no length")], ids=["huge", "zero", "raising"])
def test_sequences_with_lying_lengths_convert_by_iteration(db, length):
    db.add(2, LyingSequence([0.5, 0.5], length), "{}")
    assert db.count() == 3
    assert [hit[0] for hit in db.search(LyingSequence([0.5, 0.5], length), 1, None, False)] == [2]


@pytest.mark.parametrize("dtype", ["int32", "int64", "float16", "uint8", "bool", "float32", "float64", ">f4", ">f8"])
def test_numpy_arrays_of_any_dtype_give_the_same_results_as_lists(tmp_path, dtype):
    values = np.array([3, 1, 0, 2], dtype=dtype)
    as_list = [float(value) for value in values]
    first = vendrel.VendrelDB(str(tmp_path / "array"))
    second = vendrel.VendrelDB(str(tmp_path / "list"))
    for db, vector, query in ((first, values, values[::-1].copy()), (second, as_list, as_list[::-1])):
        db.add(0, vector, "{}")
        db.add(1, query, "{}")
    assert first.search(values, 2) == second.search(as_list, 2)


@pytest.mark.parametrize(
    "make_view",
    [
        lambda base: base[::2],
        lambda base: base[::-1],
        lambda base: base[1::3],
        lambda base: np.asfortranarray(base.reshape(4, 6))[0, :],
        lambda base: base.reshape(6, 4)[:, 1],
        lambda base: base.astype(np.float64)[::2],
    ],
    ids=["step 2", "reversed", "offset step 3", "fortran row", "row-major column", "float64 step 2"],
)
def test_non_contiguous_views_match_contiguous_copies(tmp_path, make_view):
    base = np.arange(1, 25, dtype=np.float32) / 7.0
    view = make_view(base)
    assert not view.flags["C_CONTIGUOUS"] or view.strides[0] != view.itemsize
    copy = np.ascontiguousarray(view)
    db_view = vendrel.VendrelDB(str(tmp_path / "view"))
    db_copy = vendrel.VendrelDB(str(tmp_path / "copy"))
    db_view.add(0, view, "{}")
    db_copy.add(0, copy, "{}")
    db_view.add(1, copy[::-1].copy(), "{}")
    db_copy.add(1, copy[::-1].copy(), "{}")
    assert db_view.search(view, 2) == db_copy.search(copy, 2)
    assert db_view.search(copy, 2) == db_copy.search(view, 2)


@pytest.mark.parametrize(
    "array",
    [np.ones((2, 2), dtype=np.float32), np.ones((1, 2), dtype=np.float64), np.ones((2, 1, 1), dtype=np.int32)],
    ids=["2x2 float32", "1x2 float64", "2x1x1 int32"],
)
def test_multi_dimensional_arrays_fail_item_conversion(db, tmp_path, array):
    before = snapshot(db, tmp_path)
    error = raises_exactly(TypeError, None, lambda: db.add(2, array, "{}"))
    assert str(error).startswith("argument 'vector': ")
    error = raises_exactly(TypeError, None, lambda: db.search(array, 1))
    assert str(error).startswith("argument 'query': ")
    assert snapshot(db, tmp_path) == before


def test_zero_dimensional_and_object_arrays(db, tmp_path):
    before = snapshot(db, tmp_path)
    raises_exactly(TypeError, None, lambda: db.add(2, np.float32(1.0), "{}"))
    raises_exactly(
        TypeError,
        "argument 'vector': must be real number, not str",
        lambda: db.add(2, np.array([1.0, "x"], dtype=object), "{}"),
    )
    assert snapshot(db, tmp_path) == before


def test_array_mutated_by_an_item_conversion_is_read_safely(db):
    # A list that shrinks while it is being converted: iteration stops early.
    values = [0.5, 0.5, 0.5, 0.5]

    class Shrinks:
        def __float__(self):
            del values[2:]
            return 0.5

    values[1] = Shrinks()
    db.add(2, values, "{}")
    assert db.count() == 3


def test_structured_and_byte_buffers_are_not_read_raw(db, tmp_path):
    before = snapshot(db, tmp_path)
    raises_exactly(
        TypeError,
        "argument 'vector': float() argument must be a string or a real number, not 'tuple'",
        lambda: db.add(2, np.zeros(2, dtype="f4,f4"), "{}"),
    )
    # bytes is a sequence of ints, never reinterpreted as float32 memory.
    raises_exactly(
        ValueError,
        "Dimension mismatch: expected 2, got 8",
        lambda: db.add(2, b"\x00\x00\x80\x3f\x00\x00\x00\x00", "{}"),
    )
    assert snapshot(db, tmp_path) == before
    # bytearray is a sequence of ints: read item by item, like a list of its bytes.
    db.add(2, bytearray(b"\x01\x02"), "{}")
    assert db.search([1.0, 2.0], 1, None, False)[0][0] == 2


def test_catalogue_leaves_the_database_consistent(db, tmp_path):
    """Every refused call of the catalogue in a row, then the database still answers."""
    for text, _ in [case[1:] for case in FILTER_CASES]:
        with pytest.raises(ValueError):
            db.delete(text)
    for _, call in SURROGATE_CALLS:
        with pytest.raises(UnicodeEncodeError):
            call(db)
    assert db.count() == 2
    assert json.loads(db.search([0.0, 1.0], 1)[0][2]) == {"name": "one", "n": 1}

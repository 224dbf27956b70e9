"""The Python surface of the module: registration, argument binding and conversion,
borrowing, result types and the mapping of failures to exceptions."""

import array
import collections
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import vendrel
from vendrel import VendrelDB

OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.fixture
def db(tmp_path):
    return VendrelDB(str(tmp_path / "db"))


def call(db, method, args, kwargs):
    if method == "__new__":
        return VendrelDB(*args, **kwargs)
    return getattr(db, method)(*args, **kwargs)


# ---- Module and class -------------------------------------------------------------


def test_module_exports_only_the_class():
    assert vendrel.__all__ == ["VendrelDB"]
    assert vendrel.__doc__ == ""
    assert [name for name in dir(vendrel) if not name.startswith("_")] == ["VendrelDB"]
    assert vendrel.VendrelDB.__module__ == "vendrel"


def test_class_documents_only_its_signature():
    assert VendrelDB.__text_signature__ == "(path)"
    assert VendrelDB.__doc__ is None
    assert str(inspect.signature(VendrelDB)) == "(path)"


@pytest.mark.parametrize(
    "name, signature",
    [
        ("add", "($self, internal_id, vector, metadata_json, ttl=None)"),
        ("search", "($self, query, k, filter_json=None, include_metadata=True)"),
        ("build_results", "($self, scored, include_metadata)"),
        ("delete", "($self, filter_json)"),
        ("count", "($self)"),
        ("clean_expired", "($self)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(VendrelDB, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Derived(VendrelDB):
            pass


def test_second_initialisation_in_one_process_is_refused():
    code = (
        "import sys, vendrel\n"
        "del sys.modules['vendrel']\n"
        "try:\n"
        "    import vendrel\n"
        "except ImportError:\n"
        "    sys.exit(0)\n"
        "sys.exit(1)\n"
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(vendrel.__file__)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    assert subprocess.run([sys.executable, "-c", code], env=env).returncode == 0


# ---- Argument binding -------------------------------------------------------------

BINDING_ERRORS = [
    ("add", (1, [0.0]), {}, "VendrelDB.add() missing 1 required positional argument: 'metadata_json'"),
    ("add", (1,), {}, "VendrelDB.add() missing 2 required positional arguments: 'vector' and 'metadata_json'"),
    (
        "add",
        (),
        {},
        "VendrelDB.add() missing 3 required positional arguments: 'internal_id', 'vector', and 'metadata_json'",
    ),
    (
        "add",
        (),
        {"vector": [0.0], "ttl": 1},
        "VendrelDB.add() missing 2 required positional arguments: 'internal_id' and 'metadata_json'",
    ),
    # Binding comes before conversion: the bad values are never looked at.
    ("add", ("x", "y"), {}, "VendrelDB.add() missing 1 required positional argument: 'metadata_json'"),
    ("add", (1, [0.0], "{}", 5, 6), {}, "VendrelDB.add() takes from 3 to 4 positional arguments but 5 were given"),
    (
        "add",
        (1, [0.0], "{}", 5, 6),
        {"colour": 1},
        "VendrelDB.add() takes from 3 to 4 positional arguments but 5 were given",
    ),
    ("add", (1, [0.0], "{}"), {"internal_id": 2}, "VendrelDB.add() got multiple values for argument 'internal_id'"),
    ("add", (1, [0.0], "{}"), {"colour": 1}, "VendrelDB.add() got an unexpected keyword argument 'colour'"),
    # Keywords are checked in the order given, and before missing arguments.
    ("add", (1,), {"colour": 1, "internal_id": 2}, "VendrelDB.add() got an unexpected keyword argument 'colour'"),
    ("add", (1,), {"internal_id": 2, "colour": 1}, "VendrelDB.add() got multiple values for argument 'internal_id'"),
    ("add", (), {"colour": 1}, "VendrelDB.add() got an unexpected keyword argument 'colour'"),
    ("search", (), {}, "VendrelDB.search() missing 2 required positional arguments: 'query' and 'k'"),
    (
        "search",
        ([0.0],),
        {"include_metadata": False},
        "VendrelDB.search() missing 1 required positional argument: 'k'",
    ),
    (
        "search",
        ([0.0], 1, None, True, 5),
        {},
        "VendrelDB.search() takes from 2 to 4 positional arguments but 5 were given",
    ),
    ("search", ([0.0], 1), {"k": 2}, "VendrelDB.search() got multiple values for argument 'k'"),
    ("search", ([0.0], 1), {"limit": 2}, "VendrelDB.search() got an unexpected keyword argument 'limit'"),
    (
        "build_results",
        ([],),
        {},
        "VendrelDB.build_results() missing 1 required positional argument: 'include_metadata'",
    ),
    (
        "build_results",
        ([], True, 1),
        {},
        "VendrelDB.build_results() takes 2 positional arguments but 3 were given",
    ),
    (
        "build_results",
        ([],),
        {"scored": [], "include_metadata": True},
        "VendrelDB.build_results() got multiple values for argument 'scored'",
    ),
    ("delete", (), {}, "VendrelDB.delete() missing 1 required positional argument: 'filter_json'"),
    ("delete", ("{}", "{}"), {}, "VendrelDB.delete() takes 1 positional arguments but 2 were given"),
    ("delete", (), {"filter": "{}"}, "VendrelDB.delete() got an unexpected keyword argument 'filter'"),
    ("__new__", (), {}, "VendrelDB.__new__() missing 1 required positional argument: 'path'"),
    ("__new__", ("a", "b"), {}, "VendrelDB.__new__() takes 1 positional arguments but 2 were given"),
    ("__new__", ("a",), {"path": "b"}, "VendrelDB.__new__() got multiple values for argument 'path'"),
    ("__new__", (), {"path": "a", "mode": 0o700}, "VendrelDB.__new__() got an unexpected keyword argument 'mode'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(tmp_path, monkeypatch, method, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    db = VendrelDB("db")
    with pytest.raises(TypeError) as caught:
        call(db, method, args, kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert sorted(os.listdir(tmp_path)) == ["db"]


@pytest.mark.parametrize("method", ["count", "clean_expired"])
def test_methods_without_parameters_refuse_arguments(db, method):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(db, method)(1)


def test_every_parameter_can_be_passed_by_keyword(tmp_path):
    db = VendrelDB(path=str(tmp_path / "db"))
    db.add(metadata_json='{"k": "two"}', vector=[1.0, 0.0], internal_id=2, ttl=None)
    hits = db.search(include_metadata=True, filter_json=None, k=1, query=[1.0, 0.0])
    assert [(hit_id, metadata) for hit_id, _, metadata in hits] == [(2, '{"k": "two"}')]
    assert db.build_results(include_metadata=False, scored=[(2, 0.5)]) == [(2, 0.5, "")]
    assert db.delete(filter_json='{"k": {"$eq": "two"}}') == 1


# ---- Argument conversion ----------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class SubTypeError(TypeError):
    pass


# None as the message: the interpreter's own error, only its class is fixed.
CONVERSION_ERRORS = [
    ("add", (-1, [0.0], "{}"), {}, OverflowError, OUT_OF_RANGE),
    ("add", (2**32, [0.0], "{}"), {}, OverflowError, OUT_OF_RANGE),
    ("add", (Index(2**32), [0.0], "{}"), {}, OverflowError, OUT_OF_RANGE),
    ("add", (2**63, [0.0], "{}"), {}, OverflowError, None),
    ("add", (1.5, [0.0], "{}"), {}, TypeError, "argument 'internal_id': 'float' object cannot be interpreted as an integer"),
    ("add", ("1", [0.0], "{}"), {}, TypeError, "argument 'internal_id': 'str' object cannot be interpreted as an integer"),
    ("add", (1, "abc", "{}"), {}, TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("add", (1, {0.0}, "{}"), {}, TypeError, "argument 'vector': 'set' object cannot be converted to 'Sequence'"),
    (
        "add",
        (1, (x for x in [0.0]), "{}"),
        {},
        TypeError,
        "argument 'vector': 'generator' object cannot be converted to 'Sequence'",
    ),
    ("add", (1, 5, "{}"), {}, TypeError, "argument 'vector': 'int' object cannot be converted to 'Sequence'"),
    ("add", (1, None, "{}"), {}, TypeError, "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'"),
    ("add", (1, {0: 0.0}, "{}"), {}, TypeError, "argument 'vector': 'dict' object cannot be converted to 'Sequence'"),
    ("add", (1, [0.0, "x"], "{}"), {}, TypeError, "argument 'vector': must be real number, not str"),
    ("add", (1, [0.0, None], "{}"), {}, TypeError, "argument 'vector': must be real number, not NoneType"),
    ("add", (1, [0.0], 5), {}, TypeError, "argument 'metadata_json': 'int' object cannot be converted to 'PyString'"),
    ("add", (1, [0.0], b"{}"), {}, TypeError, "argument 'metadata_json': 'bytes' object cannot be converted to 'PyString'"),
    ("add", (1, [0.0], "\ud800"), {}, UnicodeEncodeError, None),
    ("add", (1, [0.0], "{}", "5"), {}, TypeError, "argument 'ttl': 'str' object cannot be interpreted as an integer"),
    ("add", (1, [0.0], "{}", 1.5), {}, TypeError, "argument 'ttl': 'float' object cannot be interpreted as an integer"),
    ("add", (1, [0.0], "{}", 2**63), {}, OverflowError, None),
    # Parameters are converted in declaration order; the first failure is reported.
    ("add", (-1, "abc", 5), {}, OverflowError, OUT_OF_RANGE),
    ("add", (1, "abc", 5), {}, TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("search", ("abc", 1), {}, TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    ("search", (7, 1), {}, TypeError, "argument 'query': 'int' object cannot be converted to 'Sequence'"),
    ("search", ([0.0], -1), {}, OverflowError, None),
    ("search", ([0.0], 2**64), {}, OverflowError, None),
    ("search", ([0.0], 1.0), {}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("search", ([0.0], 1, 5), {}, TypeError, "argument 'filter_json': 'int' object cannot be converted to 'PyString'"),
    ("search", ([0.0], 1, "\udcff"), {}, UnicodeEncodeError, None),
    (
        "search",
        ([0.0], 5, None, None),
        {},
        TypeError,
        "argument 'include_metadata': 'NoneType' object cannot be converted to 'PyBool'",
    ),
    (
        "search",
        ([0.0], 5),
        {"include_metadata": 1},
        TypeError,
        "argument 'include_metadata': 'int' object cannot be converted to 'PyBool'",
    ),
    ("build_results", ([(1, 0.5, 7)], True), {}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("build_results", ([(1, 0.5), (1,)], True), {}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (
        "build_results",
        ([[1, 0.5]], True),
        {},
        TypeError,
        "argument 'scored': 'list' object cannot be converted to 'PyTuple'",
    ),
    ("build_results", ([(-1, 0.5)], True), {}, OverflowError, OUT_OF_RANGE),
    ("build_results", ([(2**32, 0.5)], True), {}, OverflowError, OUT_OF_RANGE),
    (
        "build_results",
        ([(1.5, 0.5)], True),
        {},
        TypeError,
        "argument 'scored': 'float' object cannot be interpreted as an integer",
    ),
    ("build_results", ([(1, "x")], True), {}, TypeError, "argument 'scored': must be real number, not str"),
    ("build_results", ("ab", True), {}, TypeError, "argument 'scored': Can't extract `str` to `Vec`"),
    ("build_results", (7, True), {}, TypeError, "argument 'scored': 'int' object cannot be converted to 'Sequence'"),
    (
        "build_results",
        ([], 0),
        {},
        TypeError,
        "argument 'include_metadata': 'int' object cannot be converted to 'PyBool'",
    ),
    ("delete", (5,), {}, TypeError, "argument 'filter_json': 'int' object cannot be converted to 'PyString'"),
    ("delete", (None,), {}, TypeError, "argument 'filter_json': 'NoneType' object cannot be converted to 'PyString'"),
    ("__new__", (5,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (
        "__new__",
        (pathlib.PurePosixPath("db2"),),
        {},
        TypeError,
        "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'",
    ),
    ("__new__", ("\ud800",), {}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("method, args, kwargs, error, message", CONVERSION_ERRORS)
def test_conversion_errors(tmp_path, monkeypatch, method, args, kwargs, error, message):
    monkeypatch.chdir(tmp_path)
    db = VendrelDB("db")
    with pytest.raises(error) as caught:
        call(db, method, args, kwargs)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    else:
        assert not str(caught.value).startswith("argument ")
    assert os.listdir(tmp_path) == ["db"]
    assert os.listdir(tmp_path / "db") == []


def test_type_error_from_an_item_names_the_argument_and_keeps_its_cause(db):
    cause = KeyError("where it started")

    class NoFloat:
        def __float__(self):
            raise TypeError("no float here") from cause

    with pytest.raises(TypeError) as caught:
        db.add(1, [NoFloat()], "{}")
    assert type(caught.value) is TypeError
    assert str(caught.value) == "argument 'vector': no float here"
    assert caught.value.__cause__ is cause

    with pytest.raises(TypeError) as caught:
        db.build_results([(1, 0.5), (2, "x")], False)
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("error", [ValueError("bad value"), SubTypeError("a narrower type error"), KeyError(3)])
def test_other_errors_from_an_item_pass_unchanged(db, error):
    class Raising:
        def __float__(self):
            raise error

    with pytest.raises(type(error)) as caught:
        db.search([0.5, Raising()], 3)
    assert caught.value is error


def test_scores_convert_through_float_and_narrow_to_float32(db):
    np = pytest.importorskip("numpy")
    scored = [(0, 1), (1, True), (2, Real(0.5)), (3, 0.1), (4, 1e39), (5, -1e-50), (6, np.float64(2.5))]
    assert db.build_results(scored, False) == [
        (0, 1.0, ""),
        (1, 1.0, ""),
        (2, 0.5, ""),
        (3, float(np.float32(0.1)), ""),
        (4, float("inf"), ""),
        (5, -0.0, ""),
        (6, 2.5, ""),
    ]


def test_ids_accept_the_whole_unsigned_32_bit_range_and_index_objects(db):
    Point = collections.namedtuple("Point", "id score")
    scored = [(0, 1.0), Point(4294967295, 2.0), (Index(7), 3.0), (True, 4.0)]
    assert db.build_results(scored, False) == [(0, 1.0, ""), (4294967295, 2.0, ""), (7, 3.0, ""), (1, 4.0, "")]


class LyingLength(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


@pytest.mark.parametrize("length", [ValueError("no length"), 0, 2**40, sys.maxsize])
def test_a_wrong_length_does_not_stop_conversion(db, length):
    scored = LyingLength([(1, 0.5), (2, 1.5)], length)
    assert db.build_results(scored, False) == [(1, 0.5, ""), (2, 1.5, "")]
    db.add(3, LyingLength([1.0, 2.0], length), "{}")
    assert db.count() == 4


def test_accepted_argument_forms(db):
    class Text(str):
        pass

    db.add(Index(3), range(2), Text('{"n": "three"}'), Index(3600))
    db.add(True, (1.0, 0.0), '{"n": "one"}', ttl=None)
    assert db.count() == 4
    hits = db.search(memoryview(array.array("d", [0.0, 1.0])), Index(4), Text('{"n": {"$eq": "three"}}'), False)
    assert [(hit_id, metadata) for hit_id, _, metadata in hits] == [(3, "")]
    assert db.delete(Text('{"n": {"$eq": "one"}}')) == 1


def test_metadata_text_round_trips_as_utf8(db):
    text = '{"name": "caf\u00e9 \u2615 \U0001d11e", "nul": "a\\u0000b"}'
    db.add(0, [1.0, 0.0], text)
    assert db.build_results([(0, 0.25)], True) == [(0, 0.25, text)]
    assert db.search([1.0, 0.0], 1)[0][2] == text


def test_result_types(db):
    db.add(3, [1.0, 0.0], '{"k": "v"}')
    hits = db.search([1.0, 0.0], 5)
    assert type(hits) is list and len(hits) == 1
    hit_id, score, metadata = hits[0]
    assert type(hits[0]) is tuple
    assert (type(hit_id), type(score), type(metadata)) == (int, float, str)
    assert (hit_id, metadata) == (3, '{"k": "v"}')
    assert db.search([1.0, 0.0], 5, None) == db.search([1.0, 0.0], 5) == db.search([1.0, 0.0], 5, include_metadata=True)
    assert db.add(4, [0.0, 1.0], "{}") is None
    assert db.clean_expired() is None
    assert type(db.count()) is int
    assert db.delete('{"k": {"$eq": "v"}}') == 1


# ---- NumPy arrays ------------------------------------------------------------------

VALUES = [0.1, -2.5, 1e-40, 123456.789, 3.0]


def numpy_cases():
    np = pytest.importorskip("numpy")
    spaced = np.zeros(2 * len(VALUES))
    spaced[::2] = VALUES
    return {
        "float32": np.array(VALUES, dtype=np.float32),
        "float64": np.array(VALUES, dtype=np.float64),
        "big-endian float32": np.array(VALUES, dtype=">f4"),
        "strided float64 view": spaced[::2],
        "int32": np.array([1, -2, 3, 40, 5], dtype=np.int32),
        "float16": np.array(VALUES[:2] + [0.0, 1.0, 3.0], dtype=np.float16),
        "array.array float32": array.array("f", VALUES),
        "memoryview float64": memoryview(array.array("d", VALUES)),
    }


@pytest.mark.parametrize(
    "case",
    [
        "float32",
        "float64",
        "big-endian float32",
        "strided float64 view",
        "int32",
        "float16",
        "array.array float32",
        "memoryview float64",
    ],
)
def test_arrays_convert_like_lists_of_their_items(db, case):
    vector = numpy_cases()[case]
    as_list = [float(item) for item in vector]
    db.add(0, vector, "{}")
    db.add(1, as_list, "{}")
    scores = {hit_id: score for hit_id, score, _ in db.search(as_list, 2, include_metadata=False)}
    assert scores[0] == scores[1]
    assert db.search(vector, 2) == db.search(as_list, 2)


def test_arrays_of_other_shapes_are_read_item_by_item(db):
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        db.search(np.ones((2, 2), dtype=np.float32), 1)
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        db.search(np.array(1.0, dtype=np.float32), 1)
    with pytest.raises(TypeError, match=r"^argument 'vector': must be real number, not str$"):
        db.add(0, np.array([1.0, "x"], dtype=object), "{}")
    assert db.count() == 0


# ---- Borrowing ---------------------------------------------------------------------


def make_reentrant_item(action):
    class Reentrant:
        def __float__(self):
            action()
            return 1.0

        def __index__(self):
            action()
            return 0

    return Reentrant()


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("add", "count", "Already mutably borrowed"),
        ("add", "search", "Already mutably borrowed"),
        ("add", "delete", "Already mutably borrowed"),
        ("add", "add", "Already borrowed"),
        ("search", "add", "Already borrowed"),
        ("build_results", "add", "Already borrowed"),
        ("search", "count", None),
        ("build_results", "search", None),
    ],
)
def test_reentry_during_conversion(db, outer, inner, message):
    db.add(5, [1.0, 0.0], '{"k": 5}')
    inner_calls = {
        "count": lambda: db.count(),
        "search": lambda: db.search([1.0, 0.0], 1),
        "delete": lambda: db.delete('{"k": {"$eq": "none"}}'),
        "add": lambda: db.add(6, [0.0, 1.0], "{}"),
    }
    item = make_reentrant_item(inner_calls[inner])
    outer_calls = {
        "add": lambda: db.add(7, [item, 0.0], "{}"),
        "search": lambda: db.search([item, 0.0], 1),
        "build_results": lambda: db.build_results([(item, item)], False),
    }
    if message is None:
        outer_calls[outer]()
    else:
        with pytest.raises(RuntimeError) as caught:
            outer_calls[outer]()
        assert type(caught.value) is RuntimeError
        assert str(caught.value) == message
        assert db.count() == 6
    # Every borrow is released, on failure as on success.
    db.add(9, [0.5, 0.5], "{}")
    assert db.count() == 10
    assert [hit[0] for hit in db.search([1.0, 0.0], 1)] == [5]


def test_failed_conversion_in_add_changes_nothing(tmp_path):
    path = tmp_path / "db"
    db = VendrelDB(str(path))
    db.add(0, [1.0, 0.0], '{"a": 0}')
    before = (db.count(), db.search([1.0, 0.0], 10), (path / "metadata.bin").read_bytes())
    for args in [
        (2**32, [1.0, 0.0], '{"a": 1}'),
        (7, [1.0, "x"], '{"a": 1}'),
        (7, [1.0, 0.0], 5),
        (7, [1.0, 0.0], '{"a": 1}', "soon"),
    ]:
        with pytest.raises((TypeError, OverflowError)):
            db.add(*args)
        assert (db.count(), db.search([1.0, 0.0], 10), (path / "metadata.bin").read_bytes()) == before


# ---- Failures of the core ----------------------------------------------------------


@pytest.mark.parametrize(
    "failing_call",
    [
        lambda db: db.delete("{not json"),
        lambda db: db.search([1.0, 0.0], 3, "{not json"),
        lambda db: db.add(2, [1.0, 0.0, 0.0], "{}"),
    ],
    ids=["delete with a bad filter", "search with a bad filter", "add with another dimension"],
)
def test_core_errors_are_value_errors_and_leave_the_object_usable(db, failing_call):
    db.add(1, [1.0, 0.0], '{"k": 1}')
    with pytest.raises(ValueError) as caught:
        failing_call(db)
    assert type(caught.value) is ValueError
    assert str(caught.value)
    assert db.count() == 2
    db.add(3, [0.0, 1.0], "{}")
    assert db.count() == 4


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs a device that refuses writes")
def test_internal_failure_raises_panic_exception(db):
    # The add after id 4999 finds 5000 slots and switches on quantization, which first
    # prints a notice to file descriptor 1.
    db.add(4999, [1.0, 0.0], "{}")
    saved_stdout = os.dup(1)
    full = os.open("/dev/full", os.O_WRONLY)
    try:
        os.dup2(full, 1)
        with pytest.raises(BaseException) as caught:
            db.add(0, [0.0, 1.0], "{}")
    finally:
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
        os.close(full)

    panic = caught.type
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ and "BaseException" in panic.__doc__
    assert str(caught.value).startswith("failed printing to stdout: ")

    # The object stays usable, and a PanicException raised by Python code during a
    # conversion comes back unchanged.
    assert isinstance(db.count(), int)
    raised = panic("raised by Python")

    class Panicking:
        def __float__(self):
            raise raised

    with pytest.raises(panic) as again:
        db.search([Panicking(), 0.0], 1)
    assert again.value is raised
    assert isinstance(db.count(), int)

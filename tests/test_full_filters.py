"""FullVendrelDB's filter language: compared with a small model of MongoDB-style
matching on random documents and filters, and the messages of the filters it refuses."""

import json
import operator
import random

import pytest

from vendrel_plus import FullVendrelDB

# ---- The model ------------------------------------------------------------------------

STRINGS = ["red", "blue", "green", "true", "1", ""]
NUMBERS = [0, 1, 2, 2.5, 3, 3.0, -1, 7, 10.5]  # 3 and 3.0 are one value
VALUES = STRINGS + NUMBERS + [True, False]
COMMON = ["red", 1, 3.0, True]  # drawn more often, so that conditions often meet


def random_value(rng, extra=()):
    return rng.choice(COMMON) if rng.random() < 0.5 else rng.choice(VALUES + list(extra))
VALUED_PATHS = ["c", "n", "f", "u.age", "u.name"]
OTHER_PATHS = ["u", "z", "never"]  # an object, null, nothing
RANGES = {"$gt": operator.gt, "$gte": operator.ge, "$lt": operator.lt, "$lte": operator.le}


def flatten(document, prefix=""):
    """Path -> value; a nested object is present under its own path and gives its
    members dotted paths."""
    paths = {}
    for key, value in document.items():
        path = f"{prefix}.{key}" if prefix else key
        paths[path] = value
        if isinstance(value, dict):
            paths.update(flatten(value, path))
    return paths


def kind(value):
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return None  # null and objects: present, equal to nothing


def equal(value, operand):
    return kind(value) is not None and kind(value) == kind(operand) and value == operand


def operator_holds(values, op, operand):
    if op == "$eq":
        return any(equal(value, operand) for value in values)
    if op == "$ne":
        return not operator_holds(values, "$eq", operand)
    if op == "$in":
        return any(equal(value, candidate) for value in values for candidate in operand)
    if op == "$nin":
        return not operator_holds(values, "$in", operand)
    if op == "$exists":
        return bool(values) == operand
    return any(kind(value) == "number" and RANGES[op](value, operand) for value in values)


def matches(versions, filter_value):
    """Whether a document matches. A document added again holds, at each path, every
    value it was given, like a MongoDB array field (the engine keeps old string and
    bool values; the tests give a path at most one distinct number)."""
    for key, value in filter_value.items():
        if key == "$and":
            holds = all(matches(versions, element) for element in value)
        elif key == "$or":
            holds = any(matches(versions, element) for element in value)
        elif key == "$not":
            holds = not matches(versions, value)
        else:
            values = [version[key] for version in versions if key in version]
            operators = value.items() if isinstance(value, dict) else [("$eq", value)]
            holds = all(operator_holds(values, op, operand) for op, operand in operators)
        if not holds:
            return False
    return True


# ---- Random documents and filters -----------------------------------------------------


def random_document(rng):
    document = {field: random_value(rng) for field in ("c", "n", "f") if rng.random() < 0.7}
    draw = rng.random()
    if draw < 0.4:
        document["u"] = {field: random_value(rng) for field in ("age", "name") if rng.random() < 0.7}
    elif draw < 0.45:
        document["u"] = None
    if rng.random() < 0.1:
        document["z"] = None
    return document


def random_path(rng):
    return rng.choice(VALUED_PATHS) if rng.random() < 0.85 else rng.choice(OTHER_PATHS)


def random_operators(rng):
    operators = {}
    for _ in range(rng.choice([1, 1, 2])):
        op = rng.choice(["$eq", "$ne", "$in", "$nin", "$exists", *RANGES])
        if op in RANGES:
            operators[op] = rng.choice(NUMBERS + [99, -5])
        elif op in ("$in", "$nin"):
            operators[op] = [random_value(rng, ["never", 99]) for _ in range(rng.randint(0, 3))]
        elif op == "$exists":
            operators[op] = rng.random() < 0.5
        else:
            operators[op] = random_value(rng, ["never", 99])
    return operators


def random_filter(rng, depth=2):
    """A filter the language accepts: shorthand equalities and operator objects, with
    $and, $or and $not, several members per object."""
    members = {}
    for _ in range(rng.choice([0, 1, 1, 1, 2, 3])):
        draw = rng.random()
        if depth > 0 and draw < 0.3:
            logical = rng.choice(["$and", "$or"])
            members[logical] = [random_filter(rng, depth - 1) for _ in range(rng.randint(0, 3))]
        elif depth > 0 and draw < 0.4:
            members["$not"] = random_filter(rng, depth - 1)
        elif draw < 0.65:
            members[random_path(rng)] = random_value(rng, ["never", 99])
        else:
            members[random_path(rng)] = random_operators(rng)
    return members


def one_number_per_path(versions):
    numbers = {}
    for version in versions:
        for path, value in version.items():
            if kind(value) == "number" and numbers.setdefault(path, value) != value:
                return False
    return True


def live_matches(db, filter_json):
    return sorted(hit[0] for hit in db.search([1.0, 0.0], 10**6, filter_json, False))


def test_selects_what_a_model_of_mongodb_style_matching_selects(tmp_path):
    rng = random.Random(20)
    db = FullVendrelDB(str(tmp_path / "db"))
    model = {}  # live id -> flattened metadata of every add of that id

    def add(doc_id, document):
        db.add(doc_id, [1.0, 0.0], json.dumps(document))
        model.setdefault(doc_id, []).append(flatten(document) if isinstance(document, dict) else {})

    next_id = 0
    for step in range(400):
        while len(model) < 100:
            # Now and then metadata that is not an object: the document has no fields.
            add(next_id, random_document(rng) if rng.random() < 0.95 else [1])
            next_id += 1
        if rng.random() < 0.2:
            # Added again: the model follows where every path keeps at most one number
            # (numbers answer as the smallest value an id ever had).
            doc_id = rng.choice(list(model))
            document = random_document(rng)
            if one_number_per_path(model[doc_id] + [flatten(document)]):
                add(doc_id, document)
        filter_value = random_filter(rng)
        text = json.dumps(filter_value)
        expected = sorted(doc_id for doc_id, versions in model.items() if matches(versions, filter_value))
        if len(expected) <= 10 and rng.random() < 0.3:
            # Deleted ids stay in the numeric index; they must not be selected again.
            assert db.delete(text) == len(expected), text
            for doc_id in expected:
                del model[doc_id]
        else:
            assert live_matches(db, text) == expected, (step, text)


def test_numbers_are_compared_as_they_are_however_close_and_after_a_reopen(tmp_path):
    # Values closer than 1e-9 once shared a group, and answered as its first value.
    values = {1: 0, 2: 1e-12, 3: 3e-10, 4: 5e-9}
    db = FullVendrelDB(tmp_path / "db")
    for doc_id, value in values.items():
        db.add(doc_id, [1.0, float(doc_id)], {"p": value})
    cases = [({"p": 0}, [1]), ({"p": 1e-12}, [2]), ({"p": {"$in": [3e-10]}}, [3]),
             ({"p": {"$gt": 0}}, [2, 3, 4]), ({"p": {"$lte": 1e-12}}, [1, 2]), ({"p": {"$ne": 0}}, [2, 3, 4])]
    for reopened in (False, True):
        if reopened:
            db.close()
            db = FullVendrelDB(tmp_path / "db")
        for filter_json, expected in cases:
            assert sorted(hit[0] for hit in db.search([1.0, 0.0], 10, filter_json)) == expected, filter_json
    assert db.delete({"p": 1e-12}) == 1
    db.close()


def test_delete_counts_only_documents_not_deleted_before(tmp_path):
    # The numeric index keeps deleted ids, and a deleted id added again (it stays
    # deleted) is back in the indexes: neither is selected again.
    db = FullVendrelDB(str(tmp_path / "db"))
    for doc_id in range(4):
        db.add(doc_id, [1.0, 0.0], json.dumps({"n": doc_id, "c": "red"}))
    assert db.delete('{"n": {"$lt": 2}}') == 2
    assert db.delete('{"n": {"$lt": 2}}') == 0
    db.add(0, [1.0, 0.0], json.dumps({"n": 0, "c": "red"}))
    assert db.delete('{"c": "red"}') == 2
    assert db.count() == 0


# ---- Refused filters ------------------------------------------------------------------

FIELD_OPERATORS = "$eq, $ne, $gt, $gte, $lt, $lte, $in, $nin, $exists"

REFUSED = [
    ('{"name": {"$regex": "^a"}}', f"unknown operator '$regex' for field 'name' (supported: {FIELD_OPERATORS})"),
    ('{"a": {"$not": {"$gt": 1}}}', f"unknown operator '$not' for field 'a' (supported: {FIELD_OPERATORS})"),
    ('{"$nor": [{"a": 1}]}', "unknown operator '$nor' (supported outside a field: $and, $or, $not)"),
    ('{"$and": {"a": 1}}', "$and takes an array of filter objects; got an object"),
    ('{"$or": [{"a": 1}, 5]}', "$or takes an array of filter objects; element 1 is a number"),
    ('{"$not": [{"a": 1}]}', "$not takes a filter object; got an array"),
    ('{"a": {"$in": "x"}}', "$in for field 'a' takes an array of strings, numbers and bools; got a string"),
    ('{"a": {"$nin": [1, null]}}', "$nin for field 'a' takes an array of strings, numbers and bools; element 1 is null"),
    ('{"a": {"$gt": "5"}}', "$gt for field 'a' takes a number; got a string"),
    ('{"a": {"$lte": true}}', "$lte for field 'a' takes a number; got true"),
    ('{"a": {"$exists": 1}}', "$exists for field 'a' takes true or false; got a number"),
    ('{"a": {"$eq": null}}', "$eq for field 'a' takes a string, number or bool; got null"),
    ('{"a": {"$ne": {"b": 1}}}', "$ne for field 'a' takes a string, number or bool; got an object"),
    ('{"a": null}', "field 'a' is compared with null; a value must be a string, number or bool"),
    ('{"a": [1, 2]}', "field 'a' is compared with an array; a value must be a string, number or bool "
                      '(for any of several values use {"$in": [...]})'),
    ('{"u": {"age": 3}}', "field 'u' is compared with an embedded object, which filters cannot match; "
                          'name a nested field by its dotted path, e.g. {"u.age": ...}'),
    ('{"a": {}}', f"field 'a' is compared with an empty object; give a value or operators (supported: {FIELD_OPERATORS})"),
    ('{"a": {"$gt": 1, "b": 2}}', "field 'a' mixes operators and plain keys ('$gt' and 'b'); "
                                  "use operators only, or the dotted path 'a.b' for a nested field"),
    ('[{"a": 1}]', "expected a JSON object; got an array"),
    ('"a"', "expected a JSON object; got a string"),
    # Refused wherever the fault stands, even behind a clause that selects nothing.
    ('{"$and": [{"a": "never"}, {"b": {"$foo": 1}}]}', f"unknown operator '$foo' for field 'b' (supported: {FIELD_OPERATORS})"),
]


@pytest.mark.parametrize("text, message", REFUSED)
def test_refused_filters_name_the_fault_and_change_nothing(tmp_path, text, message):
    db = FullVendrelDB(str(tmp_path / "db"))
    db.add(0, [1.0, 0.0], json.dumps({"a": 1, "u": {"age": 3}}))
    for call in (lambda: db.search([1.0, 0.0], 5, text), lambda: db.delete(text)):
        with pytest.raises(ValueError) as refused:
            call()
        assert str(refused.value) == "filter: " + message
    assert db.count() == 1


def test_a_filter_that_is_not_json_is_named_as_the_filter(tmp_path):
    db = FullVendrelDB(str(tmp_path / "db"), durability="memory")
    db.add(0, [1.0, 0.0], "{}")
    for call in (lambda: db.search([1.0, 0.0], 5, "{oops"), lambda: db.delete("{oops")):
        with pytest.raises(ValueError, match=r"^filter is not valid JSON: key must be a string at line 1 column 2$"):
            call()

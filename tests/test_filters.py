import json

import pytest

DOCS = {
    0: {"colour": "red", "price": 5, "flag": True, "user": {"age": 31}, "tags": ["a", "b"]},
    1: {"colour": "blue", "price": 7.5, "flag": "true", "user": {"age": 40}},
    2: {"colour": "red", "price": 10, "flag": False, "n": None},
    3: {"colour": "green", "price": 1.0000000005, "size": "L"},
    4: {"colour": "blue", "price": 1.0, "size": "L", "a.b": 2},
    5: {"a": {"b": 2}, "big": 9007199254740993},
}


@pytest.fixture
def filled(db):
    for doc_id, fields in DOCS.items():
        db.add(doc_id, [1.0, float(doc_id)], json.dumps(fields))
    return db


def select(db, filter_value):
    text = filter_value if isinstance(filter_value, str) else json.dumps(filter_value)
    return sorted(hit[0] for hit in db.search([1.0, 0.0], 1000, text, False))


@pytest.mark.parametrize("filter_value, expected", [
    ({"colour": {"$eq": "red"}}, [0, 2]),
    ({"colour": {"$ne": "red"}}, [1, 3, 4, 5]),
    ({"colour": {"$in": ["green", "blue", "pink"]}}, [1, 3, 4]),
    ({"colour": {"$nin": ["red"]}}, [1, 3, 4, 5]),
    ({"colour": {"$in": []}}, []),
    ({"price": {"$gt": 5}}, [1, 2]),
    ({"price": {"$gte": 5}}, [0, 1, 2]),
    ({"price": {"$lt": 5, "$gt": 1}}, []),
    ({"price": {"$lte": 7.5, "$gt": 0}}, [0, 1, 3, 4]),
    ({"price": {"$eq": 10}}, [2]),
    ({"price": {"$eq": 10.0}}, [2]),
    # 1.0 and 1.0000000005 fall in one group whose value is 1.0.
    ({"price": {"$eq": 1}}, [3, 4]),
    ({"price": {"$eq": 1.0000000005}}, []),
    ({"price": {"$lt": 1.0000000002}}, [3, 4]),
    ({"price": {"$ne": 7}}, [0, 1, 2, 3, 4, 5]),
    ({"flag": {"$eq": True}}, [0, 1]),
    ({"flag": {"$eq": "false"}}, [2]),
    ({"user.age": {"$gt": 35}}, [1]),
    ({"user": {"age": {"$gt": 35}}}, []),
    ({"a.b": {"$eq": 2}}, [4, 5]),
    ({"tags": {"$in": ["a"]}}, []),
    ({"tags": {"$exists": True}}, [0]),
    ({"n": {"$exists": True}}, [2]),
    ({"size": {"$exists": False}}, [0, 1, 2, 5]),
    ({"never": {"$exists": False}}, []),
    ({"n": {"$exists": "yes"}}, []),
    ({"price": {"$gt": "5"}}, []),
    ({"price": {"$gt": "5", "$lt": 6}}, [0, 3, 4]),
    ({"colour": "red"}, []),
    ({"b": {"$eq": 1}, "a.b": {"$eq": 2}}, [4, 5]),
    ({"$or": []}, []),
    ({"$or": [{"colour": {"$eq": "green"}}, {"price": {"$eq": 10}}, {"x": {"$eq": 1}}]}, [2, 3]),
    ({"$and": []}, []),
    ({"$not": {"$or": []}}, [0, 1, 2, 3, 4, 5]),
    ({"$not": {"colour": {"$eq": "red"}}}, [1, 3, 4, 5]),
    ({"$not": {"colour": {"$eq": "purple"}}}, []),
    ({"$and": [{"colour": {"$eq": "purple"}}, {"size": {"$eq": "L"}}]}, [3, 4]),
    ({"$and": [{"colour": {"$eq": "red"}}, {"size": {"$eq": "L"}}]}, []),
    ({"$and": [{"colour": {"$eq": "blue"}}, {"size": {"$eq": "L"}}]}, [4]),
    ({"big": {"$eq": 9007199254740992}}, [5]),
    ("{}", []),
    ("[]", []),
    ('"x"', []),
    ("5", []),
])
def test_filter_language(filled, filter_value, expected):
    assert select(filled, filter_value) == expected


def test_repeated_key_keeps_the_last_member(filled):
    assert select(filled, '{"price": {"$gt": 1}, "price": {"$lt": 5}}') == [3, 4]


@pytest.mark.parametrize("text", ["{", "", "{} x", '{"a" 1}', "[1,", "nul"])
def test_malformed_filters_raise_the_parser_message(filled, text):
    with pytest.raises(ValueError, match=r"^\S.* at line \d+ column \d+$"):
        filled.search([1.0, 0.0], 5, text)


def test_deep_nesting_is_refused(filled):
    deep = '{"$not":' * 200 + "{}" + "}" * 200
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at line 1 column \d+$"):
        filled.search([1.0, 0.0], 5, deep)
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        filled.add(9, [1.0, 0.0], "[" * 100000)


def test_zero_with_a_large_exponent_is_zero(db):
    db.add(1, [1.0], '{"m": 0e40}')
    assert select(db, '{"m": {"$eq": 0}}') == [1]
    assert select(db, '{"m": {"$lt": 0e300}}') == []


def test_numbers_beyond_double_range_are_errors(filled):
    with pytest.raises(ValueError, match=r" at line 1 column \d+$"):
        filled.search([1.0, 0.0], 5, '{"price": {"$gt": 1e400}}')


def test_numeric_values_are_flushed_in_batches(db):
    for doc_id in range(5200):
        db.add(doc_id, [1.0, 0.0], json.dumps({"n": doc_id % 100}))
    assert db.delete(json.dumps({"n": {"$eq": 99}})) == 52
    assert db.delete(json.dumps({"n": {"$lt": 2}})) == 104

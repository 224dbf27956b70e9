import json

import pytest

from conftest import meta


def ids_of(hits):
    return sorted(hit[0] for hit in hits)


def test_fresh_database(db):
    assert db.count() == 0
    assert db.delete(json.dumps({"a": {"$eq": 1}})) == 0
    assert db.clean_expired() is None


def test_delete_by_filter_then_count(db, tmp_path):
    for doc_id in range(10):
        db.add(doc_id, [1.0, float(doc_id)], meta(colour="red" if doc_id in (2, 5, 7) else "blue"))
    red = json.dumps({"colour": {"$eq": "red"}})
    assert db.delete(red) == 3
    assert db.count() == 7
    assert db.delete(red) == 0
    assert 5 not in ids_of(db.search([1.0, 5.0], 10, None, False))
    # Deletion is logical: the metadata text is still readable.
    assert db.build_results([(5, 0.0)], True) == [(5, 0.0, meta(colour="red"))]


@pytest.mark.parametrize("undetermined", ["{}", "[]", '"x"', "5", '{"colour": "red"}'])
def test_undetermined_filters_delete_nothing(db, undetermined):
    db.add(0, [1.0], meta(colour="red"))
    assert db.delete(undetermined) == 0
    assert db.count() == 1


def test_invalid_filter_raises_and_changes_nothing(db):
    db.add(0, [1.0], meta(n=1))
    with pytest.raises(ValueError, match=r" at line 1 column \d+$"):
        db.delete("{not json")
    assert db.count() == 1


def test_numeric_filters_keep_selecting_deleted_ids(db):
    for doc_id in range(6):
        db.add(doc_id, [1.0], meta(n=doc_id))
    cheap = json.dumps({"n": {"$lt": 3}})
    assert db.delete(cheap) == 3
    assert db.delete(cheap) == 3
    assert db.count() == 3


def test_deleted_id_added_again_stays_deleted(db):
    db.add(1, [1.0, 0.0], meta(c="x"))
    assert db.delete(json.dumps({"c": {"$eq": "x"}})) == 1
    db.add(1, [1.0, 0.0], meta(c="x"))
    assert db.count() == 1  # id 0 (never added) still counts; id 1 does not
    assert db.search([1.0, 0.0], 5) == []


def test_count_includes_ids_never_added(db):
    db.add(10, [1.0], "{}")
    assert db.count() == 11


def test_removed_documents_leave_the_string_indexes(db):
    db.add(0, [1.0], meta(c="a", tags=["t"]))
    db.add(1, [1.0], meta(c="b"))
    assert db.delete(json.dumps({"c": {"$eq": "a"}})) == 1
    assert db.delete(json.dumps({"tags": {"$exists": True}})) == 0
    assert db.delete(json.dumps({"c": {"$ne": "zzz"}})) == 0  # "zzz" never seen: undetermined
    assert db.delete(json.dumps({"c": {"$ne": "b"}})) == 0  # only id 1 is left, and it is "b"
    assert db.delete(json.dumps({"$not": {"c": {"$eq": "a"}}})) == 1


def test_clean_expired_sweeps_and_is_idempotent(db):
    db.add(0, [1.0], meta(c="x"), ttl=-5)
    db.add(1, [1.0], meta(c="x"))
    assert db.clean_expired() is None
    assert db.clean_expired() is None
    assert db.count() == 1
    # The swept document left the string index too.
    assert db.delete(json.dumps({"c": {"$eq": "x"}})) == 1

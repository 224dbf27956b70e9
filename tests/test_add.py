import json
import time

import pytest

import vendrel
from conftest import meta


def metadata_file(tmp_path):
    return tmp_path / "db" / "metadata.bin"


def test_first_add_fixes_dimension_and_mismatch_changes_nothing(db):
    db.add(7, [1.0, 0.0, 0.0], "{}")
    assert db.count() == 8
    with pytest.raises(ValueError, match=r"^Dimension mismatch: expected 3, got 2$"):
        db.add(8, [1.0, 0.0], "{}")
    assert db.count() == 8
    db.add(3, [0.0, 1.0, 0.0], "{}")
    assert db.count() == 8


def test_empty_first_vector_leaves_dimension_open(db):
    db.add(0, [], "{}")
    db.add(1, [1.0, 2.0], "{}")
    with pytest.raises(ValueError, match="expected 2, got 3"):
        db.add(2, [1.0, 2.0, 3.0], "{}")


def test_invalid_json_keeps_the_steps_before_parsing(db, tmp_path):
    with pytest.raises(ValueError, match=r" at line 1 column \d+$"):
        db.add(1, [1.0, 0.0], "not json")
    assert metadata_file(tmp_path).read_bytes() == b"not json"
    assert db.build_results([(1, 0.5)], True) == [(1, 0.5, "not json")]
    assert db.count() == 2
    # The id is a document: searching finds its stored vector.
    assert [hit[0] for hit in db.search([1.0, 0.0], 5, None, False)] == [1]
    # ...and it belongs to every document set, though no field indexes it.
    assert db.delete(json.dumps({"$not": {"$or": []}})) == 1


def test_non_object_metadata_is_stored_but_not_indexed(db):
    db.add(1, [1.0], "[1, 2]")
    db.add(2, [1.0], meta(n=1))
    assert db.search([1.0], 5, json.dumps({"n": {"$exists": False}}), False) == [(1, pytest.approx(1.0), "")]
    assert db.build_results([(1, 0.0)], True) == [(1, 0.0, "[1, 2]")]


def test_readding_replaces_entry_but_keeps_both_texts(db, tmp_path):
    db.add(4, [1.0, 0.0], '{"a":1}')
    db.add(4, [0.0, 1.0], '{"a":2}')
    assert metadata_file(tmp_path).read_bytes() == b'{"a":1}{"a":2}'
    assert db.build_results([(4, 1.0)], True) == [(4, 1.0, '{"a":2}')]
    # Numbers: the id answers as if it held only its smallest value.
    assert db.search([0.0, 1.0], 5, '{"a": {"$eq": 1}}', False)[0][0] == 4
    assert db.search([0.0, 1.0], 5, '{"a": {"$eq": 2}}', False) == []
    # Strings: the filter index keeps both values for the id.
    db.add(4, [0.0, 1.0], '{"s":"x"}')
    db.add(4, [0.0, 1.0], '{"s":"y"}')
    assert [hit[0] for hit in db.search([0.0, 1.0], 5, '{"s": {"$in": ["x"]}}', False)] == [4]
    assert [hit[0] for hit in db.search([0.0, 1.0], 5, '{"s": {"$eq": "y"}}', False)] == [4]
    # The stored vector is the second one.
    assert db.search([0.0, 1.0], 1)[0][1] == pytest.approx(1.0)


def test_metadata_file_appends_across_reopen(tmp_path):
    path = str(tmp_path / "db")
    first = vendrel.VendrelDB(path)
    first.add(0, [1.0], '"a"')
    second = vendrel.VendrelDB(path)
    assert second.count() == 0
    second.add(0, [1.0], "[]")
    assert metadata_file(tmp_path).read_bytes() == b'"a"[]'
    assert second.build_results([(0, 0.0)], True) == [(0, 0.0, "[]")]
    assert first.build_results([(0, 0.0)], True) == [(0, 0.0, '"a"')]


def test_ttl_past_and_kept_and_replaced(db):
    db.add(1, [1.0], "{}", ttl=-10)
    db.add(1, [1.0], "{}")  # no ttl: the earlier expiry stays in force
    db.add(2, [1.0], "{}", ttl=-10)
    db.add(2, [1.0], "{}", ttl=3600)  # a new ttl replaces it
    db.add(3, [1.0], "{}", ttl=-(2**62))  # wraps around into the far future
    assert db.count() == 4 - 1
    assert {hit[0] for hit in db.search([1.0], 10, None, False)} == {2, 3}


def test_ttl_zero_lives_until_the_next_whole_second(db):
    # Start early in a second so that the add and the first count share it.
    while time.time() % 1.0 > 0.5:
        time.sleep(0.05)
    db.add(0, [1.0], "{}", ttl=0)
    assert db.count() == 1
    time.sleep(1.0 - time.time() % 1.0 + 0.05)
    assert db.count() == 0
    assert db.search([1.0], 1) == []


def test_activation_notice_printed_once(db, capfd):
    vector = [0.5] * 12
    for doc_id in range(5000):
        db.add(doc_id, vector, "{}")
    assert capfd.readouterr().out == ""
    db.add(5000, vector, "{}")
    assert capfd.readouterr().out == "Activating quantization at 5000 vectors...\n"
    db.add(5001, vector, "{}")
    assert capfd.readouterr().out == ""
    # Quantized scores lie in [0, 1].
    hits = db.search(vector, 3)
    assert len(hits) == 3 and all(0.0 <= score <= 1.0 for _, score, _ in hits)


def test_activation_through_a_sparse_id(db, capfd):
    db.add(6000, [1.0, 0.0], "{}")
    assert capfd.readouterr().out == ""
    db.add(1, [0.0, 1.0], "{}")
    assert capfd.readouterr().out == "Activating quantization at 5000 vectors...\n"
    assert {hit[0] for hit in db.search([1.0, 0.0], 5, None, False)} == {1, 6000}


def test_highest_id_counts_past_32_bits(db):
    db.add(4294967295, [1.0, 0.0], "{}")
    assert db.count() == 4294967296
    assert db.search([1.0, 0.0], 1, None, False) == [(4294967295, pytest.approx(1.0), "")]
    assert db.delete('{"$not": {"$or": []}}') == 1
    assert db.count() == 4294967295

import pytest


def test_build_results_without_metadata_keeps_every_pair(db):
    assert db.build_results([], True) == []
    pairs = [(3, 0.25), (999, 1), (3, -2.5)]
    assert db.build_results(pairs, False) == [(3, 0.25, ""), (999, 1.0, ""), (3, -2.5, "")]
    assert isinstance(db.build_results([(1, 1)], False)[0][1], float)


def test_build_results_with_metadata_leaves_out_unknown_ids(db):
    db.add(1, [1.0], '"one"')
    with pytest.raises(ValueError):
        db.add(2, [1.0], "")  # not JSON, but the empty text is stored first
    hits = db.build_results([(7, 0.1), (2, 0.2), (1, 0.3), (1, 0.4)], True)
    assert hits == [(2, pytest.approx(0.2), ""), (1, pytest.approx(0.3), '"one"'), (1, pytest.approx(0.4), '"one"')]


def test_scores_are_float32(db):
    score = db.build_results([(1, 0.1)], False)[0][1]
    assert score != 0.1 and score == pytest.approx(0.1)


def test_invalid_utf8_in_the_file_reads_back_replaced(db, db_path):
    db.add(0, [1.0], '"abcdef"')
    path = db_path / "metadata.bin"
    raw = bytearray(path.read_bytes())
    raw[2:5] = b"\xff\xe2\x82"
    path.write_bytes(bytes(raw))
    assert db.build_results([(0, 0.0)], True) == [(0, 0.0, '"a\ufffd\ufffdef"')]


def test_missing_or_truncated_file_drops_hits_silently(db, db_path):
    db.add(0, [1.0], '"first"')
    db.add(1, [1.0], '"second"')
    path = db_path / "metadata.bin"
    path.write_bytes(b'"first"')
    assert db.build_results([(0, 0.0), (1, 0.0)], True) == [(0, 0.0, '"first"')]
    path.unlink()
    assert db.build_results([(0, 0.0), (1, 0.0)], True) == []
    assert db.search([1.0], 5) == []
    assert len(db.search([1.0], 5, None, False)) == 2

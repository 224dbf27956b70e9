import json
import numpy as np
import pytest

from conftest import meta


def cosine_ranking(vectors, query):
    matrix = np.asarray(vectors, dtype=np.float32)
    q = np.asarray(query, dtype=np.float32)
    scores = matrix @ q / (np.linalg.norm(matrix, axis=1) * np.linalg.norm(q))
    return scores


def test_empty_database_and_zero_k(db):
    assert db.search([1.0, 0.0], 10) == []
    db.add(0, [1.0, 0.0], "{}")
    assert db.search([1.0, 0.0], 0) == []
    with pytest.raises(ValueError, match=r" at line \d+ column \d+$"):
        db.search([1.0, 0.0], 0, "{")


def test_small_collection_is_scanned_and_ranked(db):
    rng = np.random.default_rng(1)
    vectors = rng.normal(size=(40, 16)).astype(np.float32)
    for doc_id, vector in enumerate(vectors):
        db.add(doc_id, vector.tolist(), meta(i=doc_id))
    query = rng.normal(size=16).astype(np.float32)
    hits = db.search(query.tolist(), 100)
    expected = cosine_ranking(vectors, query)
    assert [hit[0] for hit in hits] == list(np.argsort(-expected, kind="stable"))
    for doc_id, score, text in hits:
        assert score == pytest.approx(float(expected[doc_id]), abs=1e-5)
        assert text == meta(i=doc_id)


def test_equal_scores_come_back_in_ascending_id_order(db):
    for doc_id in [9, 3, 5, 0]:
        db.add(doc_id, [1.0, 1.0], "{}")
    assert [hit[0] for hit in db.search([1.0, 1.0], 10, None, False)] == [0, 3, 5, 9]


def test_metadata_switch_and_defaults(db):
    db.add(1, [1.0, 0.0], meta(c="red"))
    assert db.search([1.0, 0.0], 1) == [(1, pytest.approx(1.0), '{"c":"red"}')]
    assert db.search([1.0, 0.0], 1, None, False) == [(1, pytest.approx(1.0), "")]
    assert db.search([1.0, 0.0], 1, filter_json=None) == db.search([1.0, 0.0], 1)


def test_filters_restrict_hits(db):
    for doc_id in range(20):
        db.add(doc_id, [1.0, float(doc_id)], meta(colour="red" if doc_id % 2 else "blue", n=doc_id))
    red = db.search([1.0, 0.0], 100, json.dumps({"colour": {"$eq": "red"}}), False)
    assert sorted(hit[0] for hit in red) == list(range(1, 20, 2))
    assert db.search([1.0, 0.0], 100, json.dumps({"colour": {"$eq": "purple"}})) == []
    assert db.search([1.0, 0.0], 100, "{}") == []
    assert db.search([1.0, 0.0], 100, json.dumps({"n": {"$gt": 100}})) == []
    big = db.search([1.0, 0.0], 100, json.dumps({"n": {"$gte": 15}}), False)
    assert sorted(hit[0] for hit in big) == [15, 16, 17, 18, 19]


def test_deleted_and_expired_documents_are_never_returned(db):
    for doc_id in range(10):
        db.add(doc_id, [1.0, 0.5], meta(n=doc_id))
    db.add(10, [1.0, 0.5], meta(n=10), ttl=-1)
    assert db.delete(json.dumps({"n": {"$lt": 5}})) == 5
    ids = {hit[0] for hit in db.search([1.0, 0.5], 100, None, False)}
    assert ids == {5, 6, 7, 8, 9}
    # A numeric filter still selects deleted ids, but search drops them.
    ids = {hit[0] for hit in db.search([1.0, 0.5], 100, json.dumps({"n": {"$lt": 7}}), False)}
    assert ids == {5, 6}


def test_lsh_mode_only_filters_gathered_candidates(db):
    # Identical vectors share one bucket, which holds the ids in insertion order.
    for doc_id in range(1500):
        db.add(doc_id, [1.0] * 8, meta(i=doc_id))
    only_late = json.dumps({"i": {"$eq": 1200}})
    # k = 1: LSH yields the budget of 1000 ids (0..999), and the filter removes them all.
    assert db.search([1.0] * 8, 1, only_late) == []
    # k = 200: the budget of 2000 gathers every id, 1200 among them.
    assert [hit[0] for hit in db.search([1.0] * 8, 200, only_late, False)] == [1200]


def test_scan_mode_with_filter_scores_the_lowest_ids_up_to_the_budget(db):
    # The hyperplanes all lean towards the positive orthant, so only directions whose
    # components sum to about zero spread over many buckets; then LSH gathers far fewer
    # than 2k ids and search falls back to scanning.
    rng = np.random.default_rng(3)
    vectors = rng.normal(size=(3000, 32)).astype(np.float32)
    vectors -= vectors.mean(axis=1, keepdims=True)
    for doc_id, vector in enumerate(vectors):
        db.add(doc_id, vector, meta(i=doc_id))
    query = rng.normal(size=32).astype(np.float32)
    query -= query.mean()
    expected = cosine_ranking(vectors, query)

    unfiltered = [hit[0] for hit in db.search(query, 100, None, False)]
    exact_top = set(np.argsort(-expected)[:100].tolist())
    assert len(unfiltered) == 100 and len(exact_top & set(unfiltered)) >= 98
    assert max(unfiltered) >= 1000

    # With a filter the scan takes the budget (1000) of lowest matching ids.
    filtered = [hit[0] for hit in db.search(query, 100, json.dumps({"i": {"$gte": 0}}), False)]
    exact_low_top = set(np.argsort(-expected[:1000])[:100].tolist())
    assert len(filtered) == 100 and max(filtered) < 1000
    assert len(exact_low_top & set(filtered)) >= 98


@pytest.mark.parametrize("count", [1000, 1001])
def test_sequential_and_parallel_scoring_agree_with_exact_cosine(db, count):
    rng = np.random.default_rng(count)
    vectors = rng.normal(size=(count, 24)).astype(np.float32)
    for doc_id, vector in enumerate(vectors):
        db.add(doc_id, vector, "{}")
    query = rng.normal(size=24).astype(np.float32)
    hits = db.search(query, 5000, None, False)
    assert len(hits) == count
    expected = cosine_ranking(vectors, query)
    scores = np.array([score for _, score, _ in hits])
    assert np.all(np.diff(scores) <= 0)
    got = {doc_id: score for doc_id, score, _ in hits}
    for doc_id in range(count):
        assert got[doc_id] == pytest.approx(float(expected[doc_id]), abs=1e-5)


def test_query_shapes(db):
    db.add(0, [3.0, 4.0, 0.0], "{}")
    db.add(1, [0.0, 0.0, 5.0], "{}")
    # Shorter query: cosine over the common prefix.
    assert dict((i, s) for i, s, _ in db.search([1.0, 0.0], 5, None, False)) == {
        0: pytest.approx(0.6), 1: 0.0}
    # Empty query scores 0 for every stored vector before quantization.
    assert [s for _, s, _ in db.search([], 5, None, False)] == [0.0, 0.0]
    # Longer query never reads past the stored vector: it is compared over the stored length.
    longer = dict((i, s) for i, s, _ in db.search([3.0, 4.0, 0.0, 100.0], 5, None, False))
    assert longer[0] == pytest.approx(1.0) and longer[1] == pytest.approx(0.0)


def test_nan_and_infinite_values_do_not_break_search(db):
    db.add(0, [float("nan"), 1.0], "{}")
    db.add(1, [1.0, 0.0], "{}")
    db.add(2, [float("inf"), 1.0], "{}")
    hits = db.search([1.0, 0.0], 10, None, False)
    assert {hit[0] for hit in hits} == {0, 1, 2}
    assert hits[0][0] == 1
    hits = db.search([float("nan"), 0.0], 2, None, False)
    assert len(hits) == 2


def test_huge_k_saturates(db):
    db.add(0, [1.0], "{}")
    assert len(db.search([1.0], 2**64 - 1)) == 1
    assert len(db.search([1.0], 2**63, json.dumps({"$not": {"$or": []}}))) == 1


def add_unit_vectors(db, count, dimension, seed):
    rng = np.random.default_rng(seed)
    vectors = rng.normal(size=(count, dimension)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    for doc_id, vector in enumerate(vectors):
        db.add(doc_id, vector, "{}")
    return vectors


def test_quantized_regime_scores(db):
    vectors = add_unit_vectors(db, 5001, 24, seed=5)
    hits = db.search(vectors[42], 10, None, False)
    assert len(hits) == 10
    assert all(0.0 <= score <= 1.0 for _, score, _ in hits)
    assert 42 in {hit[0] for hit in hits}
    # An empty query compares no subspace: every scored document gets 1.0.
    assert {score for _, score, _ in db.search([], 3, None, False)} == {1.0}
    # A longer query than the stored vectors is compared over their common length.
    longer = db.search(np.concatenate([vectors[42], np.ones(30, dtype=np.float32)]), 3, None, False)
    assert len(longer) == 3


def test_quantized_scores_that_saturate_still_select_the_nearest(db):
    # Unit vectors in 768 dimensions sit more than 4 away from the unit centroids, so
    # every quantized score is 0.0; the documents chosen among the tied scores are still
    # the nearest by quantized distance.
    vectors = add_unit_vectors(db, 5001, 768, seed=11)
    for target in (42, 4321):
        hits = db.search(vectors[target], 5, None, False)
        assert [score for _, score, _ in hits] == [0.0] * 5
        assert hits[0][0] == target

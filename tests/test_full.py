"""FullVendrelDB: exact answers against numpy, the contract's semantics for everything
but the candidate stage, and add_many against the same rows added one by one."""

import gc
import json
import random
import warnings

import numpy as np
import pytest

import vendrel
from vendrel_plus import FullVendrelDB

DIM = 12
COLOURS = ["red", "green", "blue", "cyan"]


def brute_force(vectors, query, k, allowed):
    """Top k of `vectors` (id -> row) restricted to `allowed`, by cosine, ties by id."""
    q = np.asarray(query, dtype=np.float64)
    scored = []
    for doc_id in allowed:
        v = np.asarray(vectors[doc_id], dtype=np.float64)
        scored.append((-float(v @ q / (np.linalg.norm(v) * np.linalg.norm(q))), doc_id))
    scored.sort()
    return [(doc_id, -score) for score, doc_id in scored[:k]]


def assert_hits_match(hits, expected):
    assert [hit[0] for hit in hits] == [doc_id for doc_id, _ in expected]
    for hit, (_, score) in zip(hits, expected):
        assert hit[1] == pytest.approx(score, abs=1e-5)


def test_exact_search_equals_brute_force_through_deletes_readds_and_expiry(tmp_path):
    rng = np.random.default_rng(3)
    db = FullVendrelDB(str(tmp_path / "db"))
    vectors, colour, price, deleted = {}, {}, {}, set()
    for doc_id in rng.permutation(300)[:240]:
        doc_id = int(doc_id)
        vectors[doc_id] = rng.normal(size=DIM).astype(np.float32)
        colour[doc_id] = COLOURS[doc_id % 4]
        price[doc_id] = float(rng.uniform(0, 100))
        ttl = -5 if doc_id % 17 == 0 else None  # already expired: gone at the next sweep
        db.add(doc_id, vectors[doc_id], json.dumps({"colour": colour[doc_id], "price": price[doc_id]}), ttl)
        if ttl is not None:
            deleted.add(doc_id)
    # delete does not sweep: expired documents not yet swept are still selected.
    assert db.delete(json.dumps({"colour": {"$eq": "green"}})) == sum(1 for i in vectors if colour[i] == "green")
    deleted |= {i for i in vectors if colour[i] == "green"}
    # Re-adding replaces the vector of a live id; a deleted id stays deleted.
    for doc_id in list(vectors)[:40]:
        vectors[doc_id] = rng.normal(size=DIM).astype(np.float32)
        db.add(doc_id, vectors[doc_id], json.dumps({"colour": colour[doc_id], "price": price[doc_id]}))
    # Two identical vectors: equal scores come back in ascending id order.
    vectors[1000] = vectors[1001] = np.ones(DIM, dtype=np.float32)
    for doc_id in (1001, 1000):
        colour[doc_id], price[doc_id] = "red", 1.0
        db.add(doc_id, vectors[doc_id], json.dumps({"colour": "red", "price": 1.0}))

    live = [i for i in vectors if i not in deleted]
    filters = {
        None: live,
        json.dumps({"colour": {"$eq": "red"}}): [i for i in live if colour[i] == "red"],
        json.dumps({"price": {"$lt": 30}}): [i for i in live if price[i] < 30],
        json.dumps({"$or": [{"colour": {"$eq": "blue"}}, {"price": {"$gte": 90}}]}):
            [i for i in live if colour[i] == "blue" or price[i] >= 90],
    }
    for query in [rng.normal(size=DIM), np.ones(DIM)]:
        for filter_json, allowed in filters.items():
            for k in (1, 10, 1000):
                expected = brute_force(vectors, query, k, allowed)
                assert_hits_match(db.search(query, k, filter_json, False), expected)
    assert [hit[0] for hit in db.search(np.ones(DIM), 2, None, False)] == [1000, 1001]
    assert db.count() == 1002 - len(deleted)


def random_call(rng, dim):
    """One call of a random workload: (method name, args). About one call in six fails."""
    doc_id = rng.randrange(60)
    kind = rng.random()
    if kind < 0.55:
        vector = [rng.uniform(-1, 1) for _ in range(dim if rng.random() > 0.05 else dim + 1)]
        meta = json.dumps({"c": rng.choice(COLOURS), "n": rng.randrange(10)})
        if rng.random() < 0.05:
            meta = "{not json"
        ttl = rng.choice([None, None, None, -1, 0, 3600])
        if rng.random() < 0.03:
            return "add", (doc_id, "not a vector", meta, ttl)
        return "add", (doc_id, vector, meta, ttl)
    if kind < 0.7:
        # Filters that select the same in FullVendrelDB's language and the contract's:
        # no clause the contract leaves undetermined.
        filters = [{"c": {"$eq": rng.choice(COLOURS)}}, {"n": {"$gt": rng.randrange(10)}},
                   {"$not": {"c": {"$in": ["red", "blue"]}}}, {"c": {"$nin": ["purple"]}}, {"$not": {"$or": []}}, "{"]
        chosen = rng.choice(filters)
        return "delete", (chosen if isinstance(chosen, str) else json.dumps(chosen),)
    if kind < 0.8:
        return "count", ()
    if kind < 0.85:
        return "clean_expired", ()
    if kind < 0.95:
        return "build_results", ([(rng.randrange(70), 0.5) for _ in range(4)], rng.random() < 0.8)
    return "search", ([0.0] * dim, 5, "{bad")


def outcome(db, method, args):
    try:
        return "ok", getattr(db, method)(*args)
    except Exception as error:  # the class; the wording is each class's own
        return type(error).__name__, None


def test_ttls_at_the_ends_of_their_range_expire_as_they_say(tmp_path):
    db = FullVendrelDB(str(tmp_path / "db"), durability="memory")
    for doc_id, ttl in enumerate([-1, -(2**62), -(2**63), 2**63 - 1, None]):
        db.add(doc_id, [1.0, 0.0], "{}", ttl)
    db.clean_expired()
    assert sorted(hit[0] for hit in db.search([1.0, 0.0], 10, None, False)) == [3, 4]


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_finite_vectors_of_any_scale_are_scored_by_their_direction(tmp_path, index):
    # The squares of these overflow or underflow float32; the opposite of a huge query
    # once scored 1.0.
    rng = np.random.default_rng(5)
    scales = np.array([1e-30, 1e-21, 1.0, 1e19, 3e37], dtype=np.float64)
    rows = rng.uniform(-3, 3, size=(200, DIM)) * scales[np.arange(200) % 5, None]
    rows = rows.astype(np.float32)
    db = FullVendrelDB(str(tmp_path / "db"), index=index, durability="memory")
    db.add_many(list(range(200)), rows, ["{}"] * 200)
    vectors = dict(enumerate(rows))
    queries = np.concatenate([rows[:5], -rows[:5]])
    for query, hits in zip(queries, db.search_many(queries, 10, None, False, ef=400)):
        assert_hits_match(hits, brute_force(vectors, query, 10, range(200)))
        assert hits == db.search(query, 10, None, False, ef=400)
    # Rounding carried many a vector against itself just past 1, and its opposite past -1.
    small = rng.integers(-9, 10, size=(300, DIM)).astype(np.float32)
    db.add_many(list(range(200, 500)), small, ["{}"] * 300)
    for hits in db.search_many(np.concatenate([small, -small]), 1, None, False, ef=400):
        assert -1.0 <= hits[0][1] <= 1.0


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_the_six_operations_agree_with_vendrel_on_a_random_workload(tmp_path, index):
    # FullVendrelDB answers what VendrelDB answers, except that a refused add changes
    # nothing: an add whose metadata is not JSON goes to FullVendrelDB alone, and must
    # leave it agreeing with a VendrelDB that never saw that call.
    rng = random.Random(11)
    contract = vendrel.VendrelDB(str(tmp_path / "contract"))
    full = FullVendrelDB(str(tmp_path / "full"), index=index)
    for _ in range(600):
        method, args = random_call(rng, 4)
        if method == "add" and args[2] == "{not json":
            assert outcome(full, method, args)[0] in ("ValueError", "TypeError"), args
            continue
        got, expected = outcome(full, method, args), outcome(contract, method, args)
        if method == "delete" and got[0] == expected[0] == "ok":
            # The contract counts again the deleted ids a filter still selects (a deleted
            # id added again, or one the numeric index keeps); FullVendrelDB counts the
            # documents it deletes. Both delete the same: later counts are compared.
            assert got[1] <= expected[1], args
            continue
        assert got == expected, (method, args)
    assert (tmp_path / "full" / "metadata.bin").read_bytes() == (tmp_path / "contract" / "metadata.bin").read_bytes()


def test_add_many_equals_the_same_rows_added_one_by_one(tmp_path):
    rng = np.random.default_rng(5)
    n = 9000  # crosses the batch's chunking and the numeric index's flush threshold
    ids = rng.integers(0, 7000, size=n).astype(np.int64)  # repeats: later rows replace earlier ones
    vectors = rng.normal(size=(n, DIM)).astype(np.float32)
    metas = [json.dumps({"c": COLOURS[i % 4], "p": float(i % 97), "v": {"w": i % 5}}) for i in range(n)]
    ttls = [3600 if i % 3 == 0 else None for i in range(n)]
    one = FullVendrelDB(str(tmp_path / "one"))
    for row in range(n):
        one.add(int(ids[row]), vectors[row], metas[row], ttls[row])
    many = FullVendrelDB(str(tmp_path / "many"))
    assert many.add_many(ids, vectors, metas, ttls) is None
    assert (tmp_path / "many" / "metadata.bin").read_bytes() == (tmp_path / "one" / "metadata.bin").read_bytes()
    assert many.count() == one.count()
    for filter_json in [None, json.dumps({"p": {"$lt": 40}}), json.dumps({"v.w": {"$eq": 3}})]:
        for query in rng.normal(size=(3, DIM)):
            assert many.search(query, 20, filter_json) == one.search(query, 20, filter_json)
    assert many.delete(json.dumps({"c": {"$eq": "red"}})) == one.delete(json.dumps({"c": {"$eq": "red"}}))


def test_add_many_reads_strided_rows_as_their_contiguous_copy(tmp_path):
    # Rows each contiguous at a fixed distance (read in place), and rows that are not
    # (read one by one): both store what a C-contiguous copy stores.
    base = np.random.default_rng(8).normal(size=(60, DIM + 3))
    views = {"every_third_row": base.astype(np.float32)[::3, :DIM], "reversed": base.astype(np.float32)[::-1, :DIM],
             "float64_every_other_row": base[::2, :DIM], "fortran_order": np.asfortranarray(base[:, :DIM], np.float32)}
    queries = np.random.default_rng(9).normal(size=(3, DIM))
    for name, view in views.items():
        metas = [json.dumps({"r": row}) for row in range(len(view))]
        strided = FullVendrelDB(str(tmp_path / name / "strided"))
        strided.add_many(np.arange(len(view)), view, metas)
        copied = FullVendrelDB(str(tmp_path / name / "copied"))
        copied.add_many(np.arange(len(view)), np.ascontiguousarray(view), metas)
        for query in queries:
            assert strided.search(query, len(view)) == copied.search(query, len(view)), name


@pytest.mark.parametrize("vector, meta, message", [
    ([1.0, 2.0], "{}", "row 2: Dimension mismatch: expected 3, got 2"),
    ([1.0, 2.0, 3.0], "{oops", "row 2: metadata is not valid JSON: key must be a string at line 1 column 2"),
    ([1.0, float("nan"), 3.0], "{}", "row 2: vector[1] is nan: vectors must hold finite numbers"),
    ([1.0, 2.0, 3.0], {"a": float("nan")}, "row 2: metadata: Out of range float values are not JSON compliant"),
])
def test_add_many_stores_the_rows_before_a_refused_row_and_nothing_of_it(tmp_path, vector, meta, message):
    rows = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], vector, [0.0, 0.0, 1.0]]
    metas = ['{"k":0}', '{"k":1}', meta, '{"k":3}']
    db = FullVendrelDB(str(tmp_path / "db"))
    with pytest.raises(ValueError) as raised:
        db.add_many([10, 11, 12, 13], rows, metas)
    assert str(raised.value) == message
    reference = FullVendrelDB(str(tmp_path / "reference"))
    reference.add_many([10, 11], rows[:2], metas[:2])
    with pytest.raises(ValueError) as single:
        reference.add(12, rows[2], metas[2])
    assert f"row 2: {single.value}" == message
    assert db.count() == reference.count() == 12
    assert (tmp_path / "db" / "metadata.bin").read_bytes() == (tmp_path / "reference" / "metadata.bin").read_bytes()
    assert db.search([1.0, 1.0, 1.0], 10) == reference.search([1.0, 1.0, 1.0], 10)


def test_add_many_conversion_errors_name_the_row_and_store_nothing(tmp_path):
    db = FullVendrelDB(str(tmp_path / "db"))
    vectors = np.ones((3, 2), dtype=np.float32)
    with pytest.raises(OverflowError, match="^row 1: id must be between 0 and 4294967295, got -1$"):
        db.add_many(np.array([1, -1, 2]), vectors, ["{}"] * 3)
    with pytest.raises(TypeError, match="^row 2: metadata must be a str or a mapping, not int$"):
        db.add_many([1, 2, 3], vectors, ["{}", "{}", 5])
    with pytest.raises(TypeError, match="^row 0: vector must be a sequence of numbers or a 1-D array, not str$"):
        db.add_many([1], ["abc"], ["{}"])
    # Complex values are refused, not cut to their real part (numpy warns at most).
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for rows, refused in [(np.array([[1.0, 2j]]), r"\[0\] must be a number, not complex128"),
                              ([[1.0, np.complex64(1)]], r"\[1\] must be a number, not complex64")]:
            with pytest.raises(TypeError, match=rf"^row 0: vector{refused}$"):
                db.add_many([1], rows, ["{}"])
        with pytest.raises(TypeError, match=r"^query\[0\] must be a number, not complex128$"):
            db.search(np.array([1j, 0.0]), 1)
    with pytest.raises(ValueError, match="must have the same number of rows; got 3, 3, 3, 2$"):
        db.add_many([1, 2, 3], vectors, ["{}"] * 3, [None, 5])
    assert db.count() == 0
    assert not (tmp_path / "db" / "metadata.bin").exists()


def test_construction_refuses_unknown_index_kinds_and_nul_bytes(tmp_path):
    with pytest.raises(ValueError, match="^index must be 'exact' or 'hnsw', got 'flat'$"):
        FullVendrelDB(str(tmp_path / "db"), index="flat")
    assert FullVendrelDB(tmp_path / "positional", "hnsw", 8).count() == 0
    with pytest.raises(TypeError, match=r"takes from 1 to 5 positional arguments but 6 were given"):
        FullVendrelDB(str(tmp_path / "db"), "exact", 16, 100, 128, 1)
    with pytest.raises(ValueError, match="embedded null byte"):
        FullVendrelDB(str(tmp_path / "sub\x00evil"))
    assert not (tmp_path / "sub").exists()


def clustered(rng, count, dim, centres):
    labels = rng.integers(0, len(centres), size=count)
    return (centres[labels] + 0.35 * rng.normal(size=(count, dim))).astype(np.float32)


def test_graph_search_recall_hit_counts_and_deletes(tmp_path):
    rng = np.random.default_rng(9)
    n, dim = 6000, 32
    centres = rng.normal(size=(30, dim))
    vectors = clustered(rng, n, dim, centres)
    category = rng.integers(0, 20, size=n)
    price = rng.uniform(0, 100, size=n)
    metas = [json.dumps({"cat": f"c{category[i]}", "price": float(price[i])}) for i in range(n)]
    graph = FullVendrelDB(str(tmp_path / "graph"), index="hnsw")
    graph.add_many(np.arange(n), vectors, metas)
    exact = FullVendrelDB(str(tmp_path / "exact"))
    exact.add_many(np.arange(n), vectors, metas)
    # 50 % goes through the graph with the filter as its allowed-id test; 5 % and the
    # tiny set are scanned (below the crossover).
    filters = [None, {"price": {"$lt": 50}}, {"cat": {"$eq": "c3"}},
               {"$and": [{"cat": {"$eq": "c3"}}, {"price": {"$lt": 3}}]}]
    queries = clustered(rng, 40, dim, centres)

    def check(deleted):
        for flt in filters:
            text = json.dumps(flt) if flt else None
            found = total = 0
            for query in queries:
                hits = graph.search(query, 10, text, False)
                truth = exact.search(query, 10, text, False)
                assert len(hits) == len(truth)  # min(k, matching documents)
                assert not {hit[0] for hit in hits} & deleted
                found += len({hit[0] for hit in hits} & {hit[0] for hit in truth})
                total += len(truth)
            assert found >= 0.95 * total, (flt, found / total)

    check(set())
    removed = {"$or": [{"cat": {"$eq": "c1"}}, {"cat": {"$eq": "c2"}}]}
    assert graph.delete(json.dumps(removed)) == exact.delete(json.dumps(removed))
    check({i for i in range(n) if category[i] in (1, 2)})
    # A re-added live id is found at its new vector; a deleted one stays deleted.
    live = next(i for i in range(n) if category[i] not in (1, 2))
    gone = next(i for i in range(n) if category[i] == 1)
    for doc_id in (live, gone):
        graph.add(doc_id, -vectors[doc_id], metas[doc_id])
    assert graph.search(-vectors[live], 1, None, False)[0][0] == live
    assert gone not in {hit[0] for hit in graph.search(-vectors[gone], 10, None, False)}
    # add_many of stored ids: those given their vector again keep their nodes; those
    # given first their vector, then a new one, are found at the new one; the deleted
    # id stays deleted.
    ids = [i for i in range(300) if category[i] not in (1, 2) and i != live]
    fresh = clustered(rng, 50, dim, centres)
    batch_ids = ids + ids[:50] + [gone]
    batch_vectors = np.concatenate([vectors[ids], fresh, [-vectors[gone]]])
    graph.add_many(batch_ids, batch_vectors, [metas[i] for i in batch_ids])
    for i, doc_id in enumerate(ids):
        query = fresh[i] if i < 50 else vectors[doc_id]
        assert graph.search(query, 1, None, False)[0][0] == doc_id
    assert gone not in {hit[0] for hit in graph.search(-vectors[gone], 10, None, False)}


def test_graph_finds_documents_after_batches_that_move_half_of_them(tmp_path):
    # hnswlib's repair of moved nodes can leave nodes that no link names: moving half
    # of the vectors at once, 12 times, left 11 to 21 of 3,000 documents that no search
    # reached (its own replacement, one vector at a time, 0 to 3). They are linked back.
    rng = np.random.default_rng(1)
    n, dim = 3000, 32
    centres = rng.standard_normal((20, dim))
    vectors = clustered(rng, n, dim, centres)
    db = FullVendrelDB(str(tmp_path / "db"), index="hnsw", durability="memory")
    db.add_many(np.arange(n), vectors, ["{}"] * n)
    for _ in range(12):
        moved = rng.permutation(n)[: n // 2]
        vectors[moved] = clustered(rng, len(moved), dim, centres)
        db.add_many(moved, vectors[moved], ["{}"] * len(moved))
    best = db.search_many(vectors, 1, None, False, ef=n)
    lost = [i for i, hits in enumerate(best) if hits[0][0] != i and hits[0][1] < 1 - 1e-5]
    assert lost == []


def test_graph_search_scores_documents_stored_with_an_empty_vector_as_the_scan_does(tmp_path):
    rng = np.random.default_rng(0)
    vectors = rng.standard_normal((200, 8)).astype(np.float32)
    query = -vectors.sum(axis=0)  # about half the documents score below the empty one's 0
    found = {}
    for index in ("exact", "hnsw"):
        db = FullVendrelDB(str(tmp_path / index), index=index)
        db.add(0, [], '{"a": 1}')  # no node in the graph: stored before the dimension
        db.add_many(np.arange(1, 201), vectors, [json.dumps({"a": i % 2}) for i in range(1, 201)])
        db.close()
        db = FullVendrelDB(str(tmp_path / index), index=index)  # read back from the checkpoint
        options = {"ef": 1000} if index == "hnsw" else {}
        found[index] = [db.search(query, 150, filter_json, **options) for filter_json in (None, {"a": 1})]
    assert found["hnsw"] == found["exact"]
    assert all((0, 0.0, '{"a": 1}') in hits for hits in found["exact"])


def test_graph_search_chooses_among_duplicates_as_the_scan_does(tmp_path):
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((300, 16)).astype(np.float32)
    vectors[:150] = vectors[0]
    graph = FullVendrelDB(str(tmp_path / "graph"), index="hnsw", durability="memory")
    # One add at a time builds the same graph every run. Built by add_many on the pool,
    # about 1 graph in 100 of this one leaves all but 70 nodes out of reach of the
    # search: a fault still open, which this test does not cover.
    for doc_id, vector in enumerate(vectors):
        graph.add(doc_id, vector, "{}")
    # Every document within reach of the search: the lowest ids among equal scores.
    assert [hit[0] for hit in graph.search(vectors[0], 10, None, False, ef=300)] == list(range(10))


def test_graph_settings_are_checked(tmp_path):
    with pytest.raises(ValueError, match="^m must be between 2 and 1000, got 1$"):
        FullVendrelDB(str(tmp_path / "db"), index="hnsw", m=1)
    db = FullVendrelDB(str(tmp_path / "db"), index="hnsw", m=8, ef_construction=50, ef_search=20)
    db.add(0, [1.0, 0.0], "{}")
    assert db.search([1.0, 0.0], 1, ef=400) == [(0, pytest.approx(1.0), "{}")]
    with pytest.raises(ValueError, match="^ef must be between 1 and 100000, got 0$"):
        db.search([1.0, 0.0], 1, ef=0)
    with pytest.raises(TypeError, match="takes from 2 to 4 positional arguments but 5 were given"):
        db.search([1.0, 0.0], 1, None, True, 10)


def test_contract_add_many_equals_vendrel_adds_across_quantization(tmp_path, capfd):
    from vendrel_plus._native import ContractDB

    rng = np.random.default_rng(13)
    n = 11000  # the chunk holding id 4999 is added row by row, the others in bulk
    vectors = rng.normal(size=(n, DIM)).astype(np.float32)
    metas = [json.dumps({"c": COLOURS[i % 4], "p": float(i % 89)}) for i in range(n)]
    metas[9000] = "{broken"
    ids = np.arange(n)
    one = vendrel.VendrelDB(str(tmp_path / "one"))
    with pytest.raises(ValueError) as expected:
        for row in range(n):
            one.add(int(ids[row]), vectors[row], metas[row], 60 if row % 5 == 0 else None)
    many = ContractDB(str(tmp_path / "many"))
    with pytest.raises(ValueError, match=f"^row 9000: {expected.value}$"):
        many.add_many(ids, vectors, metas, [60 if row % 5 == 0 else None for row in range(n)])
    assert capfd.readouterr().out == "Activating quantization at 5000 vectors...\n" * 2
    assert (tmp_path / "many" / "metadata.bin").read_bytes() == (tmp_path / "one" / "metadata.bin").read_bytes()
    assert many.count() == one.count()
    for filter_json in [None, json.dumps({"p": {"$lt": 30}}), json.dumps({"c": {"$eq": "red"}})]:
        for query in rng.normal(size=(3, DIM)):
            assert many.search(query, 10, filter_json) == one.search(query, 10, filter_json)


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_search_many_answers_each_query_as_search_does(tmp_path, index):
    rng = np.random.default_rng(21)
    n = 3000
    vectors = rng.normal(size=(n, DIM)).astype(np.float32)
    vectors[100:110] = vectors[100]  # equal scores: ascending ids in both paths
    metas = [{"c": COLOURS[i % 4], "p": i % 50} for i in range(n)]
    db = FullVendrelDB(tmp_path / "db", index=index)
    db.add_many(np.arange(n), vectors, metas)
    assert db.delete({"c": {"$eq": "blue"}}) == n // 4
    queries = np.vstack([rng.normal(size=(20, DIM)), vectors[100:101]]).astype(np.float32)
    for filter_json in [None, {"p": {"$lt": 10}}, json.dumps({"c": {"$eq": "red"}})]:
        for k in (1, 10, 500):
            expected = [db.search(query, k, filter_json) for query in queries]
            assert db.search_many(queries, k, filter_json) == expected
            assert db.search_many(queries.tolist(), k, filter_json, True) == expected
    with pytest.raises(ValueError, match="^query 1: Dimension mismatch: the query has 3 components, the stored"):
        db.search_many([[0.0] * DIM, [1.0, 2.0, 3.0]], 5)
    bad = np.ones((2, DIM), dtype=np.float32)
    bad[1, 2] = np.nan
    with pytest.raises(ValueError, match=r"^query 1: query\[2\] is nan: vectors must hold finite numbers$"):
        db.search_many(bad, 5)
    # The first refused query is named, whichever its fault.
    with pytest.raises(ValueError, match=r"^query 0: query\[0\] is inf"):
        db.search_many([[np.inf] + [0.0] * (DIM - 1), [1.0]], 5)
    with pytest.raises(ValueError, match="^query 0: Dimension mismatch"):
        db.search_many([[1.0], [np.nan] * DIM], 5)
    assert db.search_many(np.zeros((0, DIM), dtype=np.float32), 5) == []
    # The collector, held off while a batch's hits are built, is left as it was.
    gc.disable()
    try:
        db.search_many(queries, 10)
        assert not gc.isenabled()
    finally:
        gc.enable()
    db.search_many(queries, 10)
    assert gc.isenabled()

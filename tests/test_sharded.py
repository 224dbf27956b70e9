"""ShardedVendrelDB on a local Ray (2 CPUs, started once for this module), checked
against plain databases given the same calls."""

import json
import os
import random
import re
import shutil
import signal
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import vendrel  # noqa: E402
from vendrel_plus import FullVendrelDB, ShardedVendrelDB, ShardInterruptedError, ShardLostError  # noqa: E402
from vendrel_plus._native import ContractDB  # noqa: E402
from vendrel_plus.merge import merge_hits  # noqa: E402
from test_readme import run_printing_snippet  # noqa: E402
from test_full_filters import random_document, random_filter as random_full_filter  # noqa: E402
from test_sharded_rules import delete_over_partitions, random_filter, random_metadata  # noqa: E402

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="Ray's own processes would inherit the sanitizer; the layer is pure Python over the module tested there",
)


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    # A Ray instance of its own, even when one runs on the machine already.
    start_local_ray()
    yield
    ray.shutdown()


def start_local_ray():
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)


def outcome(call, *args, **kwargs):
    """What a call returns, or the class and message of what it raises."""
    try:
        return "ok", call(*args, **kwargs)
    except Exception as error:
        return type(error), str(error)


def plain_database(kind, path):
    return vendrel.VendrelDB(path) if kind == "contract" else FullVendrelDB(path)


def add_one_by_one(db, ids, vectors, texts, ttls=None):
    """add_many's documented effect on a database without it: the rows in order,
    stopping at the first failure with "row N: " in front of its message."""
    for row, doc_id in enumerate(ids):
        try:
            db.add(int(doc_id), vectors[row], texts[row], None if ttls is None else ttls[row])
        except ValueError as error:
            raise ValueError(f"row {row}: {error}") from None


# ---- One shard is one database --------------------------------------------------------

BAD_ADDS = [
    (-1, [0.0] * 8, "{}"), (2**32, [0.0] * 8, "{}"), (1, "abc", "{}"), (1, 5, "{}"), (1, ["x"] * 8, "{}"),
    (1, [0.0] * 8, 5), (1, [0.0] * 8, "{}", "x"), (1, [0.0] * 3, "{}"), (3, [0.5] * 8, "not json"),
    (4, [0.5] * 8, "[1, 2]"),
]
BAD_SEARCHES = [("abc", 5), ([0.0] * 8, -1), ([0.0] * 8, 5, 7), ([0.0] * 8, 5, None, 1), ([0.0] * 8, 5, "{")]


def random_step(rng, dimension):
    """One random call: (method name, arguments)."""
    draw = rng.random()
    vector = [rng.gauss(0.0, 1.0) for _ in range(dimension)]
    if draw < 0.4:
        ttl = rng.choice([None] * 8 + [-10, 3600])
        return "add", (rng.randrange(400), vector, random_metadata(rng), ttl)
    if draw < 0.5:
        return "add", rng.choice(BAD_ADDS)
    if draw < 0.7:
        filter_json = rng.choice([None, None, random_filter(rng)])
        return "search", (vector, rng.choice([0, 1, 5, 50]), filter_json, rng.random() < 0.5)
    if draw < 0.75:
        return "search", rng.choice(BAD_SEARCHES)
    if draw < 0.85:
        return "delete", (rng.choice([random_filter(rng)] * 5 + ["{", 5]),)
    if draw < 0.9:
        scored = [(rng.randrange(450), rng.random()) for _ in range(rng.randrange(6))]
        return "build_results", rng.choice([(scored, True), (scored, False), ([(1, 0.5, 7)], True), ("ab", True)])
    if draw < 0.95:
        return "count", ()
    return "clean_expired", ()


def agree(kind, method, arguments, got, expected):
    """Whether a sharded call's outcome is the plain database's. The full kind gives
    FullVendrelDB's outcomes exactly. The contract kind keeps the contract's results,
    but takes its arguments in Python's words as the full kind does: a refused argument
    raises an argument error with another message (a negative k is a ValueError, not
    an OverflowError), k = 0 is refused, and any object is taken for include_metadata
    by its truth."""
    if kind == "full":
        return got == expected
    if method == "search" and expected[0] == "ok" and arguments[1] == 0:
        return got[0] is ValueError
    if method == "search" and len(arguments) == 4 and not isinstance(arguments[3], bool):
        return got[0] == "ok"
    return got == expected if expected[0] == "ok" else got[0] in (TypeError, ValueError, OverflowError)


@pytest.mark.parametrize("kind", ["contract", "full"])
def test_one_shard_gives_the_plain_databases_results(tmp_path, kind):
    rng = random.Random(7)
    plain = plain_database(kind, str(tmp_path / "plain"))
    with ShardedVendrelDB(str(tmp_path / "sharded"), 1, kind=kind) as sharded:
        dimension = 8
        for db in (plain, sharded):
            db.add(0, [1.0] * dimension, "{}")
        for step in range(400):
            if step == 150:
                # Enough slots for the contract database to quantize from here on.
                ids = np.arange(400, 5500, dtype=np.uint32)
                vectors = np.random.default_rng(1).normal(size=(len(ids), dimension)).astype(np.float32)
                texts = [random_metadata(rng) for _ in ids]
                sharded.add_many(ids, vectors, texts)
                add_one_by_one(plain, ids, vectors, texts)
            method, arguments = random_step(rng, dimension)
            expected = outcome(getattr(plain, method), *arguments)
            got = outcome(getattr(sharded, method), *arguments)
            assert agree(kind, method, arguments, got, expected), (step, method, arguments, got, expected)
        assert sharded.count() == plain.count()
        assert sharded.search([1.0] * dimension, 10**6, None, True) == plain.search([1.0] * dimension, 10**6)


# ---- Several shards -------------------------------------------------------------------


def fill(rng, count, dimension):
    ids = rng.sample(range(count * 2), count)
    vectors = np.random.default_rng(rng.randrange(1000)).normal(size=(count, dimension)).astype(np.float32)
    return ids, vectors, [random_metadata(rng) for _ in ids]


@pytest.mark.parametrize("shards", [2, 4])
def test_search_count_and_delete_over_shards(tmp_path, shards):
    rng = random.Random(shards)
    ids, vectors, texts = fill(rng, 600, 16)
    one = vendrel.VendrelDB(str(tmp_path / "one"))
    parts = [ContractDB(str(tmp_path / f"part-{shard}")) for shard in range(shards)]
    with ShardedVendrelDB(str(tmp_path / "sharded"), shards) as sharded:
        for row, doc_id in enumerate(ids):
            sharded.add(doc_id, vectors[row], texts[row])
            one.add(doc_id, vectors[row], texts[row])
            parts[doc_id % shards].add(doc_id // shards, vectors[row], texts[row])
        for _ in range(60):
            query = np.random.default_rng(rng.randrange(1000)).normal(size=16).astype(np.float32)
            filter_json = rng.choice([None, random_filter(rng)])
            k = rng.choice([1, 10, 100])
            expected = merge_hits(
                [[(local * shards + shard, score, text) for local, score, text in part.search(query, k, filter_json)]
                 for shard, part in enumerate(parts)],
                [False] * shards, k)
            assert sharded.search(query, k, filter_json) == expected
            filter_json = random_filter(rng)
            deleted = sharded.delete(filter_json)
            assert deleted == one.delete(filter_json) == delete_over_partitions(parts, filter_json), filter_json
            assert sharded.count() == one.count()
        everything = [1.0] * 16
        assert ({hit[0] for hit in sharded.search(everything, 10**6, None, False)} ==
                {hit[0] for hit in one.search(everything, 10**6, None, False)})


def test_full_shards_find_the_exact_nearest_documents(tmp_path):
    rng = random.Random(3)
    ids, vectors, texts = fill(rng, 2000, 24)
    with ShardedVendrelDB(str(tmp_path / "sharded"), 4, kind="full", index="exact") as sharded:
        sharded.add_many(np.array(ids, dtype=np.int64), vectors, texts)
        red = np.array([json.loads(text).get("colour") == "red" for text in texts])
        unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        for seed in range(10):
            query = np.random.default_rng(seed).normal(size=24).astype(np.float32)
            cosine = unit @ (query / np.linalg.norm(query))
            for filter_json, allowed in [(None, np.ones(len(ids), bool)), ('{"colour": {"$eq": "red"}}', red)]:
                best = sorted(np.flatnonzero(allowed), key=lambda row: -cosine[row])[:10]
                hits = sharded.search(query, 10, filter_json, False)
                assert [hit[0] for hit in hits] == [ids[row] for row in best]
                np.testing.assert_allclose([hit[1] for hit in hits], cosine[best], rtol=1e-5)


def test_full_shards_delete_with_the_filter_as_given(tmp_path):
    rng = random.Random(6)
    one = FullVendrelDB(str(tmp_path / "one"))
    with ShardedVendrelDB(str(tmp_path / "sharded"), 3, kind="full") as sharded:
        for doc_id in rng.sample(range(300), 150):
            text = json.dumps(random_document(rng))
            one.add(doc_id, [1.0, 0.5], text)
            sharded.add(doc_id, [1.0, 0.5], text)
        # Every shard refuses the filter before it deletes anything.
        refused = '{"$or": [{"c": "red"}, {"n": {"$foo": 1}}]}'
        assert outcome(sharded.delete, refused) == outcome(one.delete, refused)
        assert outcome(sharded.delete, refused)[0] is ValueError
        everything = [1.0, 0.5]
        deleted = 0
        for _ in range(60):
            filter_json = json.dumps(random_full_filter(rng))
            if len(one.search(everything, 10**6, filter_json, False)) <= 15:  # not all at once
                count = sharded.delete(filter_json)
                assert count == one.delete(filter_json), filter_json
                deleted += count
        assert deleted > 0
        assert ({hit[0] for hit in sharded.search(everything, 10**6, None, False)} ==
                {hit[0] for hit in one.search(everything, 10**6, None, False)})


def test_mixed_regimes_rank_full_vector_shards_first(tmp_path):
    with ShardedVendrelDB(str(tmp_path / "sharded"), 2) as sharded:
        # Even ids fill shard 0 past the quantization threshold; shard 1 holds three
        # documents pointing away from the query, so that by score alone they would
        # come last.
        even = np.arange(0, 10002, 2)
        vectors = np.random.default_rng(5).normal(size=(len(even), 8)).astype(np.float32)
        sharded.add_many(even, vectors, ["{}"] * len(even))
        query = vectors[10]
        for doc_id, scale in [(1, -1.0), (3, -2.0), (5, -0.5)]:
            sharded.add(doc_id, query * scale + np.float32(0.1) * doc_id, "{}")
        hits = sharded.search(query, 6, None, False)
        assert [hit[0] % 2 for hit in hits] == [1, 1, 1, 0, 0, 0]
        assert [hit[1] for hit in hits[:3]] == sorted((hit[1] for hit in hits[:3]), reverse=True)
        assert max(hit[1] for hit in hits[:3]) < 0 < min(hit[1] for hit in hits[3:])


# ---- add_many -------------------------------------------------------------------------


def test_add_many_stores_what_adds_one_by_one_store(tmp_path, monkeypatch):
    # Rounds of 50 rows, so that a batch spans several rounds sent ahead of each other.
    monkeypatch.setattr("vendrel_plus.sharded.BATCH_VECTOR_BYTES", 50 * 6 * 4)
    rng = random.Random(11)
    plain = FullVendrelDB(str(tmp_path / "plain"))
    with ShardedVendrelDB(str(tmp_path / "sharded"), 3, kind="full") as sharded:
        # Empty vectors while the dimension is open, then rows of 6; a ttl column.
        ids = rng.sample(range(1000), 300)
        rows = [[] for _ in range(5)] + np.random.default_rng(2).normal(size=(295, 6)).tolist()
        texts = [random_metadata(rng) for _ in ids]
        ttls = [rng.choice([None, 3600, -10]) for _ in ids]
        batches = [(ids, rows, texts, ttls)]
        # A text that is not JSON at row 150, while other shards hold later rows.
        ids = rng.sample(range(1000, 2000), 300)
        texts = [random_metadata(rng) for _ in ids]
        texts[150] = '{"colour": '
        batches.append((np.array(ids, dtype=np.uint32), np.random.default_rng(3).normal(size=(300, 6)), texts, None))
        # A row of another length at row 40.
        ids = list(range(2000, 2100))
        rows = np.random.default_rng(4).normal(size=(100, 6)).tolist()
        rows[40] = [1.0] * 5
        batches.append((ids, rows, ["{}"] * 100, None))
        for batch in batches:
            expected = outcome(add_one_by_one, plain, *batch)
            assert outcome(sharded.add_many, *batch) == expected
            assert sharded.count() == plain.count()
        query = [1.0] * 6
        assert sharded.search(query, 10**6) == plain.search(query, 10**6)
        scored = [(doc_id, 0.5) for doc_id in range(2200)]
        assert sharded.build_results(scored, True) == plain.build_results(scored, True)
        # Conversion errors: the database's own, and nothing stored.
        before = sharded.count()
        for batch in [([1, -2], [[0.0] * 6] * 2, ["{}"] * 2), ([1, 2], [[0.0] * 6, "ab"], ["{}"] * 2),
                      ([1, 2], [[0.0] * 6] * 2, ["{}"]), ([1], "ab", ["{}"])]:
            assert outcome(sharded.add_many, *batch) == outcome(plain.add_many, *batch)
        assert sharded.count() == before


# ---- Shard processes ------------------------------------------------------------------


def test_shards_run_at_normal_priority(tmp_path):
    # Ray starts its workers at nice 15; a shard's work is what the client waits for.
    with ShardedVendrelDB(str(tmp_path / "sharded"), 2, kind="full") as sharded:
        assert [os.getpriority(os.PRIO_PROCESS, pid) for _, pid in sharded.locations()] == [0, 0]


# ---- Durable shards -------------------------------------------------------------------


def documents(db):
    """Every live document's id and metadata."""
    return sorted((doc_id, text) for doc_id, _, text in db.search([1.0] * 8, 10**6))


def kill(sharded, shard):
    os.kill(sharded.locations()[shard][1], signal.SIGKILL)


def test_a_killed_full_shard_comes_back_with_every_acknowledged_document(tmp_path, monkeypatch):
    # Rounds of 40 rows, so that a batch has rounds on their way when a shard restarts.
    monkeypatch.setattr("vendrel_plus.sharded.BATCH_VECTOR_BYTES", 40 * 8 * 4)
    rng = np.random.default_rng(8)
    plain = FullVendrelDB(str(tmp_path / "plain"), durability="memory")
    path = tmp_path / "sharded"
    with ShardedVendrelDB(str(path), 2, kind="full") as sharded:
        ids = np.arange(300)
        vectors = rng.normal(size=(300, 8)).astype(np.float32)
        texts = [{"v": 1, "i": int(i)} for i in ids]
        for db in (plain, sharded):
            db.add_many(ids, vectors, texts)
        # A read right after the kill waits for the restarted shard.
        kill(sharded, 1)
        assert sharded.count() == 300
        assert documents(sharded) == documents(plain)
        # A batch whose rounds meet the restart: each reaches the shard, in order (the
        # ids repeated in the second half end as the second half stored them).
        kill(sharded, 1)
        again = np.concatenate([np.arange(100, 250), np.arange(150, 300)])
        vectors = rng.normal(size=(300, 8)).astype(np.float32)
        texts = [{"v": 2 + row // 150} for row in range(300)]
        for db in (plain, sharded):
            db.add_many(again, vectors, texts)
        assert documents(sharded) == documents(plain)
        # A delete that meets the kill may or may not have been applied there; the
        # other shard's part was, and a second delete finishes the job.
        kill(sharded, 1)
        with pytest.raises(ShardInterruptedError, match="^shard 1 of 2 was interrupted: .* during delete, which may "
                                                        "or may not have been applied there") as raised:
            sharded.delete({"v": 3})
        assert raised.value.shard == 1 and isinstance(raised.value.__cause__, ray.exceptions.RayActorError)
        sharded.delete({"v": 3})
        plain.delete({"v": 3})
        assert documents(sharded) == documents(plain) and sharded.count() == plain.count()
        # A shard whose directory is gone does not come back empty.
        shutil.rmtree(path / "shard-1")
        kill(sharded, 1)
        with pytest.raises(ShardLostError, match=f"^shard 1 of 2 is lost: its directory {re.escape(str(path))}/"
                                                 "shard-1 no longer holds the shard"):
            sharded.count()
        sharded.add(2, [1.0] * 8, "{}")  # shard 0 serves on
    assert not (path / "shard-1").exists()


def test_constructor_mistakes_are_refused_in_full_vendreldbs_words(tmp_path):
    (tmp_path / "file").write_text("")
    for path in (5, None, str(tmp_path / "file"), ""):
        assert outcome(ShardedVendrelDB, path, 1, kind="full") == outcome(FullVendrelDB, path)
    assert outcome(ShardedVendrelDB, str(tmp_path / "a"), 1, kind="full", durability="disk") == outcome(
        FullVendrelDB, str(tmp_path / "b"), durability="disk")


def test_the_readme_snippet_runs_and_prints_what_it_says(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    runs, promised = run_printing_snippet("Scale-out on Ray", capsys)
    assert [printed for printed in runs] == [promised, promised] == [["7 100 5000"]] * 2


def test_a_sharded_path_opens_again_with_its_documents(tmp_path):
    rng = random.Random(4)
    path = tmp_path / "sharded"
    ids, vectors, texts = fill(rng, 400, 8)
    with ShardedVendrelDB(str(path), 2, kind="full", index="hnsw", ef_search=200) as sharded:
        sharded.add_many(ids, vectors, texts, [rng.choice([None, 3600]) for _ in ids])
        sharded.delete({"colour": "red"})
        before = documents(sharded), sharded.count()
    # Opened at once after close (which released the directories); the settings left
    # out are the stored ones, and the client learns the dimension from the shards (a
    # client that took the refused rows' length for it would refuse the next add).
    with ShardedVendrelDB(str(path), 2, kind="full") as sharded:
        assert (documents(sharded), sharded.count()) == before
        with pytest.raises(ValueError, match="^row 0: Dimension mismatch: expected 8, got 3$"):
            sharded.add_many([1], [[1.0] * 3], ["{}"])
        sharded.add(1, [1.0] * 8, "{}")
    with pytest.raises(ValueError, match=re.escape(
            f"{path} was created with shards=2, kind='full' ({path}/shard-0 holds shard 0 of 2); it cannot be "
            "opened with shards=3, kind='contract'")):
        ShardedVendrelDB(str(path), 3, kind="contract")
    shutil.rmtree(path / "shard-1")
    with pytest.raises(ShardLostError, match=f"^shard 1 of 2 is lost: its directory {re.escape(str(path))}/"
                                             "shard-1 no longer holds the shard .* or remove"):
        ShardedVendrelDB(str(path), 2, kind="full")
    assert not (path / "shard-1").exists()


# ---- Lost shards ----------------------------------------------------------------------


IN_MEMORY = "its documents were in memory only; reopen the database"
NOT_RESTARTED = "its process ended and Ray did not restart it (it restarts a shard at most 0 times)"


@pytest.mark.parametrize("kind, options, detail", [("contract", {}, IN_MEMORY),
                                                   ("full", {"durability": "memory"}, IN_MEMORY),
                                                   ("full", {}, NOT_RESTARTED)],
                         ids=["contract", "full-memory", "full-not-restarted"])
def test_a_killed_shard_that_is_not_restarted_is_reported_on_every_call_that_needs_it(tmp_path, monkeypatch, kind,
                                                                                       options, detail):
    monkeypatch.setattr("vendrel_plus.sharded.SHARD_MAX_RESTARTS", 0)
    with ShardedVendrelDB(str(tmp_path / "sharded"), 2, kind=kind, **options) as sharded:
        for doc_id in range(10):
            sharded.add(doc_id, [1.0, float(doc_id)], "{}")
        pids = [pid for _, pid in sharded.locations()]
        os.kill(pids[1], signal.SIGKILL)
        message = re.escape(f"shard 1 of 2 is lost: {detail}")
        for call, arguments in [(sharded.search, ([1.0, 0.0], 5)), (sharded.count, ()), (sharded.delete, ("{}",)),
                                (sharded.add, (3, [1.0, 0.0], "{}")), (sharded.build_results, ([(5, 1.0)], True)),
                                (sharded.clean_expired, ())]:
            with pytest.raises(ShardLostError, match=message) as raised:
                call(*arguments)
            assert isinstance(raised.value.__cause__, ray.exceptions.RayActorError)
            assert raised.value.shard == 1
        # Shard 0 still serves its own documents; arguments are checked before any shard.
        sharded.add(4, [1.0, 0.0], "{}")
        assert sharded.build_results([(4, 1.0), (2, 0.5)], True) == [(4, 1.0, "{}"), (2, 0.5, "{}")]
        with pytest.raises(TypeError, match="^query must be a sequence of numbers"):
            sharded.search("abc", 5)
    # close() ended the shard it could reach.
    deadline = time.monotonic() + 30
    while process_exists(pids[0]):
        assert time.monotonic() < deadline, "shard 0 outlived close()"
        time.sleep(0.1)


def process_exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def test_a_database_without_a_dimension_yet_behaves_as_a_plain_one(tmp_path):
    plain = FullVendrelDB(str(tmp_path / "plain"))
    with ShardedVendrelDB(str(tmp_path / "sharded"), 2, kind="full") as sharded:
        for db in (plain, sharded):
            # A refused first row fixes no dimension, through add or add_many.
            assert outcome(db.add, 0, [1.0, 2.0, 3.0], "{not json")[0] is ValueError
            assert outcome(db.add_many, [1], [[1.0, 2.0, 3.0]], ["{not json"])[0] is ValueError
            # Queries of several lengths are answered while no dimension is fixed.
            db.add(2, [], "{}")
            assert db.search_many([[1.0], [1.0, 2.0]], 3) == [[(2, 0.0, "{}")]] * 2

            class CallingBack(list):
                """A vector whose reading calls the database."""

                def __iter__(self):
                    db.count()
                    return list.__iter__(self)

            db.add(3, CallingBack([1.0, 2.0]), "{}")
        assert sharded.search([1.0, 2.0], 5) == plain.search([1.0, 2.0], 5)
        # The first refused query of a batch is the one named, whichever its fault.
        for queries in ([[float("nan"), 1.0], [1.0]], [[1.0], [float("nan"), 1.0]]):
            refused = outcome(plain.search_many, queries, 3)
            assert refused[0] is ValueError and refused[1].startswith("query 0: ")
            assert outcome(sharded.search_many, queries, 3) == refused


def test_shards_beyond_the_default_weight_ask_for_less_so_that_all_start(tmp_path):
    from vendrel_plus import sharded

    assert sharded._shard_cpus(2) == sharded.SHARD_CPUS
    assert 9 * sharded._shard_cpus(9) <= 2 and 1000 * sharded._shard_cpus(1000) <= 2

    # Every CPU taken by the user's own actor: the shards still start.
    @ray.remote(num_cpus=ray.available_resources()["CPU"])
    class Busy:
        def ready(self):
            return True

    busy = Busy.remote()
    ray.get(busy.ready.remote())
    deadline = time.monotonic() + 30  # Ray's view of what is free lags behind placements
    while ray.available_resources().get("CPU", 0.0) > 0 and time.monotonic() < deadline:
        time.sleep(0.1)
    try:
        with ShardedVendrelDB(str(tmp_path / "db"), 2, kind="full") as db:
            db.add(1, [1.0, 0.0], "{}")
            assert db.count() == 2
    finally:
        ray.kill(busy)


def test_a_database_whose_ray_was_shut_down_reports_its_shards_lost_and_starts_no_ray(tmp_path):
    db = ShardedVendrelDB(str(tmp_path / "db"), 2, kind="full")
    db.add(1, [1.0, 0.0], "{}")
    ray.shutdown()
    try:
        with pytest.raises(ShardLostError, match="Ray was shut down in this process while the database was open"):
            db.search([1.0, 0.0], 1)
        db.close()
        assert not ray.is_initialized()
    finally:
        start_local_ray()
    # The same once another Ray runs in this process: it knows none of the shards.
    stale = ShardedVendrelDB(str(tmp_path / "stale"), 2, kind="full")
    ray.shutdown()
    start_local_ray()
    with pytest.raises(ShardLostError, match="Ray was shut down in this process while the database was open"):
        stale.count()
    stale.close()
    with ShardedVendrelDB(str(tmp_path / "db"), 2, kind="full") as reopened:
        assert reopened.search([1.0, 0.0], 1) == [(1, 1.0, "{}")]


def test_a_creation_refused_by_one_shard_leaves_the_path_a_new_database(tmp_path):
    (tmp_path / "db" / "shard-1").mkdir(parents=True)
    (tmp_path / "db" / "shard-1" / "MANIFEST").write_bytes(b"damaged")
    with pytest.raises(ValueError, match="MANIFEST"):
        ShardedVendrelDB(str(tmp_path / "db"), 2, kind="full")
    shutil.rmtree(tmp_path / "db" / "shard-1")
    with ShardedVendrelDB(str(tmp_path / "db"), 2, kind="full") as db:
        db.add(3, [1.0, 0.0], "{}")
        assert db.search([1.0, 0.0], 1) == [(3, 1.0, "{}")]


def test_a_client_that_loses_the_race_to_create_a_path_leaves_the_winners_records(tmp_path, monkeypatch):
    path = str(tmp_path / "db")
    with ShardedVendrelDB(path, 2, kind="full") as winner:
        winner.add(1, [1.0, 0.0], "{}")
        # The loser looked for records before the winner wrote them, then finds the
        # shards' directories open.
        call = ShardedVendrelDB._call

        def found_nothing(self, method, arguments):
            if method == "find_record":
                return {shard: False for shard in arguments}
            return call(self, method, arguments)

        monkeypatch.setattr(ShardedVendrelDB, "_call", found_nothing)
        with pytest.raises(ValueError, match="open in another process or object"):
            ShardedVendrelDB(path, 2, kind="full")
        monkeypatch.setattr(ShardedVendrelDB, "_call", call)
        assert all((tmp_path / "db" / f"shard-{shard}" / "SHARD").exists() for shard in range(2))
        assert winner.search([1.0, 0.0], 1) == [(1, 1.0, "{}")]

"""FullVendrelDB keeps its directory: a reopened database answers as the same database
never closed, its settings are stored, its directory is locked while open, and the
durability levels and the life cycle (close, checkpoint, the context manager) behave as
documented."""

import json
import multiprocessing
import os
import random
import time

import numpy as np
import pytest

from vendrel_plus import FullVendrelDB

DIM = 8
FILTERS = [None, {"c": "red"}, {"p": {"$lt": 40}}, {"c": {"$ne": "blue"}}, {"t": {"$exists": True}},
           {"$or": [{"c": "green"}, {"p": {"$gte": 90}}]}, {"$not": {"c": {"$in": ["red", "cyan"]}}}]


def answers(db, rng_seed):
    """What a database answers: count, searches with and without filters, metadata."""
    rng = np.random.default_rng(rng_seed)
    queries = rng.normal(size=(4, DIM)).astype(np.float32)
    found = [db.count()]
    for filter_json in FILTERS:
        found.append(db.search_many(queries, 7, filter_json, ef=100000))
    found.append(db.build_results([(i, 0.5) for i in range(0, 120, 7)], True))
    return found


def random_step(db, rng):
    """One random call, refused ones included."""
    doc_id = rng.randrange(100)
    draw = rng.random()
    if draw < 0.45:
        vector = [rng.uniform(-1, 1) for _ in range(DIM if rng.random() > 0.05 else DIM + 1)]
        meta = {"c": rng.choice(["red", "green", "blue", "cyan"]), "p": rng.randrange(100)}
        if rng.random() < 0.3:
            meta["t"] = rng.choice(["x", "y"])
        text = json.dumps(meta) if rng.random() > 0.05 else "{broken"
        ttl = rng.choice([None, None, None, -1, 3600])
        db.add(doc_id, vector, text, ttl)
    elif draw < 0.6:
        ids = [rng.randrange(120) for _ in range(rng.randrange(1, 12))]
        vectors = np.random.default_rng(rng.randrange(1000)).normal(size=(len(ids), DIM)).astype(np.float32)
        texts = [{"c": rng.choice(["red", "blue"]), "p": rng.randrange(100)} for _ in ids]
        if rng.random() < 0.2:
            texts[rng.randrange(len(ids))] = "{broken"
        db.add_many(ids, vectors, texts)
    elif draw < 0.75:
        db.delete(rng.choice(FILTERS[1:]))
    elif draw < 0.8:
        db.clean_expired()
    else:
        db.count()


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_a_reopened_database_answers_as_its_never_closed_twin(tmp_path, index):
    rng_a, rng_b, rng_how = random.Random(3), random.Random(3), random.Random(4)
    durable = FullVendrelDB(tmp_path / "durable", index)
    twin = FullVendrelDB(tmp_path / "twin", index, durability="memory")
    for step in range(400):
        for db, rng in ((durable, rng_a), (twin, rng_b)):
            try:
                random_step(db, rng)
            except ValueError:
                pass
        if step % 40 == 39:
            # Closed (a checkpoint), dropped (the log replayed) or checkpointed and dropped.
            how = rng_how.choice(["close", "drop", "checkpoint"])
            if how == "close":
                durable.close()
            elif how == "checkpoint":
                durable.checkpoint()
            del durable
            durable = FullVendrelDB(tmp_path / "durable")
            assert answers(durable, step) == answers(twin, step), (step, how)


def test_an_expiry_passes_while_the_database_is_closed(tmp_path):
    with FullVendrelDB(tmp_path / "db") as db:
        db.add(1, [1.0, 0.0], "{}", ttl=1)
        db.add(2, [0.0, 1.0], "{}")
    time.sleep(2.1)
    db = FullVendrelDB(tmp_path / "db")
    assert [hit[0] for hit in db.search([1.0, 0.0], 5)] == [2]
    assert db.count() == 2  # id bound 3, one expired


def hold_directory(path, ready, done):
    db = FullVendrelDB(path)
    ready.set()
    done.wait(30)
    db.close()


def test_one_writer_per_directory(tmp_path):
    first = FullVendrelDB(tmp_path / "db")
    message = "is open in another process or object; close it there first"
    with pytest.raises(ValueError, match=message):
        FullVendrelDB(tmp_path / "db")
    with pytest.raises(ValueError, match=message):
        FullVendrelDB(tmp_path / "db", durability="memory")
    first.close()
    context = multiprocessing.get_context("spawn")
    ready, done = context.Event(), context.Event()
    other = context.Process(target=hold_directory, args=(str(tmp_path / "db"), ready, done))
    other.start()
    try:
        assert ready.wait(60)
        with pytest.raises(ValueError, match=message):
            FullVendrelDB(tmp_path / "db")
    finally:
        done.set()
        other.join(60)
    FullVendrelDB(tmp_path / "db").close()


def test_settings_are_stored_and_a_different_one_is_refused(tmp_path):
    with FullVendrelDB(tmp_path / "db", "hnsw", m=8, ef_construction=40) as db:
        db.add(0, [1.0, 2.0, 3.0], "{}")
    with pytest.raises(ValueError, match="created with index='hnsw'; it cannot be opened with index='exact'"):
        FullVendrelDB(tmp_path / "db", index="exact")
    with pytest.raises(ValueError, match="created with m=8; it cannot be opened with m=16"):
        FullVendrelDB(tmp_path / "db", "hnsw", m=16)
    with FullVendrelDB(tmp_path / "db", ef_search=500) as db:  # left out: the stored ones
        assert db.search([1.0, 2.0, 3.0], 1)[0][0] == 0
        with pytest.raises(ValueError, match="Dimension mismatch: expected 3, got 2"):
            db.add(1, [1.0, 2.0], "{}")


def stored_setting(directory, name):
    """A setting as MANIFEST stores it: u32-prefixed key and value texts, side by side."""
    data = (directory / "MANIFEST").read_bytes()
    key = len(name).to_bytes(4, "little") + name.encode()
    at = data.index(key) + len(key)
    return data[at + 4:at + 4 + int.from_bytes(data[at:at + 4], "little")].decode()


def test_the_directory_opened_is_the_one_written_and_its_files_are_not_taken_for_leftovers(tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    monkeypatch.chdir(tmp_path / "b")
    with FullVendrelDB("db", "hnsw", ef_search=64) as other:
        other.add(1, [1.0, 0.0], {"owner": "b"})
    # A relative path stays the directory it named when opened, whatever chdir follows.
    monkeypatch.chdir(tmp_path / "a")
    db = FullVendrelDB("db")
    monkeypatch.chdir(tmp_path / "b")
    db.add(2, [0.0, 1.0], {"owner": "a"})
    db.close()
    with FullVendrelDB(tmp_path / "a" / "db") as mine:
        assert [hit[0] for hit in mine.search([1.0, 1.0], 5)] == [2]
    # An ef_search named at reopening serves that object only.
    with FullVendrelDB("db", ef_search=500) as other:
        assert other.search([1.0, 1.0], 5) == [(1, pytest.approx(0.7071, abs=1e-4), '{"owner": "b"}')]
        other.add(3, [1.0, 1.0], {})
    assert stored_setting(tmp_path / "b" / "db", "ef_search") == "64"
    # Without its MANIFEST, a database's files are refused, not removed as leftovers.
    (tmp_path / "b" / "db" / "MANIFEST").unlink()
    names = sorted(path.name for path in (tmp_path / "b" / "db").iterdir())
    with pytest.raises(ValueError, match=r"MANIFEST is missing, but the directory holds a database's files "
                       r"\(graph-3, log-3, rows-3, state-3\); restore MANIFEST"):
        FullVendrelDB(tmp_path / "b" / "db")
    with pytest.raises(ValueError, match="holds a durable database"):
        FullVendrelDB(tmp_path / "b" / "db", durability="memory")
    assert sorted(path.name for path in (tmp_path / "b" / "db").iterdir()) == names
    # A creation cut short before its first manifest left generation 1 with an empty log.
    (tmp_path / "cut").mkdir()
    for name, content in (("state-1", b"part"), ("rows-1", b"part"), ("log-1", b""), ("MANIFEST.tmp", b"")):
        (tmp_path / "cut" / name).write_bytes(content)
    with FullVendrelDB(tmp_path / "cut") as fresh:
        assert fresh.count() == 0


def test_a_forked_process_is_refused_the_database_it_did_not_open(tmp_path):
    db = FullVendrelDB(tmp_path / "db")
    db.add(1, [1.0, 0.0], {})
    child = os.fork()
    if child == 0:  # the child must neither write the parent's files nor search them
        refused = 0
        for call in (lambda: db.add(2, [1.0, 0.0], {}), db.count, db.checkpoint, db.close):
            try:
                call()
            except ValueError as error:
                refused += "a forked process shares its files" in str(error)
        os._exit(0 if refused == 4 else 1)
    assert os.waitpid(child, 0)[1] == 0
    db.add(3, [1.0, 0.0], {})
    db.close()
    with FullVendrelDB(tmp_path / "db") as reopened:
        assert reopened.count() == 4  # ids 0 to 3, none deleted


def test_levels_and_the_life_cycle(tmp_path):
    # A directory holding only a metadata file opens empty and appends after its texts.
    (tmp_path / "old").mkdir()
    (tmp_path / "old" / "metadata.bin").write_bytes(b'{"old": 1}')
    with FullVendrelDB(tmp_path / "old", durability="power") as db:
        assert db.count() == 0
        db.add(5, [1.0, 0.0], {"new": 2})
    assert (tmp_path / "old" / "metadata.bin").read_bytes() == b'{"old": 1}{"new": 2}'
    with pytest.raises(ValueError, match="holds a durable database: open it with durability 'process' or 'power'"):
        FullVendrelDB(tmp_path / "old", durability="memory")
    with FullVendrelDB(tmp_path / "old") as db:
        assert db.search([1.0, 0.0], 1) == [(5, pytest.approx(1.0), '{"new": 2}')]
    # In memory: nothing kept, as before.
    with FullVendrelDB(tmp_path / "mem", durability="memory") as db:
        db.add(1, [1.0], "{}")
    assert FullVendrelDB(tmp_path / "mem", durability="memory").count() == 0
    db = FullVendrelDB(tmp_path / "closed")
    db.close()
    db.close()
    for call in (lambda: db.add(1, [1.0], "{}"), db.count, lambda: db.search([1.0], 1), db.checkpoint, db.__enter__):
        with pytest.raises(ValueError, match="^operation on a closed FullVendrelDB$"):
            call()
    with pytest.raises(ValueError, match="durability must be 'process', 'power' or 'memory', got 'disk'"):
        FullVendrelDB(tmp_path / "x", durability="disk")

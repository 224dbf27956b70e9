"""Several threads hammer one database with mixed adds, searches, deletes, counts and
expiry sweeps for a bounded time. Nothing may crash or hang, and afterwards the
bookkeeping must agree with the database: every id a search returned was added and not
deleted before the search began, and count() is the id bound less the ids removed."""

import json
import random
import threading
import time

import pytest

import vendrel

DURATION = 5.0
THREADS = 4
DIMENSION = 8
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


class SlowFloat:
    """A query component whose conversion runs Python code, so the interpreter can
    switch threads while the search holds its borrow."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class Book:
    def __init__(self):
        self.lock = threading.Lock()
        self.next_id = 0
        self.added = set()  # ids whose add returned
        self.removed = set()  # ids deleted, or added already expired (gone at the next sweep)
        self.gone = set()  # ids whose delete returned, or whose already-expired add returned
        self.deletable = []  # added live ids not yet chosen for deletion
        self.operations = 0
        self.borrow_refusals = 0
        self.failures = []

    def allocate(self):
        with self.lock:
            doc_id = self.next_id
            self.next_id += 1
            return doc_id


def retry_borrow(book, call):
    """Calls `call`, retrying while the database is borrowed by another thread's
    conversion (the specified RuntimeError)."""
    while True:
        try:
            return call()
        except RuntimeError as error:
            if str(error) not in BORROW_MESSAGES:
                raise
            with book.lock:
                book.borrow_refusals += 1
            time.sleep(0)


def worker(db, book, seed, deadline):
    rng = random.Random(seed)
    try:
        while time.monotonic() < deadline:
            action = rng.random()
            if action < 0.45:
                doc_id = book.allocate()
                vector = [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)]
                expired = rng.random() < 0.1
                ttl = -5 if expired else (3600 if rng.random() < 0.2 else None)
                text = json.dumps({"id": str(doc_id), "group": doc_id % 5, "n": doc_id})
                retry_borrow(book, lambda: db.add(doc_id, vector, text, ttl))
                with book.lock:
                    book.added.add(doc_id)
                    if expired:
                        book.removed.add(doc_id)
                        book.gone.add(doc_id)
                    else:
                        book.deletable.append(doc_id)
            elif action < 0.75:
                query = [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)]
                if rng.random() < 0.2:
                    query[0] = SlowFloat(query[0])
                filter_json = None
                if rng.random() < 0.5:
                    filter_json = rng.choice(
                        [
                            '{"group": {"$eq": 3}}',
                            '{"n": {"$gt": 100}}',
                            '{"$or": [{"group": {"$eq": 1}}, {"n": {"$lt": 50}}]}',
                            '{"$not": {"group": {"$eq": 0}}}',
                            '{"id": {"$exists": true}}',
                        ]
                    )
                with book.lock:
                    removed_before = set(book.gone)
                hits = retry_borrow(book, lambda: db.search(query, rng.choice([1, 5, 50]), filter_json, True))
                with book.lock:
                    # Another thread may add while this search converts its query.
                    allocated = book.next_id
                for hit_id, score, text in hits:
                    if hit_id >= allocated:
                        book.failures.append(f"search returned id {hit_id} never added")
                    if hit_id in removed_before:
                        book.failures.append(f"search returned id {hit_id} removed before the search")
                    if text and json.loads(text)["n"] != hit_id:
                        book.failures.append(f"id {hit_id} came back with metadata {text}")
            elif action < 0.85:
                with book.lock:
                    if not book.deletable:
                        continue
                    doc_id = book.deletable.pop(rng.randrange(len(book.deletable)))
                    book.removed.add(doc_id)
                selected = retry_borrow(book, lambda: db.delete(json.dumps({"id": {"$eq": str(doc_id)}})))
                with book.lock:
                    book.gone.add(doc_id)  # every search that starts from now on must miss it
                if selected != 1:
                    book.failures.append(f"delete of id {doc_id} selected {selected}")
            elif action < 0.95:
                count = retry_borrow(book, db.count)
                if not isinstance(count, int) or count < 0:
                    book.failures.append(f"count returned {count!r}")
            else:
                retry_borrow(book, db.clean_expired)
            with book.lock:
                book.operations += 1
    except BaseException as error:  # anything at all ends the run as a failure
        book.failures.append(f"{type(error).__name__}: {error}")


def test_mixed_operations_from_several_threads(tmp_path, capfd):
    db = vendrel.VendrelDB(str(tmp_path / "db"))
    book = Book()
    deadline = time.monotonic() + DURATION
    threads = [threading.Thread(target=worker, args=(db, book, seed, deadline), daemon=True) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=DURATION + 60)
    assert not any(thread.is_alive() for thread in threads), "a worker is stuck: deadlock"
    assert book.failures[:20] == []
    assert book.operations > 1000, book.operations

    # Every allocated id was added: the id bound is the number of ids allocated.
    assert book.added == set(range(book.next_id))
    db.clean_expired()
    assert db.count() == book.next_id - len(book.removed)
    live = book.added - book.removed
    hits = db.search([0.0] * DIMENSION, book.next_id + 10, '{"id": {"$exists": true}}', False)
    assert {hit[0] for hit in hits} <= live
    for doc_id in sorted(book.removed)[:200]:
        assert db.search([0.0] * DIMENSION, 1, json.dumps({"id": {"$eq": str(doc_id)}})) == []
    print(f"load: {THREADS} threads x {DURATION:.0f} s: {book.operations} operations, "
          f"{book.next_id} adds, {len(book.removed)} removed, {book.borrow_refusals} borrow refusals")
    out = capfd.readouterr().out
    assert out.count("Activating quantization at 5000 vectors...\n") == (1 if book.next_id > 5000 else 0)
    with capfd.disabled():
        print("\n" + out.splitlines()[-1])

"""Mixed load on one FullVendrelDB from many Python threads, checked against a model.

Each thread runs a random mix of search, search_many, add, add_many (new documents and
new versions of its own documents), delete, count and clean_expired for a fixed time.
Every answer is checked as it comes, and the final state against the model:

- no half-stored document: a hit's metadata names the version of the document, and its
  score must be the cosine of the query with that version's vector;
- no deleted id in the answer of a search that began after the delete returned;
- every hit list sorted (higher score first, equal scores by ascending id);
- at the end: the live ids, each with the last version its thread stored, and count().

Run as a benchmark (figures into the results, 8 threads x 30 s per index kind):

    python bench/full_load.py --seconds 30 --threads 8

tests/test_full_threads.py runs a short version in the test suite.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

import numpy as np

DIMENSION = 16


def vector_of(doc_id: int, version: int) -> np.ndarray:
    """The vector of one version of a document: a function of both, so a hit's score
    tells which version's vector the database held."""
    return np.random.default_rng(doc_id * 1_000_003 + version).normal(size=DIMENSION).astype(np.float32)


def metadata_of(doc_id: int, version: int) -> dict:
    return {"sid": str(doc_id), "v": version, "g": doc_id % 5, "n": doc_id}


@dataclass
class Model:
    lock: threading.Lock = field(default_factory=threading.Lock)
    next_id: int = 0
    versions: dict = field(default_factory=dict)  # acknowledged id -> last version
    gone: set = field(default_factory=set)  # ids whose delete (or already-expired add) returned
    operations: dict = field(default_factory=dict)
    failures: list = field(default_factory=list)

    def allocate(self, count: int = 1) -> int:
        with self.lock:
            first = self.next_id
            self.next_id += count
            return first

    def done(self, operation: str) -> None:
        with self.lock:
            self.operations[operation] = self.operations.get(operation, 0) + 1

    def fail(self, message: str) -> None:
        with self.lock:
            self.failures.append(message)


FILTERS = [None, None, {"g": {"$eq": 3}}, {"n": {"$gt": 100}}, {"$or": [{"g": {"$eq": 1}}, {"n": {"$lt": 50}}]}]


def check_hits(model: Model, query: np.ndarray, hits: list, gone_before: set, allocated: int) -> None:
    previous = None
    for doc_id, score, text in hits:
        if previous is not None and (score > previous[1] or (score == previous[1] and doc_id < previous[0])):
            model.fail(f"unsorted hits: {previous} before {(doc_id, score)}")
        previous = (doc_id, score)
        if doc_id in gone_before:
            model.fail(f"id {doc_id} returned by a search that began after its delete returned")
        if doc_id >= allocated:
            model.fail(f"id {doc_id} was never added")
        metadata = json.loads(text)
        if metadata["sid"] != str(doc_id):
            model.fail(f"id {doc_id} came back with the metadata of {metadata['sid']}")
        stored = vector_of(doc_id, metadata["v"])
        cosine = float(stored @ query) / (float(np.linalg.norm(stored)) * float(np.linalg.norm(query)))
        if abs(cosine - score) > 1e-4:
            model.fail(f"id {doc_id}: score {score} is not that of version {metadata['v']} ({cosine})")


def worker(db, model: Model, seed: int, deadline: float) -> None:
    rng = random.Random(seed)
    mine: dict = {}  # this thread's live documents: id -> version
    try:
        while time.monotonic() < deadline:
            action = rng.random()
            if action < 0.25:
                if mine and rng.random() < 0.3:
                    doc_id = rng.choice(list(mine))
                    version = mine[doc_id] + 1
                else:
                    doc_id, version = model.allocate(), 0
                expired = version == 0 and rng.random() < 0.05
                db.add(doc_id, vector_of(doc_id, version), metadata_of(doc_id, version), -5 if expired else None)
                with model.lock:
                    model.versions[doc_id] = version
                    if expired:
                        model.gone.add(doc_id)
                if not expired:
                    mine[doc_id] = version
                model.done("add")
            elif action < 0.32:
                count = rng.randrange(1, 40)
                first = model.allocate(count)
                ids = np.arange(first, first + count)
                db.add_many(ids, np.stack([vector_of(int(i), 0) for i in ids]), [metadata_of(int(i), 0) for i in ids])
                with model.lock:
                    for doc_id in ids.tolist():
                        model.versions[doc_id] = 0
                mine.update({int(i): 0 for i in ids})
                model.done("add_many")
            elif action < 0.62:
                query = np.random.default_rng(rng.randrange(1 << 30)).normal(size=DIMENSION).astype(np.float32)
                with model.lock:
                    gone_before = set(model.gone)
                hits = db.search(query, rng.choice([1, 5, 50]), rng.choice(FILTERS))
                with model.lock:
                    allocated = model.next_id
                check_hits(model, query, hits, gone_before, allocated)
                model.done("search")
            elif action < 0.72:
                queries = np.random.default_rng(rng.randrange(1 << 30)).normal(size=(rng.randrange(1, 9), DIMENSION))
                queries = queries.astype(np.float32)
                with model.lock:
                    gone_before = set(model.gone)
                lists = db.search_many(queries, rng.choice([1, 10]), rng.choice(FILTERS))
                with model.lock:
                    allocated = model.next_id
                if len(lists) != len(queries):
                    model.fail(f"search_many gave {len(lists)} lists for {len(queries)} queries")
                for query, hits in zip(queries, lists):
                    check_hits(model, query, hits, gone_before, allocated)
                model.done("search_many")
            elif action < 0.82:
                if not mine:
                    continue
                doc_id = rng.choice(list(mine))
                del mine[doc_id]
                selected = db.delete({"sid": {"$eq": str(doc_id)}})
                with model.lock:
                    model.gone.add(doc_id)
                if selected != 1:
                    model.fail(f"delete of id {doc_id} selected {selected}")
                model.done("delete")
            elif action < 0.95:
                if db.count() < 0:
                    model.fail("negative count")
                model.done("count")
            else:
                db.clean_expired()
                model.done("clean_expired")
    except BaseException as error:  # anything at all ends the thread as a failure
        model.fail(f"{type(error).__name__}: {error}")


def check_final_state(db, model: Model) -> None:
    db.clean_expired()
    live = {doc_id: version for doc_id, version in model.versions.items() if doc_id not in model.gone}
    if db.count() != model.next_id - len(model.gone):
        model.fail(f"count() {db.count()}, the model {model.next_id - len(model.gone)}")
    hits = db.search(np.ones(DIMENSION, dtype=np.float32), model.next_id + 10)
    found = {doc_id: json.loads(text)["v"] for doc_id, _, text in hits}
    if found != live:
        missing = sorted(set(live) - set(found))[:5]
        extra = sorted(set(found) - set(live))[:5]
        stale = sorted(doc_id for doc_id in set(found) & set(live) if found[doc_id] != live[doc_id])[:5]
        model.fail(f"final state differs: missing {missing}, extra {extra}, stale versions {stale}")


def run_load(db, seconds: float, threads: int, seed: int = 0) -> Model:
    """Runs the load on `db` and checks the final state; the model holds the figures
    and every failure seen."""
    model = Model()
    deadline = time.monotonic() + seconds
    workers = [threading.Thread(target=worker, args=(db, model, seed * 1000 + i, deadline), daemon=True)
               for i in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join(timeout=seconds + 120)
    if any(thread.is_alive() for thread in workers):
        model.fail("a worker is stuck: deadlock")
        return model
    check_final_state(db, model)
    return model


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--durability", default=None)
    arguments = parser.parse_args()
    from vendrel_plus import FullVendrelDB

    failed = False
    for index in ("exact", "hnsw"):
        with tempfile.TemporaryDirectory() as directory:
            options = {} if arguments.durability is None else {"durability": arguments.durability}
            db = FullVendrelDB(f"{directory}/db", index=index, **options)
            model = run_load(db, arguments.seconds, arguments.threads)
            total = sum(model.operations.values())
            print(f"{index}: {arguments.threads} threads x {arguments.seconds:.0f} s: {total} operations "
                  f"({', '.join(f'{name} {count}' for name, count in sorted(model.operations.items()))}); "
                  f"{len(model.failures)} errors or invariant violations; final state: {db.count()} counted, "
                  f"{len(model.versions)} ids added, {len(model.gone)} removed")
            for failure in model.failures[:10]:
                print("  ", failure)
            failed |= bool(model.failures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

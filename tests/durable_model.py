"""A plain model of what a FullVendrelDB holds, fed the calls that were acknowledged,
for the crash, power-loss and damage tests: which ids are live, with which vector and
metadata text, and what count() says. It is not the code under test: it knows nothing of
logs, checkpoints or indexes.

A random workload (`random_calls`) produces calls the model can follow: adds of new ids
and re-adds (half of them with the vector the id holds), add_many batches (some with a
refused row: the rows before it are stored), deletes by a group field, already-expired
adds, and checkpoints.
"""

import json
import random

import numpy as np

DIMENSION = 6
GROUPS = 4


class Model:
    def __init__(self):
        self.docs = {}  # id -> (vector tuple, metadata text)
        self.removed = set()  # deleted or expired ids: they stay removed when added again
        self.bound = 0

    def copy(self):
        other = Model()
        other.docs = dict(self.docs)
        other.removed = set(self.removed)
        other.bound = self.bound
        return other

    def apply(self, call):
        """Applies one call that the database acknowledged."""
        method, arguments = call
        if method == "add":
            doc_id, vector, text, ttl = arguments
            self._store(doc_id, vector, text, ttl)
        elif method == "add_many":
            ids, vectors, texts, ttls, refused_row = arguments
            for row in range(refused_row if refused_row is not None else len(ids)):
                self._store(ids[row], vectors[row], texts[row], ttls[row])
        elif method == "delete":
            (group,) = arguments
            for doc_id, (_, text) in self.docs.items():
                if json.loads(text)["g"] == group:
                    self.removed.add(doc_id)

    def _store(self, doc_id, vector, text, ttl):
        self.docs[doc_id] = (tuple(vector), text)
        self.bound = max(self.bound, doc_id + 1)
        if ttl is not None and ttl < 0:
            self.removed.add(doc_id)  # gone at the next sweep, which every check runs first

    def live(self):
        return {doc_id: doc for doc_id, doc in self.docs.items() if doc_id not in self.removed}

    def count(self):
        return self.bound - len(self.removed)


def observe(db):
    """What a database holds, in the model's terms: the id bound, count() and every live
    id with its vector's score against a fixed probe and its metadata text. (The bound
    tells apart an add of an already expired new id, which changes nothing else.)"""
    from vendrel_plus import _native

    probe = np.linspace(-1.0, 1.0, DIMENSION).astype(np.float32)
    count = db.count()
    hits = db.search(probe, max(count, 1) + 10, None, True, ef=100000) if count else []
    return _native.id_bound(db), count, {doc_id: (round(score, 4), text) for doc_id, score, text in hits}


def expected_view(model):
    probe = np.linspace(-1.0, 1.0, DIMENSION)
    live = {}
    for doc_id, (vector, text) in model.live().items():
        v = np.asarray(vector, dtype=np.float32).astype(np.float64)
        score = float(v @ probe / (np.linalg.norm(v) * np.linalg.norm(probe)))
        live[doc_id] = (round(score, 4), text)
    return model.bound, model.count(), live


def views_match(seen, model):
    bound, count, live = seen
    want_bound, want_count, want_live = expected_view(model)
    if bound != want_bound or count != want_count or set(live) != set(want_live):
        return False
    return all(abs(live[i][0] - want_live[i][0]) <= 2e-4 and live[i][1] == want_live[i][1] for i in live)


def random_vector(rng):
    return [round(rng.uniform(-1.0, 1.0), 3) for _ in range(DIMENSION)]


def random_calls(seed, next_id):
    """An endless stream of (method, arguments) the model can follow; ids from next_id."""
    rng = random.Random(seed)
    vectors_given = {}  # an id added again may keep its vector (a graph keeps its links)
    while True:
        draw = rng.random()
        if draw < 0.45:
            doc_id = next_id if rng.random() < 0.7 or next_id == 0 else rng.randrange(next_id)
            next_id = max(next_id, doc_id + 1)
            ttl = -1 if rng.random() < 0.05 else None
            # A document keeps its group when added again: filters also match the
            # values an id held before, which the model does not follow.
            text = json.dumps({"g": doc_id % GROUPS, "v": rng.randrange(1000)})
            vector = vectors_given.get(doc_id) if rng.random() < 0.5 else None
            vectors_given[doc_id] = vector = vector or random_vector(rng)
            yield "add", (doc_id, vector, text, ttl)
        elif draw < 0.7:
            count = rng.randrange(1, 30)
            ids = list(range(next_id, next_id + count))
            next_id += count
            vectors = [random_vector(rng) for _ in ids]
            texts = [json.dumps({"g": i % GROUPS, "v": i}) for i in ids]
            ttls = [None] * count
            refused_row = None
            if rng.random() < 0.2:
                refused_row = rng.randrange(count)
                texts[refused_row] = "{not json"
            yield "add_many", (ids, vectors, texts, ttls, refused_row)
        elif draw < 0.8:
            yield "delete", (rng.randrange(GROUPS),)
        elif draw < 0.85:
            yield "checkpoint", ()
        else:
            yield "count", ()


def call_database(db, call):
    """Makes one call on a database; False when the database refused it (which the
    workload does on purpose for add_many's refused rows)."""
    method, arguments = call
    if method == "add":
        db.add(*arguments)
    elif method == "add_many":
        ids, vectors, texts, ttls, refused_row = arguments
        try:
            db.add_many(ids, vectors, texts, ttls)
        except ValueError:
            return refused_row is not None
    elif method == "delete":
        db.delete({"g": arguments[0]})
    elif method == "checkpoint":
        db.checkpoint()
    else:
        db.count()
    return True

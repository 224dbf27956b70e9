"""Recall against latency over ef for the graph systems, and FullVendrelDB's recall target,
on one data set of the peers benchmark, in one process so that what is compared is
measured side by side.

Run by peers_bench.py (a subprocess per data set, after the per-system workers):

  python bench/peers_bench.py --curves <data_dir> <out.json> <rounds>

What it measures, on the data set's vectors and held-out queries (data.npz, written by
peers_bench.build_dataset):

- Each graph system (vendrel-hnsw, hnswlib, usearch, faiss-hnsw; M = 16,
  ef_construction = 100) is built from the same rows. Its recall@10 and median
  single-query latency at each ef of EF_GRID, going up the grid until recall reaches
  0.99 or the latency passes twice faiss IndexFlatIP's (both seen in a first pass that
  only prunes the grid and is not reported).
- vendrel-hnsw was opened with target_recall=0.95: the calibration's time
  (db.calibration(10), the first time it is needed) against the time add_many took to
  store the same rows, and the recall and latency of searches without an ef (the
  method and ef it chose), also with the benchmark's three filters.
- faiss IndexFlatIP's single-query latency (exact).

Then `rounds` rounds: in each, every query runs in every configuration (system and ef,
the target's searches, the flat index) before the next query, in an order shuffled from
query to query, so that a change of load on the shared machine falls on every
configuration alike, and so does the cache a configuration finds: a rotated order put
each configuration always after the same one, and the one after the flat index's full
scan met cold caches every time (it measured twice its latency). Latency is the median over the queries of a round; the figure is
the median over rounds, with the range of the rounds' medians. Recall is the mean over
the queries of the first round (it does not change from round to round).
"""

import importlib
import json
import os
import random
import resource
import statistics
import tempfile
import time

import numpy as np

K = 10
HNSW_M, HNSW_EFC = 16, 100
TARGET = 0.95
EF_GRID = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096]
GRAPH_SYSTEMS = ["vendrel-hnsw", "hnswlib", "usearch", "faiss-hnsw"]


def normalise(x):
    return (x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-12)).astype(np.float32)


def recall_of(found, truth):
    hits = sum(len(set(int(i) for i in f) & set(int(i) for i in t)) for f, t in zip(found, truth))
    return hits / max(1, sum(len(t) for t in truth))


# ---------------------------------------------------------------- the systems
#
# build_<system>(vectors, directory, metadata) returns (index, seconds to build);
# configuration(system, index, ef) says how to search it at that ef, the setting made
# outside the timed call.


def build_vendrel(vectors, directory, metadata):
    from vendrel_plus import FullVendrelDB
    db = FullVendrelDB(os.path.join(directory, "db"), index="hnsw", m=HNSW_M, ef_construction=HNSW_EFC,
                       target_recall=TARGET)
    ids = np.arange(len(vectors))
    start = time.perf_counter()
    db.add_many(ids, vectors, metadata)
    return db, time.perf_counter() - start


def build_hnswlib(vectors, directory, metadata):
    import hnswlib
    index = hnswlib.Index(space="cosine", dim=vectors.shape[1])
    index.init_index(max_elements=len(vectors), ef_construction=HNSW_EFC, M=HNSW_M)
    index.set_num_threads(2)
    start = time.perf_counter()
    index.add_items(vectors, np.arange(len(vectors)))
    return index, time.perf_counter() - start


def build_usearch(vectors, directory, metadata):
    from usearch.index import Index
    index = Index(ndim=vectors.shape[1], metric="cos", dtype="f32", connectivity=HNSW_M, expansion_add=HNSW_EFC)
    start = time.perf_counter()
    index.add(np.arange(len(vectors), dtype=np.uint64), vectors, threads=2)
    return index, time.perf_counter() - start


def build_faiss_hnsw(vectors, directory, metadata):
    import faiss
    index = faiss.IndexHNSWFlat(vectors.shape[1], HNSW_M, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = HNSW_EFC
    start = time.perf_counter()
    index.add(normalise(vectors))
    return index, time.perf_counter() - start


def build_faiss_flat(vectors, directory, metadata):
    import faiss
    index = faiss.IndexFlatIP(vectors.shape[1])
    start = time.perf_counter()
    index.add(normalise(vectors))
    return index, time.perf_counter() - start


BUILDERS = {"vendrel-hnsw": build_vendrel, "hnswlib": build_hnswlib, "usearch": build_usearch,
            "faiss-hnsw": build_faiss_hnsw, "faiss-flat": build_faiss_flat}
# The module each system is built with: imported before the memory is measured, so
# that its code and libraries are not counted per document.
MODULES = {"vendrel-hnsw": "vendrel_plus", "vendrel-exact": "vendrel_plus", "hnswlib": "hnswlib",
           "usearch": "usearch.index", "faiss-hnsw": "faiss", "faiss-flat": "faiss"}


def configuration(system, index, ef, filter_json=None):
    """(prepare, search): prepare() sets the index to `ef` (None: the system's own
    choice), search(q) finds one query's ids. faiss takes queries normalised beforehand
    (the others normalise inside their call)."""
    if system == "vendrel-hnsw":
        if ef is None:
            return None, lambda q: [h[0] for h in index.search(q, K, filter_json, False)]
        return None, lambda q: [h[0] for h in index.search(q, K, None, False, ef=ef)]
    if system == "hnswlib":
        index.set_num_threads(1)
        return (lambda: index.set_ef(ef)), (lambda q: index.knn_query(q, k=K, num_threads=1)[0][0])
    if system == "usearch":
        return (lambda: setattr(index, "expansion_search", ef)), (lambda q: index.search(q, K, threads=1).keys)
    if system == "faiss-hnsw":
        return (lambda: setattr(index.hnsw, "efSearch", ef)), (lambda q: index.search(q[None, :], K)[1][0])
    if system == "faiss-flat":
        return None, lambda q: index.search(q[None, :], K)[1][0]
    raise ValueError(system)


def searcher(system, index, ef, filter_json=None):
    """configuration's search, the index set to `ef` once."""
    prepare, search = configuration(system, index, ef, filter_json)
    if prepare:
        prepare()
    return search


def time_queries(search, queries):
    """(median seconds per query, the ids found per query)."""
    found, seconds = [], []
    for q in queries:
        start = time.perf_counter()
        ids = search(q)
        seconds.append(time.perf_counter() - start)
        found.append(ids)
    return statistics.median(seconds), found


def rss_mb():
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# ---------------------------------------------------------------- the worker


def run_curves(data_dir, out_path, rounds, filters):
    """`filters`: (label, filter, selectivity, mask) of the benchmark's filters; the data
    set's exact filtered top 10 is data.npz's truth_<label>, less any id outside the mask
    (it holds disallowed ids when fewer than 10 are allowed)."""
    data = np.load(os.path.join(data_dir, "data.npz"))
    vectors, queries, truth = data["vectors"], data["queries"], data["truth"]
    with open(os.path.join(data_dir, "meta.json")) as handle:
        metadata = json.load(handle)
    unit_queries = normalise(queries)
    nf = int(data["n_filter_queries"])
    result = {"n": int(len(vectors)), "dim": int(vectors.shape[1]), "queries": int(len(queries)), "rounds": rounds,
              "target": TARGET, "systems": {}, "unavailable": {}}
    built = {}
    with tempfile.TemporaryDirectory(prefix="recall-curves-") as directory:
        for system in GRAPH_SYSTEMS + ["faiss-flat"]:
            before = rss_mb()
            try:
                built[system], seconds = BUILDERS[system](vectors, directory, metadata)
            except Exception as exc:  # a peer that is missing or fails is reported, the rest go on
                result["unavailable"][system] = f"{type(exc).__name__}: {exc}"[:300]
                continue
            result["systems"][system] = {"build_s": seconds, "build_rss_mb": rss_mb() - before}
            print(f"    built {system} in {seconds:.1f} s", flush=True)
        if "vendrel-hnsw" in built:
            db = built["vendrel-hnsw"]
            start = time.perf_counter()
            calibration = db.calibration(K)
            wall = time.perf_counter() - start
            add_many_s = result["systems"]["vendrel-hnsw"]["build_s"]
            result["calibration"] = {"seconds": wall, "add_many_s": add_many_s, "share_of_add_many": wall / add_many_s,
                                     "method": calibration["method"], "ef": calibration["ef"],
                                     "sample_recall": calibration["recall"], "queries": calibration["queries"],
                                     "graph_ms": calibration["graph_ms"], "scan_ms": calibration["scan_ms"],
                                     "trials": calibration["trials"]}
            result["filtered_calibrations"] = {}
            for label, flt, selectivity, _ in filters:
                if selectivity > 0:
                    c = db.calibration(K, allowed_fraction=min(1.0, selectivity))
                    result["filtered_calibrations"][label] = {key: c[key] for key in (
                        "allowed_fraction", "method", "ef", "recall", "seconds", "graph_ms", "scan_ms")}

        # The configurations: key -> (prepare, search, queries to run, truth).
        def query_set(system):
            return unit_queries if system.startswith("faiss") else queries

        configs = {}
        if "faiss-flat" in built:
            configs[("faiss-flat", None)] = (*configuration("faiss-flat", built["faiss-flat"], None), unit_queries, truth)
        if "vendrel-hnsw" in built:
            configs[("vendrel-hnsw", "target")] = (*configuration("vendrel-hnsw", built["vendrel-hnsw"], None), queries,
                                                   truth)
            for label, flt, _, mask in filters:
                allowed_truth = [[i for i in row if mask[i]] for row in data["truth_" + label]]
                configs[("vendrel-hnsw", "target " + label)] = (
                    *configuration("vendrel-hnsw", built["vendrel-hnsw"], None, json.dumps(flt)), queries[:nf],
                    allowed_truth)

        # Pruning pass: each graph system up the grid until recall 0.99 or twice the
        # flat index's latency.
        flat_s = None
        if ("faiss-flat", None) in configs:
            _, search, qs, _ = configs[("faiss-flat", None)]
            flat_s, _ = time_queries(search, qs)
        grid = {}
        for system in GRAPH_SYSTEMS:
            if system not in built:
                continue
            grid[system] = []
            for ef in EF_GRID:
                if ef < K:
                    continue
                grid[system].append(ef)
                seconds, found = time_queries(searcher(system, built[system], ef), query_set(system))
                if recall_of(found, truth) >= 0.99 or (flat_s is not None and seconds > 2 * flat_s):
                    break
        for system, efs in grid.items():
            for ef in efs:
                configs[(system, ef)] = (*configuration(system, built[system], ef), query_set(system), truth)

        # The measured rounds, interleaved query by query: each query runs in every
        # configuration before the next query, in an order shuffled from query to query.
        keys = list(configs)
        samples = {key: [] for key in keys}
        recalls = {}
        for round_index in range(rounds):
            seconds = {key: [] for key in keys}
            found = {key: [] for key in keys}
            for i in range(len(queries)):
                for key in random.Random(round_index * 1_000_003 + i).sample(keys, len(keys)):
                    prepare, search, qs, _ = configs[key]
                    if i >= len(qs):
                        continue
                    if prepare:
                        prepare()
                    start = time.perf_counter()
                    ids = search(qs[i])
                    seconds[key].append(time.perf_counter() - start)
                    found[key].append(ids)
            for key in keys:
                samples[key].append(statistics.median(seconds[key]))
                recalls.setdefault(key, recall_of(found[key], configs[key][3]))
        for key in keys:
            system, setting = key
            entry = {"recall": recalls[key], "median_ms": statistics.median(samples[key]) * 1e3,
                     "min_ms": min(samples[key]) * 1e3, "max_ms": max(samples[key]) * 1e3}
            target = result["systems"].setdefault(system, {})
            if setting is None:
                target["single_query"] = entry
            elif isinstance(setting, str):
                target.setdefault("target", {})[setting.replace("target", "").strip() or "unfiltered"] = entry
            else:
                target.setdefault("curve", []).append(dict(entry, ef=setting))
    for system, info in result["systems"].items():
        reaching = [point for point in info.get("curve", []) if point["recall"] >= TARGET]
        info["lowest_reaching_target"] = min(reaching, key=lambda p: p["median_ms"]) if reaching else None
    result["checks"] = checks(result)
    with open(out_path, "w") as handle:
        json.dump(result, handle)


def measure_memory(system, data_dir, out_path):
    """Bytes per document that building `system` from the data set's rows adds to this
    process's RSS, without metadata (vendrel's documents get "{}"): the structure alone,
    its module loaded before."""
    importlib.import_module(MODULES[system])
    data = np.load(os.path.join(data_dir, "data.npz"))
    vectors = np.ascontiguousarray(data["vectors"])
    metadata = ["{}"] * len(vectors)
    with tempfile.TemporaryDirectory(prefix="recall-memory-") as directory:
        ids = np.arange(len(vectors))
        before = rss_mb()
        if system == "vendrel-exact":
            from vendrel_plus import FullVendrelDB
            index = FullVendrelDB(os.path.join(directory, "db"))
            index.add_many(ids, vectors, metadata)
        else:
            index, _ = BUILDERS[system](vectors, directory, metadata)
        after = rss_mb()
        with open(out_path, "w") as handle:
            json.dump({"system": system, "bytes_per_doc": (after - before) * 1048576 / len(vectors)}, handle)
        del index


def checks(result):
    """The targets measured here: recall at the target, and latency at the target against
    the lower of hnswlib's lowest latency reaching it and the flat index's."""
    out = {}
    ours = result["systems"].get("vendrel-hnsw", {}).get("target", {})
    if "unfiltered" in ours:
        out["recall_at_target"] = {"value": ours["unfiltered"]["recall"], "limit": TARGET,
                                   "met": ours["unfiltered"]["recall"] >= TARGET}
        filtered = {label: entry["recall"] for label, entry in ours.items() if label != "unfiltered"}
        if filtered:
            out["filtered_recall_at_target"] = {"value": min(filtered.values()), "limit": TARGET,
                                                "met": min(filtered.values()) >= TARGET}
        references = []
        hnswlib = result["systems"].get("hnswlib", {}).get("lowest_reaching_target")
        if hnswlib:
            references.append(("hnswlib at ef %d" % hnswlib["ef"], hnswlib["median_ms"]))
        flat = result["systems"].get("faiss-flat", {}).get("single_query")
        if flat:
            references.append(("faiss IndexFlatIP", flat["median_ms"]))
        if references:
            name, limit = min(references, key=lambda r: r[1])
            value = ours["unfiltered"]["median_ms"]
            out["latency_at_target"] = {"value": value, "limit": limit, "reference": name, "ratio": value / limit,
                                        "met": value <= limit}
    calibration = result.get("calibration")
    if calibration:
        out["calibration_share"] = {"value": calibration["share_of_add_many"], "limit": 0.05,
                                    "met": calibration["share_of_add_many"] <= 0.05}
    return out

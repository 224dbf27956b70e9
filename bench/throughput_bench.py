"""Throughput of FullVendrelDB: batches, threads and the peers' batch searches, in one run.

On two data sets, the clustered 100,000 x 768 set and the MiniLM embeddings of the
standard library's docstrings (both from peers_bench.py), it measures queries per second
of top-10 unfiltered search for:

1. ``search_many`` with batches of 1, 10, 100 and 1,000 queries, against ``search`` called
   once per query (the reference), with ``index="exact"`` and ``index="hnsw"``;
2. 1, 2 and 4 Python threads calling ``search`` on one database, with oneTBB's pool as
   it is (on 2 cores one exact search already uses both) and, in a child process, with
   the pool limited to the calling thread (see ``limited_pool_worker``);
3. the peers' batch searches: faiss IndexFlatIP (exact) and IndexHNSWFlat, hnswlib
   ``knn_query`` with 1 and 2 threads, usearch, chromadb's query of many embeddings; the
   graph systems (ours with ``search_many`` of 1,000 queries) over a sweep of ef, giving
   QPS against recall@10;
4. ratios measured in the same rounds, and whether the throughput targets are met;
5. ``ShardedVendrelDB(shards=2, kind="full")``: ``search_many`` of 100 queries against
   the same two partitions searched in this process (in a child process with Ray).

Every comparison alternates its cases round by round (the order rotated each round) and
reports the median and range over rounds; ratios are taken per round, then the median.
Our calls pass include_metadata=False (the peers return ids only), except the sharded
part, which keeps the default (texts travel back through Ray).

Usage (in bench/.venv: ./bench/run.sh throughput sets it up, with Ray):
  python bench/throughput_bench.py             # N = 100,000, 1,000 queries, 5 rounds
  python bench/throughput_bench.py --quick     # N = 20,000, 300 queries, 3 rounds
  python bench/throughput_bench.py --smoke     # seconds: N = 2,000, one round, checks the harness
  python bench/throughput_bench.py --redraw bench/results/<date>-throughput.json
Results: bench/results/<date>-throughput.json, .md and .png.
"""

import argparse
import datetime
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

from peers_bench import (HNSW_EFC, HNSW_EFS, HNSW_M, K, Chroma, FaissFlat, FaissHNSW, Hnswlib, Usearch,  # noqa: E402
                         VendrelFull, VendrelHnsw, clustered, embed_real, exact_topk, machine_info, make_columns,
                         metadata_dict, normalise, recall)

HERE = os.path.dirname(os.path.abspath(__file__))
BATCHES = (1, 10, 100, 1000)
THREADS = (1, 2, 4)
EF_SWEEP = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384)
RECALL_LEVEL = 0.95
SHARDED_QUERIES = 100
# A round of the sharded cases takes a fraction of a second, and Ray's calls jitter by
# milliseconds: that part takes this many times the rounds.
SHARDED_ROUND_FACTOR = 6
# Between two timed calls: long enough for one library's idle workers (oneTBB's, OpenMP's)
# to stop spinning before the next library's call starts.
PAUSE_S = 0.05
TARGETS = {"threads_2_over_1": 1.7, "many_hnsw_over_one": 1.8, "many_hnsw_over_hnswlib_t2": 1.0,
           "many_exact_over_faiss_flat": 1.0, "sharded_overhead_ms_per_query": 0.1}


# ---------------------------------------------------------------- data


def load_dataset(name, args):
    """(vectors, queries, note): peers_bench's generator, or its docstring embeddings with
    the first `queries` of a fixed permutation held out as queries."""
    if name == "synth-768":
        both = clustered(args.n + args.queries, 768, seed=768 + args.n)
        return both[:args.n], both[args.n:], "mixture of 50 Gaussians (peers_bench.clustered)"
    vectors, total = embed_real(20000, os.path.join(HERE, ".venv", "cache", "stdlib-minilm.npz"))
    order = np.random.default_rng(7).permutation(len(vectors))
    documents = np.ascontiguousarray(vectors[np.sort(order[args.queries:])])
    queries = np.ascontiguousarray(vectors[order[:args.queries]])
    return documents, queries, f"all-MiniLM-L6-v2 embeddings of {total} standard library docstrings"


def adapter_context(vectors, with_dicts=False):
    """What peers_bench's adapters read: the vectors and the metadata of make_columns."""
    cols = make_columns(len(vectors), seed=11)
    dicts = [metadata_dict(cols, i) for i in range(len(vectors))]
    return {"vectors": vectors, "dim": vectors.shape[1], "n": len(vectors),
            "meta_json": [json.dumps(d) for d in dicts], "meta": dicts if with_dicts else None}


# ---------------------------------------------------------------- measuring


def interleaved(cases, rounds):
    """Runs every case once per round, the order rotated by one each round; returns each
    case's (wall seconds, CPU seconds of this process) per round and the ids of its
    first answer."""
    names = list(cases)
    seconds, found = {name: [] for name in names}, {}
    for r in range(rounds):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            time.sleep(PAUSE_S)
            cpu, started = time.process_time(), time.perf_counter()
            raw = cases[name]()
            seconds[name].append((time.perf_counter() - started, time.process_time() - cpu))
            if name not in found:
                found[name] = ids_of(raw)
    return seconds, found


def ids_of(raw):
    """Ids per query from any system's answer: hit tuples, id arrays or chromadb's dict."""
    if isinstance(raw, dict):
        return [[int(x) for x in row] for row in raw["ids"]]
    if isinstance(raw, np.ndarray):
        return raw.tolist()
    return [[hit[0] if isinstance(hit, tuple) else int(hit) for hit in row] for row in raw]


def spread(values):
    ordered = sorted(values)
    return {"median": statistics.median(ordered), "min": ordered[0], "max": ordered[-1]}


def summarise(seconds, found, count, truth):
    """QPS per round, its median and range, the cores the process kept busy (CPU seconds
    over wall seconds: on a shared machine, what the case actually got), and recall@10
    of the first answer."""
    qps = [count / wall for wall, _ in seconds]
    cores = statistics.median(cpu / wall for wall, cpu in seconds)
    return {**spread(qps), "rounds": qps, "cores": cores, "recall": recall(found, truth)}


def paired(a, b):
    """a / b round by round (both measured in the same rounds): median and range."""
    return spread([x / y for x, y in zip(a["rounds"], b["rounds"])])


def in_batches(call, queries, size):
    out = []
    for start in range(0, len(queries), size):
        out.extend(call(queries[start:start + size]))
    return out


def threaded(search, queries, threads):
    """`threads` Python threads share the queries (every threads-th one each) and start
    together; returns the answers in query order. Starting and joining the threads (tens
    of microseconds) is inside the caller's clock."""
    found = [None] * len(queries)
    barrier = threading.Barrier(threads)

    def work(first):
        barrier.wait()
        for i in range(first, len(queries), threads):
            found[i] = search(queries[i])

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return found


def thread_cases(dbs, queries):
    """One case per (index, thread count), and one query at a time on this thread."""
    cases = {}
    for kind, db in dbs.items():
        def search(q, db=db):
            return db.search(q, K, None, False)

        cases[f"{kind} one at a time"] = lambda search=search: [search(q) for q in queries]
        for threads in THREADS:
            cases[f"{kind} threads={threads}"] = lambda search=search, t=threads: threaded(search, queries, t)
    return cases


def at_recall(curve, level):
    """QPS at `level` on a curve of (recall, qps) points in ef order: linear interpolation
    between the last point below the level and the first at or above it (the first
    point's QPS when the curve starts above it); None when no point reaches it."""
    for i, (rec, qps) in enumerate(curve):
        if rec >= level:
            if i == 0:
                return qps
            low_rec, low_qps = curve[i - 1]
            return low_qps + (level - low_rec) / (rec - low_rec) * (qps - low_qps)
    return None


def process_threads():
    return len(os.listdir("/proc/self/task"))


# ---------------------------------------------------------------- parts 1 to 4 (one data set)


def build(name, make, ctx, warm, log):
    """Builds one system with peers_bench's adapter; None (and a note) when it fails."""
    started = time.perf_counter()
    try:
        adapter = make(ctx)
        adapter.ingest_batch(np.arange(ctx["n"]))
        warm(adapter)
    except Exception as exc:  # a peer that cannot be installed or run is reported, not fatal
        log[name] = f"failed: {type(exc).__name__}: {exc}"[:300]
        print(f"  {name}: {log[name]}", flush=True)
        return None
    log[name] = f"built in {time.perf_counter() - started:.1f} s"
    print(f"  {name}: {log[name]}", flush=True)
    return adapter


def run_dataset(name, vectors, queries, args, work):
    nq = len(queries)
    truth = exact_topk(normalise(vectors), normalise(queries), K)
    section = {"n": len(vectors), "dim": vectors.shape[1], "queries": nq, "build": {}}
    print(f"[{name}] n={len(vectors)} d={vectors.shape[1]} queries={nq}", flush=True)

    # The limited-pool child first, while this process holds nothing that runs.
    data_dir = os.path.join(work, name)
    os.makedirs(data_dir, exist_ok=True)
    np.savez(os.path.join(data_dir, "data.npz"), vectors=vectors, queries=queries, truth=truth)
    section["limited_pool"] = child("--limited-pool", data_dir, args)

    ctx = adapter_context(vectors, with_dicts=True)
    first = queries[:10]
    ours = {
        "exact": build("vendrel-exact", VendrelFull, ctx, lambda a: a.db.search_many(first, K), section["build"]),
        "hnsw": build("vendrel-hnsw", VendrelHnsw, ctx, lambda a: a.db.search_many(first, K), section["build"]),
    }
    dbs = {kind: adapter.db for kind, adapter in ours.items()}

    # 1. search_many in batches against search once per query.
    cases = {}
    for kind, db in dbs.items():
        cases[f"{kind} one at a time"] = lambda db=db: [db.search(q, K, None, False) for q in queries]
        for size in (b for b in BATCHES if b <= nq):
            cases[f"{kind} batch={size}"] = lambda db=db, size=size: in_batches(
                lambda chunk: db.search_many(chunk, K, None, False), queries, size)
    seconds, found = interleaved(cases, args.rounds)
    section["batches"] = {case: summarise(seconds[case], found[case], nq, truth) for case in cases}
    print_part("batches", section["batches"])

    # 2. Threads calling search, the pool as it is.
    seconds, found = interleaved(thread_cases(dbs, queries), args.rounds)
    section["threads"] = {case: summarise(seconds[case], found[case], nq, truth) for case in seconds}
    print_part("threads", section["threads"])

    # 3. Peers. The exact pair and chromadb once per round; the graph systems over the ef sweep.
    log = section["build"]
    peers = {
        "faiss-flat": build("faiss-flat", FaissFlat, ctx, lambda a: a.index.search(normalise(first), K), log),
        "faiss-hnsw": build("faiss-hnsw", FaissHNSW, ctx, lambda a: a.index.search(normalise(first), K), log),
        "hnswlib": build("hnswlib", Hnswlib, ctx, lambda a: a.index.knn_query(first, k=K), log),
        "usearch": build("usearch", Usearch, ctx, lambda a: a.index.search(first, K, threads=2), log),
        "chromadb": build("chromadb", Chroma, ctx,
                          lambda a: a.col.query(query_embeddings=list(first), n_results=K, include=[]), log),
    }
    largest = max(b for b in BATCHES if b <= nq)
    cases = {f"vendrel-exact search_many batch={largest}": lambda: in_batches(
        lambda chunk: dbs["exact"].search_many(chunk, K, None, False), queries, largest)}
    if peers["faiss-flat"]:
        index = peers["faiss-flat"].index
        cases["faiss-flat batch"] = lambda: index.search(normalise(queries), K)[1]
    if peers["chromadb"]:
        col = peers["chromadb"].col
        cases["chromadb batch (default search_ef)"] = lambda: col.query(query_embeddings=list(queries), n_results=K,
                                                                          include=[])
    seconds, found = interleaved(cases, args.rounds)
    section["peers"] = {case: summarise(seconds[case], found[case], nq, truth) for case in cases}
    print_part("peers", section["peers"])

    sweep = graph_sweep(dbs["hnsw"], peers, queries, largest)
    seconds, found = interleaved(sweep, args.rounds)
    curves = {}
    for case in sweep:
        system, ef = case.rsplit(" ef=", 1)
        curves.setdefault(system, {})[int(ef)] = summarise(seconds[case], found[case], nq, truth)
    section["curves"] = curves
    for system, points in curves.items():
        print(f"  {system:28s} " + " ".join(f"{ef}:{p['median']:.0f}/{p['recall']:.3f}" for ef, p in points.items()),
              flush=True)

    section["ratios"] = ratios(section, largest)
    for adapter in list(ours.values()) + list(peers.values()):
        if adapter is not None and hasattr(adapter, "close"):
            adapter.close()
    return section


def graph_sweep(ours_hnsw, peers, queries, largest):
    """One case per (graph system, ef): a batch of every query (ours in batches of `largest`)."""
    def ours(ef):
        return in_batches(lambda chunk: ours_hnsw.search_many(chunk, K, None, False, ef=ef), queries, largest)

    def hnswlib(ef, threads):
        peers["hnswlib"].index.set_ef(ef)
        return peers["hnswlib"].index.knn_query(queries, k=K, num_threads=threads)[0]

    def usearch(ef):
        peers["usearch"].index.expansion_search = ef
        return peers["usearch"].index.search(queries, K, threads=2).keys

    def faiss_hnsw(ef):
        peers["faiss-hnsw"].index.hnsw.efSearch = ef
        return peers["faiss-hnsw"].index.search(normalise(queries), K)[1]

    cases = {}
    for ef in EF_SWEEP:
        cases[f"vendrel-hnsw search_many batch={largest} ef={ef}"] = lambda ef=ef: ours(ef)
        if peers["hnswlib"]:
            for threads in (1, 2):
                cases[f"hnswlib knn_query num_threads={threads} ef={ef}"] = lambda ef=ef, t=threads: hnswlib(ef, t)
        if peers["usearch"]:
            cases[f"usearch search threads=2 ef={ef}"] = lambda ef=ef: usearch(ef)
        if peers["faiss-hnsw"]:
            cases[f"faiss-hnsw search ef={ef}"] = lambda ef=ef: faiss_hnsw(ef)
    return cases


def ratios(section, largest):
    """The ratios the targets name, each per round and then the median."""
    out = {}
    threads = section["threads"]
    for kind in ("exact", "hnsw"):
        out[f"threads_2_over_1 {kind}"] = paired(threads[f"{kind} threads=2"], threads[f"{kind} threads=1"])
        limited = section["limited_pool"].get("threads")
        if limited:
            out[f"threads_2_over_1 {kind} (pool limited to the caller)"] = paired(
                limited[f"{kind} threads=2"], limited[f"{kind} threads=1"])
    batches = section["batches"]
    out["many_hnsw_over_one"] = paired(batches[f"hnsw batch={largest}"], batches["hnsw one at a time"])
    out["many_exact_over_one"] = paired(batches[f"exact batch={largest}"], batches["exact one at a time"])
    peers = section["peers"]
    if "faiss-flat batch" in peers:
        out["many_exact_over_faiss_flat"] = paired(peers[f"vendrel-exact search_many batch={largest}"],
                                                   peers["faiss-flat batch"])
    ours = section["curves"].get(f"vendrel-hnsw search_many batch={largest}")
    for peer in ("hnswlib knn_query num_threads=2", "hnswlib knn_query num_threads=1", "usearch search threads=2",
                 "faiss-hnsw search"):
        theirs = section["curves"].get(peer)
        if not theirs:
            continue
        per_round = []
        for r in range(len(next(iter(ours.values()))["rounds"])):
            a = at_recall([(p["recall"], p["rounds"][r]) for p in ours.values()], RECALL_LEVEL)
            b = at_recall([(p["recall"], p["rounds"][r]) for p in theirs.values()], RECALL_LEVEL)
            if a is not None and b is not None:
                per_round.append(a / b)
        key = "many_hnsw_over_" + {"hnswlib knn_query num_threads=2": "hnswlib_t2",
                                   "hnswlib knn_query num_threads=1": "hnswlib_t1",
                                   "usearch search threads=2": "usearch", "faiss-hnsw search": "faiss_hnsw"}[peer]
        out[key] = spread(per_round) if per_round else None
    return out


def print_part(title, entries):
    print(f"  {title}:", flush=True)
    for case, entry in entries.items():
        print(f"    {case:44s} {entry['median']:10.0f} QPS [{entry['min']:.0f}-{entry['max']:.0f}] "
              f"{entry['cores']:.2f} cores, recall {entry['recall']:.3f}", flush=True)


# ---------------------------------------------------------------- child processes


def child(flag, data_dir, args):
    out = os.path.join(data_dir, flag.strip("-") + ".json")
    command = [sys.executable, os.path.abspath(__file__), flag, data_dir, "--rounds", str(args.rounds)]
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0 or not os.path.exists(out):
        tail = " | ".join((proc.stderr or proc.stdout).strip().splitlines()[-3:])
        print(f"  {flag} failed: {tail}", flush=True)
        return {"error": tail[-400:] or f"exit {proc.returncode}"}
    print(proc.stdout, end="", flush=True)
    with open(out) as handle:
        return json.load(handle)


def limited_pool_worker(data_dir, rounds):
    """Threads calling search with every search on its calling thread alone.

    oneTBB sizes its pool from the CPU affinity mask of the thread that first uses it.
    This process pins itself to one CPU before loading the module, builds its databases
    (which starts the pool, with no worker threads), then widens the mask again, so that
    the benchmark's Python threads may run on every core while each search stays on the
    thread that called it. This is checked: building and searching must have started no
    thread (numpy's BLAS has its own, counted before).
    """
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    before = process_threads()
    from vendrel_plus import FullVendrelDB

    data = np.load(os.path.join(data_dir, "data.npz"))
    vectors, queries, truth = data["vectors"], data["queries"], data["truth"]
    ctx = adapter_context(vectors)
    ids = np.arange(len(vectors), dtype=np.uint32)
    dbs = {}
    for kind in ("exact", "hnsw"):
        options = {"m": HNSW_M, "ef_construction": HNSW_EFC, "ef_search": HNSW_EFS} if kind == "hnsw" else {}
        dbs[kind] = FullVendrelDB(os.path.join(data_dir, f"limited-{kind}"), index=kind, **options)
        dbs[kind].add_many(ids, vectors, ctx["meta_json"])
        dbs[kind].search_many(queries[:10], K)
    os.sched_setaffinity(0, cpus)
    res = {"threads_before": before, "threads_after_build": process_threads(), "cpus": len(cpus)}
    res["pool_limited"] = res["threads_after_build"] == before
    seconds, found = interleaved(thread_cases(dbs, queries), rounds)
    res["threads"] = {case: summarise(seconds[case], found[case], len(queries), truth) for case in seconds}
    print_part("threads, pool limited to the calling thread"
               + ("" if res["pool_limited"] else " (NOT LIMITED: the pool started threads)"), res["threads"])
    with open(os.path.join(data_dir, "limited-pool.json"), "w") as handle:
        json.dump(res, handle)


def sharded_worker(data_dir, rounds):
    """ShardedVendrelDB(shards=2, kind="full") search_many of 100 queries against the same
    two partitions held by plain databases in this process, searched at the same time
    from two threads and one after the other (the slower taken), with the worker pool
    capped at one thread as each actor's is (its share of the 2 cores). The difference
    per query is what the sharded layer adds: conversion, Ray's calls and transfers, and
    the merge."""
    import ray
    from vendrel_plus import FullVendrelDB, ShardedVendrelDB, _native

    data = np.load(os.path.join(data_dir, "data.npz"))
    vectors, queries, truth = data["vectors"], data["queries"][:SHARDED_QUERIES], data["truth"][:SHARDED_QUERIES]
    texts = adapter_context(vectors)["meta_json"]
    ids = np.arange(len(vectors), dtype=np.uint32)
    ray.init(address="local", num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
    res = {"ray": ray.__version__, "queries": len(queries), "shards": 2}
    for kind in ("exact", "hnsw"):
        options = {"index": kind}
        if kind == "hnsw":
            options.update(m=HNSW_M, ef_construction=HNSW_EFC, ef_search=HNSW_EFS)
        sharded = ShardedVendrelDB(os.path.join(data_dir, f"sharded-{kind}"), 2, kind="full", **options)
        sharded.add_many(ids, vectors, texts)
        # Ray may run its workers niced: on a machine with other work they then get less
        # CPU than the partitions searched here, which shows up as overhead.
        res[f"actor_nice_{kind}"] = [os.getpriority(os.PRIO_PROCESS, pid) for _, pid in sharded.locations()]
        parts = []
        for shard in range(2):
            rows = np.flatnonzero(ids % 2 == shard)
            part = FullVendrelDB(os.path.join(data_dir, f"part-{kind}-{shard}"), **options)
            part.add_many(ids[rows] // 2, np.ascontiguousarray(vectors[rows]), [texts[row] for row in rows.tolist()])
            parts.append(part)
        _native.cap_worker_threads(1)
        sharded.search_many(queries[:10], K)
        for part in parts:
            part.search_many(queries[:10], K)

        def one_part(shard):
            return parts[shard].search_many(queries, K)

        def together():
            pool = [threading.Thread(target=one_part, args=(shard,)) for shard in range(2)]
            for thread in pool:
                thread.start()
            for thread in pool:
                thread.join()
            return []

        cases = {"sharded search_many": lambda: sharded.search_many(queries, K),
                 "both partitions at once": together,
                 "partition 0 alone": lambda: one_part(0), "partition 1 alone": lambda: one_part(1)}
        seconds, found = interleaved(cases, rounds * SHARDED_ROUND_FACTOR)
        _native.cap_worker_threads(0)
        ms = {case: [1e3 * wall for wall, _ in values] for case, values in seconds.items()}
        slower_alone = [max(a, b) for a, b in zip(ms["partition 0 alone"], ms["partition 1 alone"])]
        per_query = len(queries)
        res[kind] = {
            "ms": {case: spread(values) for case, values in ms.items()},
            "slower_partition_alone_ms": spread(slower_alone),
            "overhead_ms_per_query_vs_both_at_once": spread(
                [(a - b) / per_query for a, b in zip(ms["sharded search_many"], ms["both partitions at once"])]),
            "overhead_ms_per_query_vs_slower_alone": spread(
                [(a - b) / per_query for a, b in zip(ms["sharded search_many"], slower_alone)]),
            "recall": recall(found["sharded search_many"], truth),
        }
        entry = res[kind]
        print(f"  sharded {kind}: {entry['ms']['sharded search_many']['median']:.1f} ms, both partitions at once "
              f"{entry['ms']['both partitions at once']['median']:.1f} ms, slower alone "
              f"{entry['slower_partition_alone_ms']['median']:.1f} ms; overhead per query "
              f"{entry['overhead_ms_per_query_vs_both_at_once']['median']:.3f} ms; recall {entry['recall']:.3f}",
              flush=True)
        sharded.close()
        parts.clear()
        gc.collect()
    ray.shutdown()
    with open(os.path.join(data_dir, "sharded.json"), "w") as handle:
        json.dump(res, handle)


# ---------------------------------------------------------------- report


def versions():
    from importlib import metadata
    out = {}
    for name in ("vendrel", "faiss-cpu", "hnswlib", "usearch", "chromadb", "ray", "numpy"):
        try:
            out[name] = metadata.version(name)
        except Exception:
            out[name] = "not installed"
    return out


def verdict(value, at_least, target):
    """Whether the median meets the target, and whether the range over rounds crosses it."""
    if value is None:
        return "—"
    meets = [x >= target if at_least else x <= target for x in (value["median"], value["min"], value["max"])]
    return ("yes" if meets[0] else "no") + ("" if meets[1] == meets[2] else " (the range crosses it)")


def target_rows(report):
    """(what, data set, figure, target, verdict) for each target, from the report's ratios."""
    rows = []
    for name, section in report["datasets"].items():
        r = section.get("ratios", {})
        checks = [
            ("2 threads / 1 thread, exact, pool as it is", "threads_2_over_1 exact", "threads_2_over_1"),
            ("2 threads / 1 thread, exact, pool limited to the caller",
             "threads_2_over_1 exact (pool limited to the caller)", "threads_2_over_1"),
            ("2 threads / 1 thread, hnsw, pool as it is", "threads_2_over_1 hnsw", "threads_2_over_1"),
            ("2 threads / 1 thread, hnsw, pool limited to the caller",
             "threads_2_over_1 hnsw (pool limited to the caller)", "threads_2_over_1"),
            ("search_many hnsw / one at a time (ef 128)", "many_hnsw_over_one", "many_hnsw_over_one"),
            (f"search_many hnsw / hnswlib knn_query(num_threads=2) at recall {RECALL_LEVEL}", "many_hnsw_over_hnswlib_t2",
             "many_hnsw_over_hnswlib_t2"),
            ("search_many exact (largest batch) / faiss IndexFlatIP batch", "many_exact_over_faiss_flat",
             "many_exact_over_faiss_flat"),
        ]
        for label, key, target in checks:
            value = r.get(key)
            rows.append((label, name, value, f">= {TARGETS[target]}", verdict(value, True, TARGETS[target])))
    sharded = report.get("sharded", {})
    for kind in ("exact", "hnsw"):
        if kind in sharded:
            value = sharded[kind]["overhead_ms_per_query_vs_both_at_once"]
            target = TARGETS["sharded_overhead_ms_per_query"]
            rows.append((f"sharded search_many overhead per query (ms), index={kind}", "synth-768", value,
                         f"<= {target}", verdict(value, False, target)))
    return rows


def fmt_range(entry, digits=0):
    if not entry:
        return "—"
    return f"{entry['median']:,.{digits}f} ({entry['min']:,.{digits}f}–{entry['max']:,.{digits}f})"


def markdown(report):
    s = report["settings"]
    m = report["machine"]
    lines = [f"# Throughput of FullVendrelDB ({report['date']})", "",
             f"Machine: {m['cpu']}, {m['cores']} cores, Python {m['python']}, {m['os']}; load average "
             f"{report['load_before']} before the run and {report['load_after']} after it (other work on the machine "
             f"moves absolute figures: read the ratios). Run time {report['total_s'] / 60:.1f} min.", "",
             f"Settings: top-{K}, unfiltered, {s['rounds']} round{'s' if s['rounds'] > 1 else ''}, cases alternated "
             "within each round (order rotated every round), medians with the range over rounds in brackets; "
             "ratios are taken round by round, then the median. HNSW everywhere: "
             f"M = {HNSW_M}, ef_construction = {HNSW_EFC}, ef_search = {HNSW_EFS} unless swept "
             f"(ef in {', '.join(map(str, EF_SWEEP))}). Our calls pass include_metadata=False. hnswlib and usearch "
             "built with 2 threads; faiss with its OpenMP default "
             f"({report.get('faiss_omp_threads', '?')} threads); chromadb at its defaults (hnsw:space = cosine).", "",
             "Versions: " + ", ".join(f"{k} {v}" for k, v in report["versions"].items()) + ".", ""]
    for name, d in report["datasets"].items():
        if "error" in d:
            lines += [f"## {name}: failed ({d['error']})", ""]
            continue
        lines += [f"## {name}: {d['n']:,} documents x {d['dim']}, {d['queries']:,} queries", "", d["note"], "",
                  "Builds: " + "; ".join(f"{k} {v}" for k, v in d["build"].items()) + ".", "",
                  "### search_many in batches against search once per query", "",
                  "| index | call | QPS | × one at a time | cores busy | recall@10 |", "|---|---|---:|---:|---:|---:|"]
        for case, entry in d["batches"].items():
            kind, call = case.split(" ", 1)
            ref = d["batches"][f"{kind} one at a time"]
            lines.append(f"| {kind} | {call} | {fmt_range(entry)} | {fmt_range(paired(entry, ref), 2)} | "
                         f"{entry['cores']:.2f} | {entry['recall']:.3f} |")
        lines += ["", "### Python threads calling search on one database", "",
                  "On 2 cores one exact search already runs on both through oneTBB's pool, so with the pool as it is "
                  "a second thread has no idle core to take: the lock's scalability shows in the rows with the pool "
                  "limited to the calling thread (a child process whose pool has no worker thread: "
                  f"{'checked' if d['limited_pool'].get('pool_limited') else 'NOT confirmed'} by counting the "
                  "process's threads before and after building its databases; its graph is built on one thread, so "
                  "its recall may differ slightly). One hnsw search never enters the pool (the graph walk, then a "
                  "scan of k rows). The cores busy column is the CPU time the process got over the wall time: on "
                  "a shared machine, a case that got less than the cores it could use was held back by other "
                  "work.", "",
                  "| index | pool | call | QPS | × 1 thread | cores busy | recall@10 |", "|---|---|---|---:|---:|---:|---:|"]
        for pool, entries in (("as it is", d["threads"]), ("limited", d["limited_pool"].get("threads", {}))):
            for case, entry in entries.items():
                kind, call = case.split(" ", 1)
                ref = entries[f"{kind} threads=1"]
                lines.append(f"| {kind} | {pool} | {call} | {fmt_range(entry)} | {fmt_range(paired(entry, ref), 2)} | "
                             f"{entry['cores']:.2f} | {entry['recall']:.3f} |")
        lines += ["", "### Exact and other batch searches", "", "| system | QPS | cores busy | recall@10 |",
                  "|---|---:|---:|---:|"]
        for case, entry in d["peers"].items():
            lines.append(f"| {case} | {fmt_range(entry)} | {entry['cores']:.2f} | {entry['recall']:.3f} |")
        lines += ["", "### Graph systems: QPS (recall@10) against ef, every query in one batch", ""]
        systems = list(d["curves"])
        lines += ["| ef | " + " | ".join(systems) + " |", "|---:|" + "---:|" * len(systems)]
        for ef in EF_SWEEP:
            cells = []
            for system in systems:
                point = d["curves"][system].get(str(ef), d["curves"][system].get(ef))
                cells.append(f"{point['median']:,.0f} ({point['recall']:.3f})" if point else "—")
            lines.append(f"| {ef} | " + " | ".join(cells) + " |")
        lines += ["", f"Equal recall: each curve's QPS at recall {RECALL_LEVEL}, interpolated linearly between the two "
                  "ef points that bracket it, round by round.", "", "| ratio | median (range) |", "|---|---:|"]
        for key, value in d["ratios"].items():
            lines.append(f"| {key} | {fmt_range(value, 2)} |")
        lines.append("")
    sharded = report.get("sharded", {})
    if sharded:
        lines += ["## ShardedVendrelDB(shards=2, kind=\"full\"): search_many of 100 queries", ""]
        if "error" in sharded:
            lines += [f"Failed: {sharded['error']}", ""]
        else:
            lines += [f"synth-768 split over 2 shards (Ray {sharded['ray']}, actors on this machine), against the same "
                      "two partitions in plain databases in the benchmark's process: both searched at once from two "
                      "threads, and each alone (the slower taken), the worker pool capped at one thread as each "
                      "actor's is (as the actors run). include_metadata=True. "
                      "Overhead per query = (sharded - both at once) / 100, round by round. The actors ran at nice "
                      f"{sharded.get('actor_nice_exact', '?')} (exact) and {sharded.get('actor_nice_hnsw', '?')} (hnsw), "
                      "this process at 0: with other work on the machine, niced actors get less CPU, which counts "
                      "here as overhead.", "",
                      "| index | sharded (ms) | both partitions at once (ms) | slower partition alone (ms) "
                      "| overhead per query (ms) | same, against the slower alone | recall@10 |",
                      "|---|---:|---:|---:|---:|---:|---:|"]
            for kind in ("exact", "hnsw"):
                e = sharded[kind]
                lines.append(f"| {kind} | {fmt_range(e['ms']['sharded search_many'], 1)} | "
                             f"{fmt_range(e['ms']['both partitions at once'], 1)} | "
                             f"{fmt_range(e['slower_partition_alone_ms'], 1)} | "
                             f"{fmt_range(e['overhead_ms_per_query_vs_both_at_once'], 3)} | "
                             f"{fmt_range(e['overhead_ms_per_query_vs_slower_alone'], 3)} | {e['recall']:.3f} |")
            lines.append("")
    lines += ["## Targets", "", "| what | data set | median (range) | target | met |", "|---|---|---:|---:|---|"]
    for label, name, value, target, met in target_rows(report):
        digits = 3 if "ms" in label else 2
        lines.append(f"| {label} | {name} | {fmt_range(value, digits)} | {target} | {met} |")
    lines += ["", "The exact target for threads is judged on the limited pool: with the pool as it is, one search "
              "already uses both cores.", "", f"![QPS against recall]({report['date']}-throughput.png)", ""]
    return "\n".join(lines)


def chart(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [n for n, d in report["datasets"].items() if "curves" in d]
    figure, axes = plt.subplots(1, len(names), figsize=(6.5 * len(names), 4.8), squeeze=False)
    for ax, name in zip(axes[0], names):
        d = report["datasets"][name]
        for system, points in d["curves"].items():
            recalls = [p["recall"] for p in points.values()]
            qps = [p["median"] for p in points.values()]
            ax.plot(recalls, qps, marker="o", markersize=3, label=system.replace(" search_many", ""))
        for case, entry in d["peers"].items():
            ax.scatter([entry["recall"]], [entry["median"]], marker="x", label=case)
        ax.set_yscale("log")
        ax.set_xlim(RECALL_LEVEL - 0.1, 1.003)  # the low-ef points outside stay in the tables
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second (log scale)")
        ax.set_title(f"{name}: {d['n']:,} x {d['dim']}, {d['queries']:,} queries in one batch")
        ax.axvline(RECALL_LEVEL, color="#bbbbbb", linewidth=0.8)
        ax.grid(True, which="both", linewidth=0.3)
        ax.legend(fontsize=7)
    m = report["machine"]
    rounds = report["settings"]["rounds"]
    figure.suptitle(f"{report['date']}, {m['cores']} cores ({m['cpu']}), top-{K}, median of {rounds} "
                    f"round{'s' if rounds > 1 else ''}", fontsize=9)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def write(report, out):
    os.makedirs(out, exist_ok=True)
    stem = os.path.join(out, f"{report['date']}-throughput")
    with open(stem + ".json", "w") as handle:
        json.dump(report, handle, indent=1)
    text = markdown(report)
    with open(stem + ".md", "w") as handle:
        handle.write(text)
    print(text)
    try:
        chart(report, stem + ".png")
    except ImportError:
        print(f"matplotlib is not installed: no chart (draw it later with --redraw {stem}.json)")
    print(f"wrote {stem}.json, .md and the chart")


# ---------------------------------------------------------------- driver


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100000, help="documents of the synthetic set")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--quick", action="store_true", help="N = 20,000, 300 queries, 3 rounds")
    p.add_argument("--smoke", action="store_true",
                   help="N = 2,000, 50 queries, one round, the synthetic set alone, no sharded part, results in a "
                        "temporary directory: checks that the harness runs (peers are used when installed)")
    p.add_argument("--datasets", default="synth-768,real-minilm")
    p.add_argument("--no-sharded", action="store_true", help="skip the sharded part (it needs Ray)")
    p.add_argument("--out", default=os.path.join(HERE, "results"))
    p.add_argument("--redraw", help="rewrite the .md and .png of a saved JSON report")
    p.add_argument("--limited-pool", help=argparse.SUPPRESS)
    p.add_argument("--sharded", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.limited_pool:
        return limited_pool_worker(args.limited_pool, args.rounds)
    if args.sharded:
        return sharded_worker(args.sharded, args.rounds)
    if args.redraw:
        with open(args.redraw) as handle:
            return write(json.load(handle), os.path.dirname(os.path.abspath(args.redraw)))
    if args.quick:
        args.n, args.queries, args.rounds = min(args.n, 20000), min(args.queries, 300), min(args.rounds, 3)
    if args.smoke:
        args.n, args.queries, args.rounds, args.datasets, args.no_sharded = 2000, 50, 1, "synth-768", True
        args.out = tempfile.mkdtemp(prefix="throughput-smoke-")
    started = time.time()
    report = {"date": datetime.date.today().isoformat(), "machine": machine_info(), "versions": versions(),
              "load_before": [round(x, 1) for x in os.getloadavg()],
              "settings": {"n": args.n, "queries": args.queries, "rounds": args.rounds, "k": K, "batches": BATCHES,
                           "threads": THREADS, "ef_sweep": EF_SWEEP, "recall_level": RECALL_LEVEL,
                           "hnsw": {"M": HNSW_M, "ef_construction": HNSW_EFC, "ef_search": HNSW_EFS},
                           "openblas_env": {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")}},
              "datasets": {}}
    try:
        import faiss
        report["faiss_omp_threads"] = faiss.omp_get_max_threads()
    except ImportError:
        pass
    work = tempfile.mkdtemp(prefix="throughput-bench-")
    try:
        for name in args.datasets.split(","):
            vectors, queries, note = load_dataset(name, args)
            section = run_dataset(name, vectors, queries, args, work)
            section["note"] = note
            report["datasets"][name] = section
            if name == "synth-768" and not args.no_sharded:
                print("[sharded] ShardedVendrelDB(shards=2, kind='full')", flush=True)
                report["sharded"] = child("--sharded", os.path.join(work, name), args)
            shutil.rmtree(os.path.join(work, name), ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report["load_after"] = [round(x, 1) for x in os.getloadavg()]
    report["total_s"] = time.time() - started
    write(report, args.out)
    if args.smoke:
        section = report["datasets"]["synth-768"]
        exact = [entry["recall"] for case, entry in section["batches"].items() if case.startswith("exact")]
        assert min(exact) >= 0.99, exact
        assert section["limited_pool"].get("pool_limited"), section["limited_pool"]
        shutil.rmtree(args.out, ignore_errors=True)
        print("smoke: ok")


if __name__ == "__main__":
    main()

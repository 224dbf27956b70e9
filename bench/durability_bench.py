"""What durability costs FullVendrelDB, how fast its directory reopens, and what survives
kill -9, each against a reference measured in the same run.

1. add_many docs/s at the levels "process" and "power" against "memory" (nothing kept),
   exact and hnsw, in rounds that rotate the order of the levels; each round gives a
   ratio, reported as the median and range of the rounds.
2. One add per call, likewise.
3. Reopen at two sizes (--n and --large), exact and hnsw: the time to open the directory
   (and to answer a first query) in a fresh process, after close() (empty log) and after
   the object was dropped without close() (the log replayed), against reading the
   directory's files sequentially in 16 MiB blocks, with the page cache warm (every file
   resident) and cold (this directory's files evicted with posix_fadvise, for both sides
   alike); and against the time the add_many build took. Directory size per document.
4. chromadb's PersistentClient on the same 100,000 rows: build, reopen (client,
   collection, first query) against the same sequential read; and kill -9 trials for
   chromadb and FullVendrelDB side by side: a child adds documents in batches and prints
   an acknowledgement after each batch returns, the parent kills it at a random instant,
   reopens in a fresh process and counts the acknowledged documents missing (absent, or
   with other metadata or another vector), those a query with their own vector does not
   return among its top 10, and whether the open failed.

Usage (the full run needs bench/.venv with chromadb; ./bench/run.sh makes it):

  ./bench/run.sh --durability                 # 100,000 and 1,000,000 x 768
  bench/.venv/bin/python bench/durability_bench.py --n 20000 --large 50000 --trials 6
  python bench/durability_bench.py --smoke    # seconds: tiny sizes, no chromadb

Results go to bench/results/<date>-durability.json and .md (--out to change).
"""

import argparse
import datetime
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from peers_bench import HNSW_EFC, HNSW_EFS, HNSW_M, clustered, flat_meta, machine_info, make_columns, metadata_dict  # noqa: E402

LEVELS = ("memory", "process", "power")
INDEXES = ("exact", "hnsw")
# Rows drawn per call of peers_bench's generator: larger sets are made of such chunks,
# each with its own seed (and so its own 50 centres), which keeps the float64
# intermediates of the generator to one chunk's size.
CHUNK = 100_000
READ_BLOCK = 16 << 20
SEED = 768
# chromadb and the trials' children do not phone home.
CHILD_ENV = dict(os.environ, ANONYMIZED_TELEMETRY="False")


# ---------------------------------------------------------------- data


def make_vectors(count, dim, seed):
    out = np.empty((count, dim), np.float32)
    for chunk, start in enumerate(range(0, count, CHUNK)):
        stop = min(count, start + CHUNK)
        out[start:stop] = clustered(stop - start, dim, seed + chunk)
    return out


def make_metadata(count, seed):
    cols = make_columns(count, seed)
    return [json.dumps(metadata_dict(cols, i)) for i in range(count)]


# ---------------------------------------------------------------- measuring helpers


def summary(samples):
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples),
            "samples": list(samples)}


def open_full(path, index=None, durability="process"):
    """A FullVendrelDB on `path`; index None takes the stored settings."""
    from vendrel_plus import FullVendrelDB
    if index is None:
        return FullVendrelDB(path, durability=durability)
    options = {"m": HNSW_M, "ef_construction": HNSW_EFC, "ef_search": HNSW_EFS} if index == "hnsw" else {}
    return FullVendrelDB(path, index=index, durability=durability, **options)


def add_all(db, vectors, metas, batch, first_id=0):
    ids = np.arange(first_id, first_id + len(vectors), dtype=np.int64)
    for start in range(0, len(vectors), batch):
        db.add_many(ids[start:start + batch], vectors[start:start + batch], metas[start:start + batch])


def files_under(path):
    """Every regular file under `path` but the lock, sorted, with its size."""
    out = []
    for root, dirs, names in os.walk(path):
        dirs.sort()
        for name in sorted(names):
            full = os.path.join(root, name)
            if name != "LOCK" and os.path.isfile(full):
                out.append((full, os.path.getsize(full)))
    return out


def listing(path):
    return {os.path.relpath(name, path): size for name, size in files_under(path)}


def read_sequentially(path):
    """Seconds to read every file under `path` front to back in 16 MiB blocks."""
    buffer = bytearray(READ_BLOCK)
    view = memoryview(buffer)
    start = time.perf_counter()
    for name, _ in files_under(path):
        with open(name, "rb", buffering=0) as handle:
            while handle.readinto(view):
                pass
    return time.perf_counter() - start


def evict(path):
    """Drops this directory's files (and no one else's) from the page cache: flushed first,
    since only clean pages can be dropped."""
    for name, _ in files_under(path):
        fd = os.open(name, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def resident_fraction(path):
    """Share of the directory's bytes in the page cache (mincore through fincore), or None
    where fincore is missing."""
    files = files_under(path)
    total = sum(size for _, size in files)
    if not files or not total or shutil.which("fincore") is None:
        return None
    proc = subprocess.run(["fincore", "-b", "-n", "-o", "RES", *[name for name, _ in files]],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        return None
    # Pages are whole, so a file's last page can count past its size.
    return round(min(1.0, sum(int(line) for line in proc.stdout.split()) / total), 4)


def prepare_cache(path, state):
    if state == "cold":
        evict(path)
    else:
        read_sequentially(path)
    return resident_fraction(path)


def run_child(args, timeout=3600):
    """Runs this script in a fresh process in one of its child modes; returns its JSON."""
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), *args], capture_output=True, text=True,
                          timeout=timeout, env=CHILD_ENV)
    if proc.returncode != 0:
        tail = " | ".join((proc.stderr or proc.stdout).strip().splitlines()[-3:])
        return {"error": f"exit {proc.returncode}: {tail}"[-500:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def guarded(context, fn, *args):
    """fn(*args), or its error with `context` (so that one failed part leaves the others'
    figures in the report)."""
    try:
        return fn(*args)
    except Exception as exc:
        say(f"  failed: {context}: {type(exc).__name__}: {exc}")
        return {**context, "error": f"{type(exc).__name__}: {exc}"[:500]}


def load_average():
    return [round(x, 2) for x in os.getloadavg()]


def say(*parts):
    print(*parts, flush=True)


# ---------------------------------------------------------------- 1 and 2: what the levels cost


def bench_add_many(index, vectors, metas, batch, rounds, work):
    """add_many of every row into a new database at each level; the order of the levels
    rotates from round to round. close() is timed apart: at the durable levels it writes
    the checkpoint."""
    rates = {level: [] for level in LEVELS}
    close_s = {level: [] for level in LEVELS}
    ratios = {level: [] for level in LEVELS if level != "memory"}
    for round_ in range(rounds):
        got = {}
        for level in LEVELS[round_ % 3:] + LEVELS[:round_ % 3]:
            path = os.path.join(work, f"add-many-{index}-{level}")
            db = open_full(path, index, level)
            start = time.perf_counter()
            add_all(db, vectors, metas, batch)
            added = time.perf_counter()
            db.close()
            close_s[level].append(time.perf_counter() - added)
            got[level] = len(vectors) / (added - start)
            rates[level].append(got[level])
            del db
            shutil.rmtree(path)
        for level in ratios:
            ratios[level].append(got[level] / got["memory"])
        say(f"  add_many {index} round {round_ + 1}: " +
            ", ".join(f"{level} {got[level]:,.0f}/s" for level in LEVELS))
    return {"docs_per_s": {level: summary(v) for level, v in rates.items()},
            "close_s": {level: summary(v) for level, v in close_s.items()},
            "ratio_to_memory": {level: summary(v) for level, v in ratios.items()}}


def bench_single_adds(index, vectors, metas, count, rounds, work):
    """`count` calls of add into a new database at each level, rotating as above."""
    rates = {level: [] for level in LEVELS}
    ratios = {level: [] for level in LEVELS if level != "memory"}
    for round_ in range(rounds):
        got = {}
        for level in LEVELS[round_ % 3:] + LEVELS[:round_ % 3]:
            path = os.path.join(work, f"add-{index}-{level}")
            db = open_full(path, index, level)
            add = db.add
            start = time.perf_counter()
            for i in range(count):
                add(i, vectors[i], metas[i])
            got[level] = count / (time.perf_counter() - start)
            rates[level].append(got[level])
            db.close()
            del db
            shutil.rmtree(path)
        for level in ratios:
            ratios[level].append(got[level] / got["memory"])
        say(f"  add {index} round {round_ + 1}: " + ", ".join(f"{level} {got[level]:,.0f}/s" for level in LEVELS))
    return {"adds_per_s": {level: summary(v) for level, v in rates.items()},
            "ratio_to_memory": {level: summary(v) for level, v in ratios.items()}}


# ---------------------------------------------------------------- 3: reopening


def reopen_rounds(system, path, rounds, query_path, expected_count):
    """Per cache state, `rounds` pairs of (sequential read, reopen in a fresh process), the
    pair's order alternating; the states alternate too."""
    out = {}
    for state in ("warm", "cold"):
        out[state] = {"read_s": [], "open_s": [], "open_query_s": [], "first_query_s": [],
                      "resident_before_read": [], "resident_before_open": [], "errors": []}
    for round_ in range(rounds):
        states = ("warm", "cold") if round_ % 2 == 0 else ("cold", "warm")
        for state in states:
            entry = out[state]
            steps = ("read", "open") if round_ % 2 == 0 else ("open", "read")
            for step in steps:
                resident = prepare_cache(path, state)
                if step == "read":
                    entry["resident_before_read"].append(resident)
                    entry["read_s"].append(read_sequentially(path))
                    continue
                entry["resident_before_open"].append(resident)
                got = run_child(["--reopen-child", system, path, query_path])
                if "error" not in got and got.get("count") != expected_count:
                    got["error"] = f"count {got.get('count')} after reopen, expected {expected_count}"
                if "error" in got:
                    entry["errors"].append(got["error"])
                    continue
                entry["open_s"].append(got["open_s"])
                entry["first_query_s"].append(got["first_query_s"])
                entry["open_query_s"].append(got["open_s"] + got["first_query_s"])
    for state, entry in out.items():
        for key in ("read_s", "open_s", "open_query_s", "first_query_s"):
            entry[key] = summary(entry[key]) if entry[key] else None
        if entry["read_s"] and entry["open_s"]:
            entry["open_to_read"] = entry["open_s"]["median"] / entry["read_s"]["median"]
            entry["open_query_to_read"] = entry["open_query_s"]["median"] / entry["read_s"]["median"]
    return out


def bench_reopen(index, vectors, metas, batch, rounds, replay_rounds, work, query_path):
    """Builds one database with add_many at the default level, drops it without close()
    and measures reopening with the log replayed; then closes it (a checkpoint) and
    measures reopening from the checkpoint alone."""
    n = len(vectors)
    path = os.path.join(work, f"reopen-{index}-{n}")
    db = open_full(path, index)
    start = time.perf_counter()
    add_all(db, vectors, metas, batch)
    build_s = time.perf_counter() - start
    del db  # dropped: the log keeps the calls since the last checkpoint
    result = {"n": n, "index": index, "build_s": build_s, "build_docs_per_s": n / build_s}
    say(f"  {index} {n:,}: built in {build_s:.1f} s ({n / build_s:,.0f} docs/s)")
    files = listing(path)
    dropped = {"files": files, "bytes": sum(files.values()),
               "log_bytes": sum(size for name, size in files.items() if name.startswith("log-"))}
    dropped["bytes_per_doc"] = dropped["bytes"] / n
    if replay_rounds:
        dropped.update(reopen_rounds("vendrel", path, replay_rounds, query_path, n))
    result["dropped"] = dropped
    db = open_full(path)
    start = time.perf_counter()
    db.close()
    result["close_s"] = time.perf_counter() - start
    del db
    files = listing(path)
    closed = {"files": files, "bytes": sum(files.values()), "bytes_per_doc": sum(files.values()) / n}
    closed.update(reopen_rounds("vendrel", path, rounds, query_path, n))
    result["closed"] = closed
    for state in ("warm", "cold"):
        for kind in ("dropped", "closed"):
            entry = result[kind].get(state)
            if entry and entry.get("open_s"):
                entry["open_to_build"] = entry["open_s"]["median"] / build_s
                entry["open_query_to_build"] = entry["open_query_s"]["median"] / build_s
    shutil.rmtree(path)
    return result


def bench_chroma_reopen(data_path, meta_path, n, batch, rounds, work, query_path):
    path = os.path.join(work, "chroma-reopen")
    built = run_child(["--chroma-build", path, data_path, meta_path, str(n), str(batch)])
    if "error" in built:
        return built
    say(f"  chromadb {n:,}: built in {built['build_s']:.1f} s")
    files = listing(path)
    result = {"n": n, "build_s": built["build_s"], "build_docs_per_s": n / built["build_s"], "batch": batch,
              "files": files, "bytes": sum(files.values()), "bytes_per_doc": sum(files.values()) / n}
    result.update(reopen_rounds("chromadb", path, rounds, query_path, n))
    for state in ("warm", "cold"):
        entry = result.get(state)
        if entry and entry.get("open_s"):
            entry["open_to_build"] = entry["open_s"]["median"] / built["build_s"]
            entry["open_query_to_build"] = entry["open_query_s"]["median"] / built["build_s"]
    shutil.rmtree(path)
    return result


# ---------------------------------------------------------------- 4: kill -9


def kill_trials(system, trials, batch, batches, work, data_path, meta_path, rng):
    """Each trial: a new directory; a child opens it and adds `batches` batches of `batch`
    documents, printing "ack" after each returns; after a random number of
    acknowledgements (0 to batches - 2) the parent waits a random part of a batch's time
    and sends SIGKILL; a fresh process reopens and checks."""
    out = []
    gaps_seen = []
    for trial in range(trials):
        path = os.path.join(work, f"trial-{system}")
        shutil.rmtree(path, ignore_errors=True)
        wait_for = rng.randrange(batches - 1)
        with tempfile.TemporaryFile("w+") as errors:
            child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--trial-child", system, path,
                                      data_path, meta_path, str(batch), str(batches)],
                                     stdout=subprocess.PIPE, stderr=errors, text=True, env=CHILD_ENV)
            first = child.stdout.readline()
            if first != "open\n":
                child.kill()
                child.wait()
                errors.seek(0)
                out.append({"trial": trial, "error": "the child did not open: " + errors.read()[-300:]})
                continue
            last, gaps, seen = time.perf_counter(), [], 0
            while seen < wait_for:
                if not child.stdout.readline():
                    break
                now = time.perf_counter()
                gaps.append(now - last)
                last, seen = now, seen + 1
            gaps_seen += gaps[1:]  # the first batch also pays for warming up
            batch_s = statistics.median(gaps_seen) if gaps_seen else (gaps[0] if gaps else 0.2)
            delay = rng.uniform(0.0, batch_s)
            time.sleep(delay)
            os.kill(child.pid, signal.SIGKILL)
            child.wait()
            acked = seen + sum(1 for line in child.stdout.read().splitlines() if line.startswith("ack"))
        check = run_child(["--check-child", system, path, data_path, meta_path, str(batch), str(acked)])
        check.update({"trial": trial, "acked_batches": acked, "acked_docs": acked * batch,
                      "killed_after_acks": wait_for, "delay_s": delay, "batch_s": batch_s,
                      "finished_before_kill": acked >= batches})
        if acked >= batches:
            check["in_flight_present"] = None  # the kill came after the last batch: none was in flight
        out.append(check)
        shutil.rmtree(path, ignore_errors=True)
    return {"system": system, "batch": batch, "batches": batches, "trials": out, "totals": trial_totals(out)}


def trial_totals(trials):
    checked = [t for t in trials if "open_error" not in t and "error" not in t]
    in_flight = [t for t in checked if t["in_flight_present"] is not None]
    return {
        "trials": len(trials),
        "open_failed": sum(1 for t in trials if "open_error" in t),
        "harness_errors": sum(1 for t in trials if "error" in t),
        "acked_docs": sum(t["acked_docs"] for t in trials if "acked_docs" in t),
        "missing": sum(t["missing"] for t in checked),
        "trials_with_missing": sum(1 for t in checked if t["missing"]),
        "queried": sum(t["queried"] for t in checked),
        "not_found_by_query": sum(t["not_found_by_query"] for t in checked),
        "in_flight_whole": sum(1 for t in in_flight if t["in_flight_present"] == t["batch"]),
        "in_flight_none": sum(1 for t in in_flight if t["in_flight_present"] == 0),
        "in_flight_partial": sum(1 for t in in_flight if 0 < t["in_flight_present"] < t["batch"]),
        "count_wrong": sum(1 for t in checked if not t["count_ok"]),
        "finished_before_kill": sum(1 for t in trials if t.get("finished_before_kill")),
        "reopen_s": summary([t["open_s"] for t in checked]) if checked else None,
    }


# ---------------------------------------------------------------- child modes


def child_reopen(system, path, query_path):
    """Open (client and collection for chromadb), then a first query; the imports come
    before the clock starts, for both."""
    query = np.load(query_path)
    if system == "chromadb":
        import chromadb
        start = time.perf_counter()
        client = chromadb.PersistentClient(path=path)
        collection = client.get_collection("bench")
        opened = time.perf_counter()
        collection.query(query_embeddings=[query], n_results=10, include=[])
        first = time.perf_counter()
        count = collection.count()
    else:
        import vendrel_plus  # noqa: F401
        start = time.perf_counter()
        db = open_full(path)
        opened = time.perf_counter()
        db.search(query, 10)
        first = time.perf_counter()
        count = db.count()
    print(json.dumps({"open_s": opened - start, "first_query_s": first - opened, "count": count}))


def child_chroma_build(path, data_path, meta_path, n, batch):
    import chromadb
    vectors = np.load(data_path)[:n]
    with open(meta_path) as handle:
        metas = [flat_meta(json.loads(text)) for text in json.load(handle)[:n]]
    client = chromadb.PersistentClient(path=path)
    collection = client.create_collection("bench", metadata={"hnsw:space": "cosine"})
    start = time.perf_counter()
    for first in range(0, n, batch):
        last = min(n, first + batch)
        collection.add(ids=[str(i) for i in range(first, last)], embeddings=vectors[first:last],
                       metadatas=metas[first:last])
    print(json.dumps({"build_s": time.perf_counter() - start, "count": collection.count()}))


def child_trial(system, path, data_path, meta_path, batch, batches):
    vectors = np.load(data_path)
    with open(meta_path) as handle:
        texts = json.load(handle)
    if system == "chromadb":
        import chromadb
        collection = chromadb.PersistentClient(path=path).get_or_create_collection(
            "trial", metadata={"hnsw:space": "cosine"})
        metas = [flat_meta(json.loads(text)) for text in texts]

        def add(first, last):
            collection.add(ids=[str(i) for i in range(first, last)], embeddings=vectors[first:last],
                           metadatas=metas[first:last])
    else:
        db = open_full(path, system.split("-")[1])

        def add(first, last):
            db.add_many(np.arange(first, last), vectors[first:last], texts[first:last])
    print("open", flush=True)
    for number in range(batches):
        add(number * batch, (number + 1) * batch)
        print(f"ack {number}", flush=True)
    time.sleep(3600)  # the parent kills us


def child_check(system, path, data_path, meta_path, batch, acked_batches):
    """Reopens after the kill: which acknowledged documents are missing or changed, whether
    the batch in flight is there whole, none or in part, and whether a query with a
    document's own vector returns it among the top 10 (a sample of the acknowledged ones
    and the whole last acknowledged batch)."""
    vectors = np.load(data_path)
    with open(meta_path) as handle:
        texts = json.load(handle)
    acked = acked_batches * batch
    upto = min(len(vectors), acked + batch)
    rng = random.Random(acked)
    sample = sorted(set(rng.sample(range(acked), min(acked, 300))) | set(range(max(0, acked - batch), acked)))
    result = {"batch": batch}
    start = time.perf_counter()
    try:
        if system == "chromadb":
            import chromadb
            collection = chromadb.PersistentClient(path=path).get_collection("trial")
        else:
            db = open_full(path)
    except Exception as exc:  # what a user would see: the open fails
        result["open_error"] = f"{type(exc).__name__}: {exc}"[:400]
        print(json.dumps(result))
        return
    result["open_s"] = time.perf_counter() - start
    if system == "chromadb":
        got = collection.get(ids=[str(i) for i in range(upto)], include=["metadatas", "embeddings"])
        held = {}
        for key, meta, vector in zip(got["ids"], got["metadatas"], got["embeddings"]):
            i = int(key)
            same = meta == flat_meta(json.loads(texts[i])) and np.allclose(np.asarray(vector), vectors[i], atol=1e-6)
            held[i] = same
        found = []
        if sample:
            answer = collection.query(query_embeddings=vectors[sample], n_results=10, include=[])
            found = [[int(x) for x in ids] for ids in answer["ids"]]
        count = collection.count()
    else:
        hits = db.build_results([(i, 0.0) for i in range(upto)], True)
        held = {i: text == texts[i] for i, _, text in hits}
        found = []
        if sample:
            found = [[h[0] for h in answer] for answer in db.search_many(vectors[sample], 10, None, False)]
        count = db.count()
    result["missing"] = sum(1 for i in range(acked) if not held.get(i, False))
    result["in_flight_present"] = sum(1 for i in range(acked, upto) if i in held)
    result["queried"] = len(sample)
    result["not_found_by_query"] = sum(1 for i, ids in zip(sample, found) if i not in ids)
    result["count"] = count
    result["count_ok"] = count in (acked, upto)
    print(json.dumps(result))


# ---------------------------------------------------------------- report


def fmt_s(entry, scale=1.0, unit="s"):
    if not entry:
        return "—"
    return f"{entry['median'] * scale:.3g} {unit} ({entry['min'] * scale:.3g}–{entry['max'] * scale:.3g})"


def fmt_rate(entry):
    if not entry:
        return "—"
    return f"{entry['median']:,.0f} ({entry['min']:,.0f}–{entry['max']:,.0f})"


def fmt_ratio(entry):
    if not entry:
        return "—"
    return f"{entry['median']:.2f} ({entry['min']:.2f}–{entry['max']:.2f})"


def fmt_x(value):
    return "—" if value is None else f"{value:.3g}"


def targets(report):
    """Each target with the measured figure and whether it is met."""
    rows = []
    for index, entry in report.get("add_many", {}).items():
        if "error" in entry:
            continue
        for level, goal in (("process", 0.8), ("power", 0.6)):
            value = entry["ratio_to_memory"][level]["median"]
            rows.append({"what": f"add_many {index}, {level} / memory", "goal": f">= {goal}", "value": value,
                         "met": value >= goal})
    large = report["settings"]["large"]
    for item in report.get("reopen", []):
        if item["n"] != large or "error" in item:
            continue
        for kind, label in (("closed", "after close()"), ("dropped", "log replayed")):
            for state in ("warm", "cold"):
                entry = item[kind].get(state)
                if not entry or not entry.get("open_s"):
                    continue
                rows.append({"what": f"reopen {item['index']} {large:,}, {label}, {state} cache / sequential read",
                             "goal": "<= 2", "value": entry["open_to_read"], "met": entry["open_to_read"] <= 2})
                rows.append({"what": f"reopen {item['index']} {large:,}, {label}, {state} cache / add_many build",
                             "goal": "<= 0.1", "value": entry["open_to_build"], "met": entry["open_to_build"] <= 0.1})
    return rows


def markdown(report):
    s, m = report["settings"], report["machine"]
    lines = [f"# FullVendrelDB durability, {report['date']}", "",
             f"Machine: {m['cpu']}, {m['cores']} cores, {m.get('memory_gib', '?')} GiB, Python {m['python']}, "
             f"numpy {m['numpy']}, {m['os']}; load average {report['load_before']} before the run and "
             f"{report['load_after']} after it. Versions: vendrel {report['versions']['vendrel']} "
             f"(commit {report['versions']['commit']}), chromadb {report['versions']['chromadb']}. "
             f"Run time {report['total_s'] / 60:.1f} min; files in {s['work_filesystem']}.", "",
             f"Data: peers_bench's clustered vectors, d = {s['dim']} (chunks of {CHUNK:,} rows, each drawn with "
             f"its own seed and 50 centres), with its metadata (category, price, year, tags, user.age); "
             f"chromadb gets the same metadata flattened (tags joined, user_age). "
             f"HNSW M = {HNSW_M}, ef_construction = {HNSW_EFC}, ef_search = {HNSW_EFS}.", "",
             "Figures are medians over rounds with the range in brackets; each ratio is taken within a "
             "round (the order of the compared runs rotating from round to round) and then summarised.", ""]

    lines += ["## Targets", "", "| what | goal | measured | met |", "|---|---|---:|---|"]
    for row in report["targets"]:
        lines.append(f"| {row['what']} | {row['goal']} | {row['value']:.3g} | {'yes' if row['met'] else 'NO'} |")
    lines.append("")

    lines += [f"## add_many at {s['n']:,} x {s['dim']}", "",
              f"All rows in calls of {s['batch']:,} into a new database; {s['rounds']} rounds (hnsw: "
              f"{s['hnsw_rounds']}). docs/s counts the add_many calls only; close() (the checkpoint, at the "
              "durable levels) is given apart.", "",
              "| index | level | docs/s | / memory | close() |", "|---|---|---:|---:|---:|"]
    for index, entry in report.get("add_many", {}).items():
        if "error" in entry:
            lines.append(f"| {index} | failed: {entry['error']} | | | |")
            continue
        for level in LEVELS:
            ratio = "1 (reference)" if level == "memory" else fmt_ratio(entry["ratio_to_memory"][level])
            lines.append(f"| {index} | {level} | {fmt_rate(entry['docs_per_s'][level])} | {ratio} | "
                         f"{fmt_s(entry['close_s'][level])} |")
    lines.append("")

    lines += [f"## One add per call ({s['single']:,} adds into a new database, {s['rounds']} rounds)", "",
              "| index | level | adds/s | / memory |", "|---|---|---:|---:|"]
    for index, entry in report.get("single_add", {}).items():
        if "error" in entry:
            lines.append(f"| {index} | failed: {entry['error']} | | |")
            continue
        for level in LEVELS:
            ratio = "1 (reference)" if level == "memory" else fmt_ratio(entry["ratio_to_memory"][level])
            lines.append(f"| {index} | {level} | {fmt_rate(entry['adds_per_s'][level])} | {ratio} |")
    lines.append("")

    lines += ["## Reopening", "",
              "Built with add_many (calls of "
              f"{s['batch']:,}) at the default level \"process\"; then dropped without close() (reopen replays the "
              "log), then closed (reopen reads the checkpoint alone). Reopen = the constructor in a fresh process "
              "(imports before the clock); +query adds the first top-10 search. Sequential read = every file of "
              "the directory read front to back in 16 MiB blocks by the benchmark process. Warm: every file "
              "read just before (resident share as measured by mincore in the JSON); cold: the directory's "
              "files flushed and dropped from the page cache with posix_fadvise(DONTNEED) before either side. "
              f"{s['reopen_rounds']} rounds after close(), {s['replay_rounds']} with the log replayed.", "",
              "| index | docs | state | cache | reopen | +query | sequential read | reopen / read | "
              "reopen / build | bytes/doc | log |",
              "|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for item in report.get("reopen", []):
        if "error" in item:
            lines.append(f"| {item['index']} | {item['n']:,} | failed: {item['error']} | | | | | | | | |")
            continue
        for kind, label in (("closed", "after close()"), ("dropped", "log replayed")):
            for state in ("warm", "cold"):
                entry = item[kind].get(state)
                if not entry:
                    continue
                log = f"{item[kind].get('log_bytes', 0) / 1e6:,.0f} MB" if kind == "dropped" else "0"
                lines.append(f"| {item['index']} | {item['n']:,} | {label} | {state} | {fmt_s(entry['open_s'])} | "
                             f"{fmt_s(entry['open_query_s'])} | {fmt_s(entry['read_s'])} | "
                             f"{fmt_x(entry.get('open_to_read'))} | {fmt_x(entry.get('open_to_build'))} | "
                             f"{item[kind]['bytes_per_doc']:,.0f} | {log} |")
    lines += ["", "| index | docs | add_many build | docs/s | close() after the build |", "|---|---:|---:|---:|---:|"]
    for item in [item for item in report.get("reopen", []) if "error" not in item]:
        lines.append(f"| {item['index']} | {item['n']:,} | {item['build_s']:.1f} s | {item['build_docs_per_s']:,.0f} | "
                     f"{item['close_s']:.2f} s |")
    lines.append("")

    chroma = report.get("chroma_reopen")
    if chroma:
        lines += [f"## chromadb against FullVendrelDB at {s['n']:,} x {s['dim']}", ""]
        if "error" in chroma:
            lines += [f"chromadb failed: {chroma['error']}", ""]
        else:
            lines += ["Reopen = PersistentClient(path) + get_collection (chromadb) or the constructor "
                      "(FullVendrelDB, after close()); +query = with the first top-10 query, which is where "
                      f"chromadb loads its index. chromadb added in batches of {chroma['batch']:,}.", "",
                      "| system | cache | reopen | +query | sequential read | +query / read | bytes/doc | build |",
                      "|---|---|---:|---:|---:|---:|---:|---:|"]
            ours = {item["index"]: item for item in report.get("reopen", [])
                    if item["n"] == s["n"] and "error" not in item}
            for state in ("warm", "cold"):
                rows = [("chromadb", chroma, chroma)] + [(f"vendrel-{index}", ours[index]["closed"], ours[index])
                                                         for index in INDEXES if index in ours]
                for name, entry_of, item in rows:
                    entry = entry_of.get(state)
                    if not entry:
                        continue
                    lines.append(f"| {name} | {state} | {fmt_s(entry['open_s'])} | {fmt_s(entry['open_query_s'])} | "
                                 f"{fmt_s(entry['read_s'])} | {fmt_x(entry.get('open_query_to_read'))} | "
                                 f"{entry_of['bytes_per_doc']:,.0f} | {item['build_s']:.1f} s |")
            lines.append("")

    if report.get("trials"):
        t = report["settings"]["trials"]
        lines += ["## kill -9", "",
                  f"{t['trials']} trials per system. Each: a new directory; a child process opens it and adds "
                  f"{t['batches']} batches of {t['batch']:,} documents (d = {s['dim']}), printing an acknowledgement "
                  "after each batch returns; the parent waits for a random number of acknowledgements (0 to "
                  f"{t['batches'] - 2}), then a random part of one batch's time, and sends SIGKILL; a fresh process "
                  "reopens the directory. Missing = acknowledged documents absent after the reopen or held with "
                  "other metadata or another vector; not found = documents a query with their own vector does "
                  "not return among its top 10 (up to 300 acknowledged ones per trial and the last acknowledged "
                  "batch; the indexes are approximate, so a document not found is lost only if it is also "
                  "missing). In flight = the batch that had not returned.", "",
                  "| system | trials | open failed | acknowledged docs | missing | trials with loss | "
                  "queried | not found | in flight whole / none / partial | killed after the last batch | "
                  "count wrong | reopen |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|"]
        for system, entry in report["trials"].items():
            if "totals" not in entry:
                lines.append(f"| {system} | failed: {entry.get('error', '?')} |")
                continue
            x = entry["totals"]
            lines.append(f"| {system} | {x['trials']} | {x['open_failed']} | {x['acked_docs']:,} | {x['missing']:,} | "
                         f"{x['trials_with_missing']} | {x['queried']:,} | {x['not_found_by_query']:,} | "
                         f"{x['in_flight_whole']} / {x['in_flight_none']} / {x['in_flight_partial']} | "
                         f"{x['finished_before_kill']} | {x['count_wrong']} | {fmt_s(x['reopen_s'])} |")
        errors = [f"{system} trial {tr['trial']}: {tr.get('open_error') or tr.get('error')}"
                  for system, entry in report["trials"].items() for tr in entry.get("trials", [])
                  if "open_error" in tr or "error" in tr]
        if errors:
            lines += ["", "Failed opens and harness errors:", ""] + [f"- {e}" for e in errors]
        lines.append("")
    return "\n".join(lines)


def write_report(report, out_dir, stem):
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, stem + ".json"), "w") as handle:
        json.dump(report, handle, indent=1)
    with open(os.path.join(out_dir, stem + ".md"), "w") as handle:
        handle.write(markdown(report))
    say(f"wrote {os.path.join(out_dir, stem)}.json and .md")


# ---------------------------------------------------------------- driver


def versions():
    from importlib import metadata
    out = {}
    for name in ("vendrel", "chromadb"):
        try:
            out[name] = metadata.version(name)
        except Exception:
            out[name] = "not installed"
    proc = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True, text=True)
    out["commit"] = proc.stdout.strip() or "?"
    return out


def has_chromadb():
    from importlib.util import find_spec
    return find_spec("chromadb") is not None


def run(args):
    started = time.time()
    machine = machine_info()
    machine["memory_gib"] = round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1)
    work = tempfile.mkdtemp(prefix="durability-bench-", dir=args.workdir)
    filesystem = subprocess.run(["df", "--output=source,fstype", work], capture_output=True, text=True).stdout
    settings = {"n": args.n, "large": args.large, "dim": args.dim, "batch": args.batch, "rounds": args.rounds,
                "hnsw_rounds": args.hnsw_rounds, "single": args.single, "reopen_rounds": args.reopen_rounds,
                "replay_rounds": args.replay_rounds, "hnsw": {"M": HNSW_M, "ef_construction": HNSW_EFC,
                                                              "ef_search": HNSW_EFS},
                "trials": {"trials": args.trials, "batch": args.trial_batch, "batches": args.trial_batches},
                "chroma_batch": args.chroma_batch, "seed": SEED, "read_block": READ_BLOCK,
                "work_filesystem": " ".join(filesystem.split()[2:]) or "?"}
    report = {"date": datetime.date.today().isoformat(), "machine": machine, "settings": settings,
              "versions": versions(), "load_before": load_average()}
    chroma = has_chromadb() and not args.no_chroma
    if not chroma and not args.no_chroma:
        say("chromadb is not installed here: its parts are left out (./bench/run.sh --durability installs it)")
    try:
        total = max(args.n, args.large)
        say(f"data: {total:,} x {args.dim} ...")
        vectors = make_vectors(total, args.dim, SEED)
        metas = make_metadata(total, SEED + 1)
        # A copy, so that the large set's memory goes once its part is done.
        small, small_metas = vectors[:args.n].copy(), metas[:args.n]
        query_path = os.path.join(work, "query.npy")
        np.save(query_path, clustered(1, args.dim, SEED - 1)[0])
        data_path, meta_path = os.path.join(work, "small.npy"), os.path.join(work, "small-meta.json")
        np.save(data_path, small)
        with open(meta_path, "w") as handle:
            json.dump(small_metas, handle)

        say(f"add_many at {args.n:,} (load {load_average()})")
        report["add_many"] = {}
        for index in INDEXES:
            rounds = args.rounds if index == "exact" else args.hnsw_rounds
            if rounds:
                report["add_many"][index] = guarded({"index": index}, bench_add_many, index, small, small_metas,
                                                    args.batch, rounds, work)

        say(f"one add per call, {args.single:,} adds (load {load_average()})")
        report["single_add"] = {index: guarded({"index": index}, bench_single_adds, index, small, small_metas,
                                               args.single, args.rounds, work)
                                for index in INDEXES}

        say(f"reopen (load {load_average()})")
        report["reopen"] = []
        for size in sorted({args.n, args.large}):
            for index in INDEXES:
                report["reopen"].append(guarded({"index": index, "n": size}, bench_reopen, index, vectors[:size],
                                                metas[:size], args.batch, args.reopen_rounds, args.replay_rounds,
                                                work, query_path))
        del vectors, metas

        if chroma:
            say(f"chromadb reopen at {args.n:,} (load {load_average()})")
            report["chroma_reopen"] = guarded({}, bench_chroma_reopen, data_path, meta_path, args.n,
                                              args.chroma_batch, args.reopen_rounds, work, query_path)

        say(f"kill -9 trials (load {load_average()})")
        rng = random.Random(SEED)
        report["trials"] = {}
        for system in (["chromadb"] if chroma else []) + ["vendrel-exact", "vendrel-hnsw"]:
            if args.trials:
                report["trials"][system] = guarded({}, kill_trials, system, args.trials, args.trial_batch,
                                                   args.trial_batches, work, data_path, meta_path, rng)
                say(f"  {system}: {report['trials'][system].get('totals', report['trials'][system])}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report["load_after"] = load_average()
    report["total_s"] = time.time() - started
    report["targets"] = targets(report)
    write_report(report, args.out, f"{report['date']}-durability")
    return report


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100_000, help="documents for add_many, chromadb and the small reopen")
    p.add_argument("--large", type=int, default=1_000_000, help="documents of the large reopen")
    p.add_argument("--dim", type=int, default=768)
    p.add_argument("--batch", type=int, default=10_000, help="rows per add_many call")
    p.add_argument("--rounds", type=int, default=5, help="rounds of the exact add_many and of the single adds")
    p.add_argument("--hnsw-rounds", type=int, default=3, help="rounds of the hnsw add_many (0: skip it)")
    p.add_argument("--single", type=int, default=2000, help="adds of one document per round and level")
    p.add_argument("--reopen-rounds", type=int, default=5, help="rounds per cache state after close()")
    p.add_argument("--replay-rounds", type=int, default=3, help="rounds per cache state with the log replayed")
    p.add_argument("--trials", type=int, default=20, help="kill -9 trials per system")
    p.add_argument("--trial-batch", type=int, default=1000)
    p.add_argument("--trial-batches", type=int, default=12)
    p.add_argument("--chroma-batch", type=int, default=5000)
    p.add_argument("--no-chroma", action="store_true", help="leave chromadb out even where it is installed")
    p.add_argument("--workdir", default=None, help="where the databases go (default: the system's temporary directory)")
    p.add_argument("--out", default=os.path.join(HERE, "results"))
    p.add_argument("--smoke", action="store_true", help="seconds: tiny sizes, no chromadb, report to a temporary directory")
    p.add_argument("--reopen-child", nargs=3, help=argparse.SUPPRESS)
    p.add_argument("--chroma-build", nargs=5, help=argparse.SUPPRESS)
    p.add_argument("--trial-child", nargs=6, help=argparse.SUPPRESS)
    p.add_argument("--check-child", nargs=6, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.reopen_child:
        return child_reopen(*args.reopen_child)
    if args.chroma_build:
        path, data, meta, n, batch = args.chroma_build
        return child_chroma_build(path, data, meta, int(n), int(batch))
    if args.trial_child:
        system, path, data, meta, batch, batches = args.trial_child
        return child_trial(system, path, data, meta, int(batch), int(batches))
    if args.check_child:
        system, path, data, meta, batch, acked = args.check_child
        return child_check(system, path, data, meta, int(batch), int(acked))
    if args.smoke:
        args.n, args.large, args.dim, args.batch, args.single = 1500, 3000, 32, 500, 100
        args.rounds, args.hnsw_rounds, args.reopen_rounds, args.replay_rounds = 1, 1, 1, 1
        args.trials, args.trial_batch, args.trial_batches, args.no_chroma = 2, 100, 4, True
        with tempfile.TemporaryDirectory() as out:
            args.out = out
            report = run(args)
        assert all(item["closed"]["warm"]["open_s"] for item in report["reopen"]), report["reopen"]
        for system, entry in report["trials"].items():
            assert entry["totals"]["missing"] == 0 and entry["totals"]["open_failed"] == 0, entry["totals"]
        print("smoke: ok")
        return None
    return run(args)


if __name__ == "__main__":
    main()

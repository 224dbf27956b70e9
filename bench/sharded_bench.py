"""The sharded layer (vendrel_plus.ShardedVendrelDB) on one machine, through Ray.

Ingest (the default run): add_many of N synthetic documents at d = 768 (the mixture of
Gaussians of peers_bench.py, a small metadata object each), kind="full", as

- direct, fresh process: one FullVendrelDB fed the rows by one add_many in a Python
  process of its own (its storage takes fresh pages from the system, as a shard's
  does); the reference for the shards;
- direct, this process: the same in this process, no Ray running (later loads in a
  process reuse the pages earlier ones freed, and run faster);
- idle Ray: the same while the Ray instance that ShardedVendrelDB started idles (its
  shards closed and gone);
- 1 shard, 2 shards: ShardedVendrelDB(kind="full").add_many, Ray started by the client
  as it starts it when none is running.

It runs in cycles: both direct cases, then Ray started (by opening a database) and
warmed with one unmeasured 2-shard load, then idle Ray, 1 shard and 2 shards (the order
rotating from cycle to cycle), then Ray stopped. It reports the medians and ranges of
docs/s, the ratios 2 shards / 1 shard, 1 shard / direct and idle Ray / direct in this
process (each cycle's ratio: median and range), and where the cycles went: the CPU
seconds used during each load by the loading process (the client), the shards and Ray's
own processes (Linux only).

Search (--search): top-10 p50, p99 and QPS (one query at a time) through 1, 2 (and 4
contract) shards against a plain database holding every document and against each
shard's own p50 (the fan-out overhead); recall@10 against exact cosine; the loading
rates of both kinds (sequential, one run each).

Usage (in the project environment, which has the cluster extra; no Ray running):
  .venv/bin/python bench/sharded_bench.py              # ingest, N = 100,000, 3 cycles
  .venv/bin/python bench/sharded_bench.py --quick      # ingest, N = 20,000
  .venv/bin/python bench/sharded_bench.py --search     # search, N = 200,000
  .venv/bin/python bench/sharded_bench.py --search --chart bench/results/<date>-sharded.json
Results: bench/results/<date>-sharded-ingest.json and .md; with --search
<date>-sharded.json, .md and .png (the chart needs matplotlib; without it the chart is
skipped and can be drawn later with --chart).
"""

import argparse
import datetime
import itertools
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from peers_bench import clustered, machine_info  # noqa: E402  (bench/ is on sys.path when run as a script)

HERE = os.path.dirname(os.path.abspath(__file__))
DIM = 768
K = 10


# ---------------------------------------------------------------- data


def metadata_texts(count, seed):
    rng = np.random.default_rng(seed)
    categories = rng.integers(0, 20, size=count)
    prices = np.round(rng.uniform(0, 100, size=count), 2)
    return [json.dumps({"category": f"c{c}", "price": float(p)}) for c, p in zip(categories, prices)]


def exact_top_k(base, queries, k):
    base = base / np.linalg.norm(base, axis=1, keepdims=True)
    queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    scores = queries @ base.T
    return np.argsort(-scores, axis=1)[:, :k]


# ---------------------------------------------------------------- measuring


def latency_summary(seconds):
    ordered = sorted(seconds)
    p99 = ordered[min(len(ordered) - 1, int(round(0.99 * (len(ordered) - 1))))]
    return {"p50_ms": statistics.median(ordered) * 1e3, "p99_ms": p99 * 1e3, "qps": len(ordered) / sum(ordered)}


def run_queries(db, queries):
    db.search(queries[0], K)  # warm-up
    latencies, hits = [], []
    for query in queries:
        started = time.perf_counter()
        result = db.search(query, K)
        latencies.append(time.perf_counter() - started)
        hits.append([hit[0] for hit in result])
    return latency_summary(latencies), hits


def recall(hits, truth):
    return float(np.mean([len(set(found) & set(expected.tolist())) / K for found, expected in zip(hits, truth)]))


def add_one_by_one(db, vectors, texts):
    """Seconds for the whole load and for the first 5,000 documents."""
    started = time.perf_counter()
    first = None
    for doc_id in range(len(texts)):
        if doc_id == 5000:
            first = time.perf_counter() - started
        db.add(doc_id, vectors[doc_id], texts[doc_id])
    return time.perf_counter() - started, first


def ingest_rate(count, seconds):
    return count / seconds if seconds else None


def partitions(kind, work, shards, ids, vectors, texts):
    """Plain databases holding what each shard holds, filled by their own add_many;
    returns them with each one's add_many seconds."""
    from vendrel_plus import FullVendrelDB
    from vendrel_plus._native import ContractDB

    made = []
    for shard in range(shards):
        rows = np.flatnonzero(ids % shards == shard)
        db = (FullVendrelDB if kind == "full" else ContractDB)(os.path.join(work, f"part-{shards}-{shard}"))
        started = time.perf_counter()
        db.add_many((ids[rows] // shards).astype(np.uint32), np.ascontiguousarray(vectors[rows]),
                    [texts[row] for row in rows.tolist()])
        made.append((db, time.perf_counter() - started))
    return made


# ---------------------------------------------------------------- ingest


def cpu_seconds(pid):
    """CPU seconds (user and system) the process has used so far; None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as handle:
            fields = handle.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def descendants(pid):
    """The processes started by `pid`, and by them in turn (Ray's daemons and workers)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as handle:
                    parent = int(handle.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, pending = [], [pid]
    while pending:
        for child in children.get(pending.pop(), []):
            found.append(child)
            pending.append(child)
    return found


class CpuMeter:
    """CPU seconds used from its creation to used() by the client (this process), the
    given shard processes and every other process Ray started from here (its daemons
    and idle workers). Empty where /proc is not available."""

    def __init__(self, shard_pids):
        self.groups = {}
        if os.path.isdir("/proc/self"):
            me = os.getpid()
            groups = {"client": [me], "shards": list(shard_pids),
                      "ray": [pid for pid in descendants(me) if pid not in shard_pids]}
            self.groups = {group: pids for group, pids in groups.items() if pids}
        self.before = self.read()

    def read(self):
        return {pid: cpu_seconds(pid) for pids in self.groups.values() for pid in pids}

    def used(self):
        after = self.read()
        return {group: sum(after[pid] - self.before[pid] for pid in pids
                           if after[pid] is not None and self.before[pid] is not None)
                for group, pids in self.groups.items()}


def wait_until_gone(pids, timeout=30.0):
    """Waits for killed shard processes to end, so that they do not share the cores
    with the next measurement."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(cpu_seconds(pid) is not None for pid in pids):
        time.sleep(0.05)


# A FullVendrelDB loaded in a process of its own, as a user's one load runs: its storage
# takes fresh pages from the system, as a shard's does. A second load in the same
# process reuses the pages the first one freed and runs faster.
FRESH_LOAD = """
import json, sys, time
import numpy as np
from vendrel_plus import FullVendrelDB
vectors = np.load(sys.argv[1])
with open(sys.argv[2]) as handle:
    texts = json.load(handle)
db = FullVendrelDB(sys.argv[3])
cpu = time.process_time()
started = time.perf_counter()
db.add_many(np.arange(len(texts), dtype=np.uint32), vectors, texts)
print(json.dumps({"seconds": time.perf_counter() - started, "cpu_s": time.process_time() - cpu}))
"""


def load_fresh(path, data):
    out = subprocess.run([sys.executable, "-c", FRESH_LOAD, *data, path], capture_output=True, text=True, check=True)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    return {"docs_per_s": None, "seconds": result["seconds"], "cpu_s": {"client": result["cpu_s"]}}


def load_direct(path, ids, vectors, texts):
    from vendrel_plus import FullVendrelDB

    db = FullVendrelDB(path)
    meter = CpuMeter([])
    started = time.perf_counter()
    db.add_many(ids, vectors, texts)
    seconds = time.perf_counter() - started
    return {"docs_per_s": len(ids) / seconds, "cpu_s": meter.used()}


def load_sharded(path, shards, ids, vectors, texts):
    from vendrel_plus import ShardedVendrelDB

    with ShardedVendrelDB(path, shards, kind="full") as db:
        pids = [pid for _, pid in db.locations()]
        meter = CpuMeter(pids)
        started = time.perf_counter()
        db.add_many(ids, vectors, texts)
        seconds = time.perf_counter() - started
        used = meter.used()
    wait_until_gone(pids)
    return {"docs_per_s": len(ids) / seconds, "cpu_s": used}


INGEST_CASES = ("direct, fresh process", "direct, this process", "idle Ray", "1 shard", "2 shards")


def run_ingest(args):
    import ray

    count = args.n
    vectors = clustered(count, DIM, seed=1)
    texts = metadata_texts(count, seed=2)
    ids = np.arange(count, dtype=np.uint32)
    data_dir = tempfile.mkdtemp(prefix="sharded-ingest-data-")
    data = (os.path.join(data_dir, "vectors.npy"), os.path.join(data_dir, "texts.json"))
    np.save(data[0], vectors)
    with open(data[1], "w") as handle:
        json.dump(texts, handle)
    work = os.path.join(data_dir, "databases")
    runs = {case: [] for case in INGEST_CASES}
    cycles = []
    paths = (os.path.join(work, f"db-{number}") for number in itertools.count())

    def measure(case):
        if case == "direct, fresh process":
            result = load_fresh(next(paths), data)
            result["docs_per_s"] = count / result.pop("seconds")
        elif case in ("direct, this process", "idle Ray"):
            result = load_direct(next(paths), ids, vectors, texts)
        else:
            result = load_sharded(next(paths), int(case[0]), ids, vectors, texts)
        shutil.rmtree(work, ignore_errors=True)
        print(f"  {case:21s} {result['docs_per_s']:10,.0f} docs/s  cpu s "
              + " ".join(f"{group} {seconds:.2f}" for group, seconds in result["cpu_s"].items()), flush=True)
        return result

    load_before = os.getloadavg()
    started_run = time.time()
    measure("direct, this process")  # unmeasured: this process's first pages and the module's first use
    for cycle in range(args.cycles):
        print(f"cycle {cycle + 1} of {args.cycles}", flush=True)
        this = {case: [] for case in INGEST_CASES}
        for _ in range(args.per_cycle):
            for case in ("direct, fresh process", "direct, this process"):
                this[case].append(measure(case))
        load_sharded(next(paths), 2, ids, vectors, texts)  # starts Ray as the client does; warms it up
        order = ["idle Ray", "1 shard", "2 shards"]
        order = order[cycle % 3:] + order[:cycle % 3]
        for _ in range(args.per_cycle):
            for case in order:
                this[case].append(measure(case))
        ray.shutdown()
        for case in INGEST_CASES:
            runs[case] += this[case]
        cycles.append({case: statistics.median(r["docs_per_s"] for r in this[case]) for case in INGEST_CASES})
    shutil.rmtree(data_dir, ignore_errors=True)

    def ratio(top, bottom):
        per_cycle = [cycle[top] / cycle[bottom] for cycle in cycles]
        return {"median": statistics.median(per_cycle), "min": min(per_cycle), "max": max(per_cycle)}

    return {
        "date": datetime.date.today().isoformat(), "machine": machine_info(),
        "settings": {"n": count, "dim": DIM, "kind": "full", "cycles": args.cycles, "per_cycle": args.per_cycle,
                     "ray": ray.__version__},
        "load_average": {"before": load_before, "after": os.getloadavg()},
        "total_s": time.time() - started_run,
        "cases": {case: {"docs_per_s": [r["docs_per_s"] for r in runs[case]],
                         "median_docs_per_s": statistics.median(r["docs_per_s"] for r in runs[case]),
                         "median_cpu_s": {group: statistics.median(r["cpu_s"].get(group, 0.0) for r in runs[case])
                                          for group in runs[case][0]["cpu_s"]}}
                  for case in INGEST_CASES},
        "ratios": {"2 shards / 1 shard": ratio("2 shards", "1 shard"),
                   "1 shard / direct, fresh process": ratio("1 shard", "direct, fresh process"),
                   "1 shard / direct, this process": ratio("1 shard", "direct, this process"),
                   "idle Ray / direct, this process": ratio("idle Ray", "direct, this process")},
    }


def ingest_table(report):
    settings, machine = report["settings"], report["machine"]
    lines = [f"# Sharded ingest on one machine ({report['date']})\n",
             f"add_many of {settings['n']:,} documents, d = {settings['dim']}, kind=\"{settings['kind']}\"; "
             f"{settings['cycles']} cycles of {settings['per_cycle']} runs per case; Ray {settings['ray']}; "
             f"{machine['cores']} cores ({machine['cpu']}), Python {machine['python']}; load average "
             f"{report['load_average']['before'][0]:.1f} before, {report['load_average']['after'][0]:.1f} after.\n"]
    if report.get("note"):
        lines.append(f"{report['note']}\n")
    lines.append("| case | docs/s, median | range | CPU s: client | shards | Ray's processes |")
    lines.append("|---|---:|---|---:|---:|---:|")
    for case, entry in report["cases"].items():
        cpu = [entry["median_cpu_s"].get(group) for group in ("client", "shards", "ray")]
        cpu_cells = " | ".join("—" if seconds is None else f"{seconds:.2f}"
                               for group, seconds in zip(("client", "shards", "ray"), cpu))
        lines.append(f"| {case} | {entry['median_docs_per_s']:,.0f} | {min(entry['docs_per_s']):,.0f}–"
                     f"{max(entry['docs_per_s']):,.0f} | {cpu_cells} |")
    lines.append("\n| ratio (per cycle) | median | range |")
    lines.append("|---|---:|---|")
    for name, value in report["ratios"].items():
        lines.append(f"| {name} | {value['median']:.2f} | {value['min']:.2f}–{value['max']:.2f} |")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- the run


def run(args):
    import ray
    import vendrel
    from vendrel_plus import FullVendrelDB, ShardedVendrelDB, _native

    count = args.n
    vectors = clustered(count, DIM, seed=1)
    texts = metadata_texts(count, seed=2)
    ids = np.arange(count, dtype=np.uint32)
    queries = clustered(args.queries, DIM, seed=3)
    truth = exact_top_k(vectors, queries, K)
    full_queries = queries[:args.full_queries]
    work = tempfile.mkdtemp(prefix="sharded-bench-")
    ray.init(address="local", num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
    report = {"date": datetime.date.today().isoformat(), "machine": machine_info(),
              "settings": {"n": count, "dim": DIM, "k": K, "queries": len(queries),
                           "full_queries": len(full_queries), "ray": ray.__version__}}
    started_run = time.time()

    started = time.perf_counter()
    _native.convert_add_many(ids, vectors, texts, None)
    _native.find_unstorable_text(texts)
    report["client_validation_s"] = time.perf_counter() - started
    print(f"client conversion and validation of {count} rows: {report['client_validation_s']:.2f} s", flush=True)

    for kind in ("contract", "full"):
        plain_queries = queries if kind == "contract" else full_queries
        section = report[kind] = {}
        plain = vendrel.VendrelDB(os.path.join(work, f"plain-{kind}")) if kind == "contract" else \
            FullVendrelDB(os.path.join(work, f"plain-{kind}"))
        total, first = add_one_by_one(plain, vectors, texts)
        section["plain_add_docs_per_s"] = count / total
        if kind == "contract" and first is not None and count > 5000:
            section["plain_add_quantized_docs_per_s"] = (count - 5000) / (total - first)
        latency, hits = run_queries(plain, plain_queries)
        section["plain_search"] = latency
        if kind == "contract":
            section["plain_recall"] = recall(hits, truth)
        del plain
        print(kind, "plain", json.dumps(section), flush=True)

        for shards in ((1, 2, 4) if kind == "contract" else (1, 2)):
            entry = section[f"shards_{shards}"] = {}
            with ShardedVendrelDB(os.path.join(work, f"sharded-{kind}-{shards}"), shards, kind=kind) as sharded:
                started = time.perf_counter()
                sharded.add_many(ids, vectors, texts)
                entry["add_many_docs_per_s"] = count / (time.perf_counter() - started)
                latency, hits = run_queries(sharded, plain_queries)
                entry["search"] = latency
                if kind == "contract":
                    entry["recall"] = recall(hits, truth)
            own = partitions(kind, work, shards, ids, vectors, texts)
            entry["shard_add_many_docs_per_s"] = [len(np.flatnonzero(ids % shards == s)) / seconds
                                                  for s, (_, seconds) in enumerate(own)]
            entry["shard_search"] = [run_queries(db, plain_queries)[0] for db, _ in own]
            slowest = max(search["p50_ms"] for search in entry["shard_search"])
            entry["fan_out_overhead_p50_ms"] = entry["search"]["p50_ms"] - slowest
            del own
            print(kind, shards, json.dumps(entry), flush=True)
            shutil.rmtree(os.path.join(work, f"sharded-{kind}-{shards}"), ignore_errors=True)

        one, two = section["shards_1"], section["shards_2"]
        section["ratios"] = {
            "add_many_2_vs_1_shard": two["add_many_docs_per_s"] / one["add_many_docs_per_s"],
            "add_many_2_shards_vs_plain_add": two["add_many_docs_per_s"] / section["plain_add_docs_per_s"],
            "add_many_1_shard_vs_plain_add": one["add_many_docs_per_s"] / section["plain_add_docs_per_s"],
            "search_p50_1_shard_vs_plain": one["search"]["p50_ms"] / section["plain_search"]["p50_ms"],
            "search_p50_2_shards_vs_plain": two["search"]["p50_ms"] / section["plain_search"]["p50_ms"],
        }
        if "plain_add_quantized_docs_per_s" in section:
            section["ratios"]["add_many_2_shards_vs_plain_add_quantized"] = \
                two["add_many_docs_per_s"] / section["plain_add_quantized_docs_per_s"]
        shutil.rmtree(os.path.join(work, f"plain-{kind}"), ignore_errors=True)

    report["validation_share_of_2_shard_contract_add_many"] = \
        report["client_validation_s"] * report["contract"]["shards_2"]["add_many_docs_per_s"] / count
    report["total_s"] = time.time() - started_run
    ray.shutdown()
    shutil.rmtree(work, ignore_errors=True)
    return report


# ---------------------------------------------------------------- report


def table(report):
    lines = []
    settings, machine = report["settings"], report["machine"]
    lines.append(f"# Sharded layer on one machine ({report['date']})\n")
    lines.append(f"{settings['n']:,} documents, d = {settings['dim']}, top-{settings['k']}; "
                 f"{settings['queries']} queries (contract), {settings['full_queries']} (full); Ray {settings['ray']}; "
                 f"{machine['cores']} cores ({machine['cpu']}), Python {machine['python']}.\n")
    if report.get("note"):
        lines.append(f"{report['note']}\n")
    lines.append("## Ingest (docs/s)\n")
    lines.append("| kind | plain, one add per doc | plain, quantized regime | plain add_many (in process) "
                 "| 1 shard add_many | 2 shards add_many | 2 vs 1 shard | 2 shards vs plain add |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|")
    for kind in ("contract", "full"):
        section = report[kind]
        quantized = section.get("plain_add_quantized_docs_per_s")
        vs_plain = section["ratios"].get("add_many_2_shards_vs_plain_add_quantized",
                                         section["ratios"]["add_many_2_shards_vs_plain_add"])
        lines.append(f"| {kind} | {section['plain_add_docs_per_s']:,.0f} | "
                     f"{f'{quantized:,.0f}' if quantized else '—'} | "
                     f"{section['shards_1']['shard_add_many_docs_per_s'][0]:,.0f} | "
                     f"{section['shards_1']['add_many_docs_per_s']:,.0f} | "
                     f"{section['shards_2']['add_many_docs_per_s']:,.0f} | "
                     f"{section['ratios']['add_many_2_vs_1_shard']:.2f} | {vs_plain:.2f} |")
    lines.append(f"\nClient conversion and validation pass: {report['client_validation_s']:.2f} s for all rows, "
                 f"{100 * report['validation_share_of_2_shard_contract_add_many']:.1f} % of the 2-shard contract "
                 "add_many.\n")
    lines.append("## Search, top-10, one query at a time\n")
    lines.append("| kind | database | p50 ms | p99 ms | QPS | slowest shard's own p50 ms | fan-out overhead p50 ms "
                 "| recall@10 |")
    lines.append("|---|---|---:|---:|---:|---:|---:|---:|")
    for kind in ("contract", "full"):
        section = report[kind]
        plain = section["plain_search"]
        lines.append(f"| {kind} | plain | {plain['p50_ms']:.2f} | {plain['p99_ms']:.2f} | {plain['qps']:.0f} | — | — | "
                     f"{section.get('plain_recall', 1.0):.3f} |")
        for shards in (1, 2, 4):
            entry = section.get(f"shards_{shards}")
            if entry is None:
                continue
            search = entry["search"]
            slowest = max(own["p50_ms"] for own in entry["shard_search"])
            lines.append(f"| {kind} | {shards} shard{'s' if shards > 1 else ''} | {search['p50_ms']:.2f} | "
                         f"{search['p99_ms']:.2f} | {search['qps']:.0f} | {slowest:.2f} | "
                         f"{entry['fan_out_overhead_p50_ms']:.2f} | {entry.get('recall', 1.0):.3f} |")
    return "\n".join(lines) + "\n"


def chart(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (ingest, search) = plt.subplots(1, 2, figsize=(11, 4))
    labels, rates = [], []
    for kind in ("contract", "full"):
        section = report[kind]
        labels += [f"{kind}\nplain add", f"{kind}\n1 shard", f"{kind}\n2 shards"]
        rates += [section["plain_add_docs_per_s"], section["shards_1"]["add_many_docs_per_s"],
                  section["shards_2"]["add_many_docs_per_s"]]
    bars = ingest.bar(labels, rates, color=["#999999", "#4c72b0", "#55a868"] * 2)
    ingest.bar_label(bars, [f"{rate:,.0f}" for rate in rates], fontsize=7)
    ingest.set_yscale("log")
    ingest.set_ylabel("documents per second (log scale)")
    ingest.set_title("ingest (add_many through Ray)")
    ingest.tick_params(axis="x", labelsize=8)
    labels, through, own = [], [], []
    for kind in ("contract", "full"):
        section = report[kind]
        for shards in (1, 2, 4):
            entry = section.get(f"shards_{shards}")
            if entry is None:
                continue
            labels.append(f"{kind}\n{shards} shard{'s' if shards > 1 else ''}")
            through.append(entry["search"]["p50_ms"])
            own.append(max(s["p50_ms"] for s in entry["shard_search"]))
    positions = np.arange(len(labels))
    search.bar(positions - 0.2, own, 0.4, label="slowest shard's own p50", color="#999999")
    search.bar(positions + 0.2, through, 0.4, label="through the cluster", color="#4c72b0")
    search.set_xticks(positions, labels, fontsize=8)
    search.set_yscale("log")
    search.set_ylabel("top-10 search p50 (ms, log scale)")
    search.set_title("search latency and fan-out overhead")
    search.legend(fontsize=8)
    figure.suptitle(f"{report['settings']['n']:,} documents, d = {report['settings']['dim']}, "
                    f"{report['machine']['cores']} cores", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def write(report, out):
    os.makedirs(out, exist_ok=True)
    stem = os.path.join(out, f"{report['date']}-sharded")
    with open(stem + ".json", "w") as handle:
        json.dump(report, handle, indent=2)
    with open(stem + ".md", "w") as handle:
        handle.write(table(report))
    try:
        chart(report, stem + ".png")
    except ImportError:
        print(f"matplotlib is not installed: no chart (draw it later with --chart {stem}.json)")
    print(table(report))


def write_ingest(report, out):
    os.makedirs(out, exist_ok=True)
    stem = os.path.join(out, f"{report['date']}-sharded-ingest")
    with open(stem + ".json", "w") as handle:
        json.dump(report, handle, indent=2)
    with open(stem + ".md", "w") as handle:
        handle.write(ingest_table(report))
    print(ingest_table(report))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--search", action="store_true", help="the search side instead of the ingest")
    parser.add_argument("--n", type=int, help="documents (ingest: 100,000; search: 200,000)")
    parser.add_argument("--cycles", type=int, default=3, help="ingest: Ray start-stop cycles")
    parser.add_argument("--per-cycle", type=int, default=2, help="ingest: runs of each case per cycle")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--full-queries", type=int, default=50)
    parser.add_argument("--quick", action="store_true", help="N = 20,000 (search: 50 queries)")
    parser.add_argument("--chart", help="search: redraw the chart and table of a saved JSON report")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    parser.add_argument("--note", help="a line on the run's conditions, kept in the report (e.g. the load)")
    args = parser.parse_args()
    if args.chart:
        with open(args.chart) as handle:
            report = json.load(handle)
        if args.note:
            report["note"] = args.note
        write(report, os.path.dirname(os.path.abspath(args.chart)))
        return
    if args.n is None:
        args.n = 200_000 if args.search else 100_000
    if args.quick:
        args.n, args.queries, args.full_queries = 20_000, 50, 20
    report = run(args) if args.search else run_ingest(args)
    if args.note:
        report["note"] = args.note
    (write if args.search else write_ingest)(report, args.out)


if __name__ == "__main__":
    main()

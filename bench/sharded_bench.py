"""The sharded layer (vendrel_plus.ShardedVendrelDB) on one machine, through Ray.

On N synthetic documents at d = 768 (the mixture of Gaussians of peers_bench.py, with
a small metadata object per document) it measures, in one run:

- ingest: add_many into 1 and 2 shards of each kind against one plain database of the
  same kind fed one add per document (docs/s, ratios). For the contract kind the plain
  database's rate is also given from document 5,000 on (the quantized regime). Beside
  them: each plain database's own in-process add_many, and the share of the sharded
  add_many spent in the client's conversion and validation pass (every text parsed
  once before anything is sent);
- search: top-10 p50, p99 and QPS (one query at a time) through the cluster, against a
  plain database holding every document and against each shard's own p50 (the same
  partition in a plain database in this process): the fan-out overhead;
- recall@10 against exact cosine (numpy) with the plain contract database and 1, 2 and
  4 contract shards.

Usage (in the project environment, which has the cluster extra):
  .venv/bin/python bench/sharded_bench.py              # N = 200,000
  .venv/bin/python bench/sharded_bench.py --quick      # N = 20,000, fewer queries
  .venv/bin/python bench/sharded_bench.py --chart bench/results/<date>-sharded.json
Results: bench/results/<date>-sharded.json, .md and .png (the chart needs matplotlib;
without it the chart is skipped and can be drawn later with --chart).
"""

import argparse
import datetime
import json
import os
import shutil
import statistics
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--full-queries", type=int, default=50)
    parser.add_argument("--quick", action="store_true", help="N = 20,000, 50 queries")
    parser.add_argument("--chart", help="redraw the chart and table of a saved JSON report")
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
    if args.quick:
        args.n, args.queries, args.full_queries = 20_000, 50, 20
    report = run(args)
    if args.note:
        report["note"] = args.note
    write(report, args.out)


if __name__ == "__main__":
    main()

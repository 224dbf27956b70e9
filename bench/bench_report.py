"""Writes the peers benchmark's results: <date>.json, <date>.md (tables) and PNG charts.

Also usable on its own to redraw from a saved JSON:
  python bench/bench_report.py bench/results/<date>.json
"""

import json
import os
import sys

FILTER_LABELS = ["price_50pct", "category_5pct", "both_0.5pct"]


def _get(res, path):
    cur = res
    for part in path.split("/"):
        if not isinstance(cur, dict) or part not in cur:
            return None
        cur = cur[part]
    return cur


# (key, label, path, higher is better)
METRICS = [
    ("ingest_single", "ingest, one call per doc (docs/s)", "ingest_single_docs_per_s", True),
    ("ingest_batch", "ingest, batch API (docs/s)", "ingest_batch_docs_per_s", True),
    ("peak_rss", "peak RSS after ingest (MB)", "peak_rss_ingest_mb", False),
    ("bytes_per_doc", "memory per document (bytes)", "bytes_per_doc", False),
    ("search_p50", "top-10 search p50 (ms)", "search/median_ms", False),
    ("search_p99", "top-10 search p99 (ms)", "search/p99_ms", False),
    ("search_qps", "top-10 search QPS", "search/qps", True),
    ("recall", "recall@10, no filter", "search/recall", True),
] + [
    item
    for label in FILTER_LABELS
    for item in (
        (f"f_{label}_p50", f"filtered {label} p50 (ms)", f"filtered/{label}/median_ms", False),
        (f"f_{label}_recall", f"filtered {label} recall@10", f"filtered/{label}/recall", True),
    )
] + [
    ("delete_ms", "delete 10 % by filter (ms)", "delete/ms", False),
    ("after_delete_recall", "recall@10 after delete", "delete/search_after/recall", True),
]


def fmt(value, path=""):
    if value is None:
        return "—"
    if isinstance(value, str):
        return value
    if "recall" in path:
        return f"{value:.3f}"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.3f}"


def metrics_for(report):
    # Runs before the peak was read from VmHWM took ru_maxrss, which Linux carries over
    # from the parent process across exec: those peaks are floored and left out.
    if report.get("settings", {}).get("peak_rss_source") == "VmHWM":
        return METRICS
    return [m for m in METRICS if m[0] != "peak_rss"]


OURS = ["vendrel", "vendrel-exact", "vendrel-hnsw"]


def ratios(report):
    """Per data set, metric and each of our systems: its figure, the best peer's (other
    projects only), and ours / best peer."""
    rows = []
    for ds, info in report["datasets"].items():
        results = info.get("results", {})
        for ours in OURS:
            rows += ratios_of(report, ds, results, ours)
    return rows


def ratios_of(report, ds, results, ours):
    rows = []
    ven = results.get(ours, {})
    if "error" in ven or not ven:
        return rows
    for key, label, path, higher in metrics_for(report):
        v = _get(ven, path)
        peers = [(name, _get(r, path)) for name, r in results.items()
                 if name not in OURS and "error" not in r and _get(r, path) is not None]
        if v is None or not peers:
            continue
        best = max(peers, key=lambda p: p[1]) if higher else min(peers, key=lambda p: p[1])
        ratio = v / best[1] if best[1] else None
        # "gap" > 1 means vendrel is worse than the best peer by that factor.
        if ratio is None or ratio == 0:
            gap = None
        else:
            gap = (1 / ratio) if higher else ratio
        rows.append({"dataset": ds, "system": ours, "metric": key, "label": label, "vendrel": v,
                     "best_peer": best[0], "best_value": best[1], "ratio": ratio, "gap": gap,
                     "higher_is_better": higher})
    return rows


def memory_check(report):
    """Graph-mode memory per document at d = 768 against hnswlib's (same M) and 1.25 x the
    exact mode's, per data set of d = 768 whose three figures exist: each structure built
    alone in a fresh process, without metadata (memory_alone)."""
    out = {}
    for ds, info in report["datasets"].items():
        alone = info.get("memory_alone", {})
        figures = {name: _get(alone.get(name, {}), "bytes_per_doc") for name in ("vendrel-hnsw", "hnswlib", "vendrel-exact")}
        if info.get("dim") != 768 or any(v is None for v in figures.values()):
            continue
        graph, hnswlib, exact = figures["vendrel-hnsw"], figures["hnswlib"], figures["vendrel-exact"]
        out[ds] = {"graph": graph, "hnswlib": hnswlib, "exact": exact,
                   "met": graph <= hnswlib and graph <= 1.25 * exact}
    return out


def targets(report):
    """Every target of the recall-target work, per data set: (name, measured, limit, met)."""
    rows = []
    for ds, info in report["datasets"].items():
        checks = info.get("curves", {}).get("checks", {})
        for name, check in checks.items():
            rows.append({"dataset": ds, "target": name, **check})
    for ds, m in memory_check(report).items():
        rows.append({"dataset": ds, "target": "graph memory per document", "value": m["graph"],
                     "limit": min(m["hnswlib"], 1.25 * m["exact"]),
                     "reference": f"hnswlib {m['hnswlib']:,.0f} B, 1.25 x exact {1.25 * m['exact']:,.0f} B",
                     "met": m["met"]})
    return rows


TARGET_LABELS = {
    "recall_at_target": "recall@10 with target_recall=0.95 (held-out queries) >= 0.95",
    "filtered_recall_at_target": "lowest filtered recall@10 with target_recall=0.95 >= 0.95",
    "latency_at_target": "latency at the target <= min(hnswlib's lowest reaching 0.95, IndexFlatIP) (ms)",
    "calibration_share": "calibration time / add_many time <= 0.05",
    "graph memory per document": "graph-mode bytes per document <= hnswlib's and <= 1.25 x exact's",
}


def curves_markdown(report):
    lines = []
    rows = targets(report)
    if not rows:
        return lines
    lines += ["## Recall target and recall against latency", "",
              "FullVendrelDB(index=\"hnsw\", target_recall=0.95) against the graph peers and faiss IndexFlatIP, "
              f"built from the same rows in one process per data set; configurations interleaved over "
              f"{report['settings'].get('curve_rounds', '?')} rounds; latency = median over the rounds of each "
              "round's median single-query latency (range: the rounds' medians). Memory from the per-system runs "
              "(RSS growth while building each structure alone in a fresh process, without metadata; the per-system "
              "tables below include the metadata indexes).", "",
              "| data set | target | measured | limit | met |", "|---|---|---:|---:|---|"]
    for r in rows:
        limit = fmt(r["limit"]) + (f" ({r['reference']})" if r.get("reference") else "")
        lines.append(f"| {r['dataset']} | {TARGET_LABELS.get(r['target'], r['target'])} | {fmt(r['value'])} | "
                     f"{limit} | {'yes' if r['met'] else '**no**'} |")
    lines.append("")
    for ds, info in report["datasets"].items():
        curves = info.get("curves")
        if not curves:
            continue
        lines += [f"### {ds}: recall@10 against latency", ""]
        if "error" in curves:
            lines += [f"Failed: {curves['error']}", ""]
            continue
        for system, why in curves.get("unavailable", {}).items():
            lines.append(f"- {system} unavailable: {why}")
        cal = curves.get("calibration")
        if cal:
            lines.append(f"- vendrel-hnsw with target_recall=0.95 chose **{cal['method']}**"
                         + (f" at ef {cal['ef']}" if cal["ef"] else "")
                         + f" (sample recall {cal['sample_recall']:.3f} on {cal['queries']} held-out stored vectors; "
                         f"graph {cal['graph_ms']:.3f} ms, scan {cal['scan_ms']:.3f} ms per query); calibration "
                         f"{cal['seconds']:.2f} s against add_many {cal['add_many_s']:.1f} s "
                         f"({100 * cal['share_of_add_many']:.1f} %).")
        for label, c in curves.get("filtered_calibrations", {}).items():
            lines.append(f"- filter {label} (share {c['allowed_fraction']:.4g} measured): {c['method']}"
                         + (f" at ef {c['ef']}" if c["ef"] else "") + f", {c['seconds']:.2f} s")
        lines += ["", "| system | setting | recall@10 | latency ms (range) |", "|---|---|---:|---:|"]
        for system, entry in curves.get("systems", {}).items():
            if "single_query" in entry:
                e = entry["single_query"]
                lines.append(f"| {system} | exact | {e['recall']:.3f} | {e['median_ms']:.3f} ({e['min_ms']:.3f}-{e['max_ms']:.3f}) |")
            for label, e in entry.get("target", {}).items():
                lines.append(f"| {system} | target 0.95, {label} | {e['recall']:.3f} | "
                             f"{e['median_ms']:.3f} ({e['min_ms']:.3f}-{e['max_ms']:.3f}) |")
            best = entry.get("lowest_reaching_target")
            if "curve" in entry:
                lines.append(f"| {system} | lowest reaching 0.95 | "
                             + (f"{best['recall']:.3f} (ef {best['ef']}) | {best['median_ms']:.3f} "
                                f"({best['min_ms']:.3f}-{best['max_ms']:.3f}) |" if best else "none on the grid | — |"))
        lines += ["", "Curves (ef: recall / ms):", ""]
        for system, entry in curves.get("systems", {}).items():
            if "curve" in entry:
                points = ", ".join(f"{p['ef']}: {p['recall']:.3f} / {p['median_ms']:.3f}" for p in entry["curve"])
                lines.append(f"- {system}: {points}")
        lines.append("")
    return lines


def markdown(report, chart_names):
    lines = [f"# vendrel and its peers, {report['date']}", ""]
    m = report["machine"]
    s = report["settings"]
    lines += [f"Machine: {m['cpu']}, {m['cores']} cores (shared with other work, so figures are noisy), "
              f"no GPU; Python {m['python']}, numpy {m['numpy']}. Total run time {report['total_s'] / 60:.1f} min.",
              "",
              f"Settings: N = {s['n']:,} synthetic documents, {s['queries']} queries (unfiltered), "
              f"{s['filter_queries']} queries per filter, k = {s['k']}; HNSW (faiss, hnswlib, usearch) "
              f"M = {s['hnsw']['M']}, ef_construction = {s['hnsw']['ef_construction']}, "
              f"ef_search = {s['hnsw']['ef_search']}; chromadb and lancedb at their defaults "
              "(lancedb without a vector index, i.e. an exact scan).", ""]
    lines += ["## Ratio ours / best peer", "",
              "ratio = our figure / the best peer's figure (peers: the other projects). For docs/s, "
              "QPS and recall, higher is better (ratio < 1: ours behind); for latency and memory, "
              "lower is better (ratio > 1: ours behind).", "",
              "| data set | system | metric | ours | best peer | ratio |", "|---|---|---|---:|---|---:|"]
    for r in ratios(report):
        lines.append(f"| {r['dataset']} | {r['system']} | {r['label']} | {fmt(r['vendrel'], r['metric'])} | "
                     f"{r['best_peer']} ({fmt(r['best_value'], r['metric'])}) | "
                     f"{r['ratio']:.2f} |" if r["ratio"] is not None else "| — |")
    lines.append("")
    lines += curves_markdown(report)
    for ds, info in report["datasets"].items():
        lines += [f"## {ds}", ""]
        if "error" in info:
            lines += [f"Data set failed: {info['error']}", ""]
            continue
        sel = ", ".join(f"{k} {v * 100:.2f} %" for k, v in info["selectivity"].items())
        lines += [f"n = {info['n']:,}, d = {info['dim']}; filter selectivity: {sel}; "
                  f"norm of the mean unit vector (0 = centred, 1 = all alike): {info['mean_direction_norm']:.2f}.", ""]
        systems = list(info["results"])
        lines += ["| metric | " + " | ".join(systems) + " |", "|---|" + "---:|" * len(systems)]
        for key, label, path, _ in metrics_for(report):
            cells = []
            for name in systems:
                r = info["results"][name]
                cells.append("failed" if "error" in r else fmt(_get(r, path), key))
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
        cells = []
        for name in systems:
            r = info["results"][name]
            d = r.get("delete", {}) if "error" not in r else {}
            if "error" in r or "error" in d or not d:
                cells.append("—")
            else:
                ok = d["count_after"] == d["expected_count"] and d.get("deleted_returned", 0) == 0
                cells.append(f"{d['count_after']:,}" + ("" if ok else " (!)"))
        lines.append("| count after delete | " + " | ".join(cells) + " |")
        cells = []
        for name in systems:
            r = info["results"][name]
            if "error" in r:
                cells.append("—")
            else:
                single = r.get("ingest_single_docs", 0)
                cells.append(f"{single:,}")
        lines.append("| docs added one call at a time | " + " | ".join(cells) + " |")
        lines.append("")
        for name in systems:
            r = info["results"][name]
            if "error" in r:
                lines.append(f"- {name} failed: {r['error']}")
            else:
                notes = [f"{name} {r.get('version', '?')}: filtering {r.get('filter_mode', '?')}"]
                for label in FILTER_LABELS:
                    f = r.get("filtered", {}).get(label, {})
                    if "error" in f:
                        notes.append(f"{label} failed: {f['error']}")
                    elif f.get("violations"):
                        notes.append(f"{label}: {f['violations']} results broke the filter")
                if "error" in r.get("delete", {}):
                    notes.append(f"delete failed: {r['delete']['error']}")
                lines.append("- " + "; ".join(notes))
        lines.append("")
    if chart_names:
        lines += ["## Charts", ""] + [f"![{c}]({c})" for c in chart_names] + [""]
    return "\n".join(lines)


def charts(report, out_dir, stem):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = []
    datasets = [(ds, info) for ds, info in report["datasets"].items() if info.get("results")]
    if not datasets:
        return names
    colours = {"vendrel": "#d62728", "vendrel-exact": "#e377c2", "vendrel-hnsw": "#7f0000", "faiss-flat": "#1f77b4", "faiss-hnsw": "#17becf", "hnswlib": "#2ca02c",
               "usearch": "#9467bd", "chromadb": "#ff7f0e", "lancedb": "#8c564b"}

    # 1. Recall against QPS, unfiltered top-10, one panel per data set.
    fig, axes = plt.subplots(1, len(datasets), figsize=(4.6 * len(datasets), 4.2), squeeze=False)
    for ax, (ds, info) in zip(axes[0], datasets):
        for name, r in info["results"].items():
            if "error" in r:
                continue
            ax.scatter(r["search"]["qps"], r["search"]["recall"], s=70, color=colours.get(name, "k"),
                       label=name, edgecolor="black", zorder=3)
            ax.annotate(name, (r["search"]["qps"], r["search"]["recall"]), fontsize=8,
                        xytext=(4, 4), textcoords="offset points")
        ax.set_xscale("log")
        ax.set_ylim(-0.05, 1.05)
        ax.set_title(f"{ds} (n={info['n']:,}, d={info['dim']})", fontsize=10)
        ax.set_xlabel("queries per second, one at a time (log)")
        ax.set_ylabel("recall@10")
        ax.grid(True, alpha=0.3)
    fig.suptitle("Top-10 search without filter: speed against recall (up and right is better)")
    fig.tight_layout()
    name = f"{stem}-search.png"
    fig.savefig(os.path.join(out_dir, name), dpi=110)
    plt.close(fig)
    names.append(name)

    # 2. Filtered recall and latency by selectivity, one row per data set.
    fig, axes = plt.subplots(len(datasets), 2, figsize=(12, 3.4 * len(datasets)), squeeze=False)
    for row, (ds, info) in enumerate(datasets):
        systems = [n for n, r in info["results"].items() if "error" not in r]
        width = 0.8 / max(1, len(systems))
        for j, name in enumerate(systems):
            f = info["results"][name].get("filtered", {})
            rec = [f.get(l, {}).get("recall", 0) or 0 for l in FILTER_LABELS]
            lat = [f.get(l, {}).get("median_ms", 0) or 0 for l in FILTER_LABELS]
            xs = [i + (j - len(systems) / 2 + 0.5) * width for i in range(len(FILTER_LABELS))]
            axes[row][0].bar(xs, rec, width, color=colours.get(name, "k"), label=name)
            axes[row][1].bar(xs, lat, width, color=colours.get(name, "k"), label=name)
        for col, ylabel in ((0, "recall@10"), (1, "median latency (ms, log)")):
            ax = axes[row][col]
            ax.set_xticks(range(len(FILTER_LABELS)))
            ax.set_xticklabels(["~50 % (price)", "~5 % (category)", "~0.5 % (both)"])
            ax.set_ylabel(ylabel)
            ax.set_title(f"{ds}: filtered top-10, {ylabel.split(' (')[0]}", fontsize=10)
            ax.grid(True, axis="y", alpha=0.3)
        axes[row][1].set_yscale("log")
        axes[row][0].set_ylim(0, 1.05)
    axes[0][1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    name = f"{stem}-filtered.png"
    fig.savefig(os.path.join(out_dir, name), dpi=100)
    plt.close(fig)
    names.append(name)

    # 3. Ingest throughput and memory per document.
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.2))
    systems = []
    for _, info in datasets:
        for n in info["results"]:
            if n not in systems:
                systems.append(n)
    width = 0.8 / len(datasets)
    for j, (ds, info) in enumerate(datasets):
        xs = [i + (j - len(datasets) / 2 + 0.5) * width for i in range(len(systems))]
        for ax, path in zip(axes, ("ingest_single_docs_per_s", "ingest_batch_docs_per_s", "bytes_per_doc")):
            vals = []
            for n in systems:
                r = info["results"].get(n, {})
                vals.append((_get(r, path) or 0) if "error" not in r else 0)
            ax.bar(xs, vals, width, label=ds)
    for ax, title in zip(axes, ("ingest, one call per document (docs/s, log)",
                                "ingest, batch API (docs/s, log; VendrelDB has none)",
                                "memory per document after ingest (bytes)")):
        ax.set_xticks(range(len(systems)))
        ax.set_xticklabels(systems, rotation=30, ha="right", fontsize=9)
        ax.set_title(title, fontsize=10)
        ax.grid(True, axis="y", alpha=0.3)
    axes[0].set_yscale("log")
    axes[1].set_yscale("log")
    axes[2].legend(fontsize=8)
    fig.tight_layout()
    name = f"{stem}-ingest-memory.png"
    fig.savefig(os.path.join(out_dir, name), dpi=100)
    plt.close(fig)
    names.append(name)

    # 4. Recall against latency over ef, with the recall target's point.
    with_curves = [(ds, info["curves"]) for ds, info in datasets if info.get("curves", {}).get("systems")]
    if with_curves:
        fig, axes = plt.subplots(1, len(with_curves), figsize=(4.6 * len(with_curves), 4.2), squeeze=False)
        for ax, (ds, curves) in zip(axes[0], with_curves):
            for system, entry in curves["systems"].items():
                colour = colours.get(system, "k")
                if "curve" in entry:
                    ax.plot([p["median_ms"] for p in entry["curve"]], [p["recall"] for p in entry["curve"]],
                            marker="o", markersize=3, color=colour, label=system)
                if "single_query" in entry:
                    e = entry["single_query"]
                    ax.scatter([e["median_ms"]], [e["recall"]], marker="s", color=colour, label=f"{system} (exact)")
                if "unfiltered" in entry.get("target", {}):
                    e = entry["target"]["unfiltered"]
                    ax.scatter([e["median_ms"]], [e["recall"]], marker="*", s=160, color=colour, edgecolor="black",
                               zorder=4, label=f"{system}, target 0.95")
            ax.axhline(0.95, color="grey", linestyle=":", linewidth=1)
            ax.set_xscale("log")
            ax.set_title(f"{ds} (n={curves['n']:,}, d={curves['dim']})", fontsize=10)
            ax.set_xlabel("median latency per query, ms (log)")
            ax.set_ylabel("recall@10")
            ax.grid(True, alpha=0.3)
        axes[0][0].legend(fontsize=7)
        fig.suptitle("Recall against latency over ef (up and left is better); star: target_recall=0.95")
        fig.tight_layout()
        name = f"{stem}-curves.png"
        fig.savefig(os.path.join(out_dir, name), dpi=100)
        plt.close(fig)
        names.append(name)
    return names


def write_report(report, out_dir):
    stem = report["date"]
    report["ratios"] = ratios(report)
    report["targets"] = targets(report)
    with open(os.path.join(out_dir, f"{stem}.json"), "w") as handle:
        json.dump(report, handle, indent=1)
    try:
        chart_names = charts(report, out_dir, stem)
    except Exception as exc:  # charts are a convenience; the tables stand without them
        print(f"charts failed: {exc}")
        chart_names = []
    with open(os.path.join(out_dir, f"{stem}.md"), "w") as handle:
        handle.write(markdown(report, chart_names))
    print(f"wrote {os.path.join(out_dir, stem)}.json, .md and {len(chart_names)} charts")
    for r in report["targets"]:
        print(f"target {'met    ' if r['met'] else 'NOT met'} {r['dataset']}: {TARGET_LABELS.get(r['target'], r['target'])}: "
              f"{fmt(r['value'])} against {fmt(r['limit'])}")


if __name__ == "__main__":
    path = sys.argv[1]
    with open(path) as handle:
        data = json.load(handle)
    write_report(data, os.path.dirname(path))

"""The benchmarks' smoke modes run end to end: tiny sizes, our systems alone, no peers."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_peers_bench_smoke_mode_runs():
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "peers_bench.py"), "--smoke"],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert "smoke: ok" in proc.stdout
    assert '"recall"' in proc.stdout


def test_durability_bench_smoke_mode_runs():
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "durability_bench.py"), "--smoke"],
        capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "smoke: ok" in proc.stdout


def test_throughput_bench_smoke_mode_runs():
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "throughput_bench.py"), "--smoke"],
        capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "smoke: ok" in proc.stdout
    assert "search_many in batches" in proc.stdout

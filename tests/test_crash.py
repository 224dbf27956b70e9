"""FullVendrelDB's directory after the worst that can happen to it, checked against a
plain model fed the acknowledged calls (durable_model.py):

- kill -9 of a child process at random instants of a random stream: the reopened state
  is the acknowledged prefix, plus at most the call in flight, whole;
- power loss, simulated from copies of the files taken when calls were acknowledged
  (with the stronger level, everything acknowledged is there), and by cutting and tearing
  the log anywhere (with the default level, the state is a prefix of the calls);
- bit flips and truncations in every file: a clear error naming the file, or a dropped
  torn tail and a state that is a prefix of the calls; never a crash or a wrong answer.

VENDREL_CRASH_TRIALS sets the number of kill trials (default 240, 24 under the sanitizer).
"""

import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from durable_model import Model, call_database, expected_view, observe, random_calls, views_match
from vendrel_plus import FullVendrelDB

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
KILL_TRIALS = int(os.environ.get("VENDREL_CRASH_TRIALS", "24" if SANITIZED else "240"))
TESTS = Path(__file__).resolve().parent

CHILD = """
import json, sys
sys.path.insert(0, sys.argv[1])
from durable_model import call_database, random_calls
from vendrel_plus import FullVendrelDB
directory, index, seed, next_id = sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
db = FullVendrelDB(directory, index=index)
print("open", flush=True)
for call in random_calls(seed, next_id):
    print("call " + json.dumps(call), flush=True)
    call_database(db, call)
    print("ack", flush=True)
"""


def as_call(line):
    import json

    method, arguments = json.loads(line[len("call "):])
    return method, arguments


def run_until_killed(directory, index, seed, next_id, delay):
    """Starts a child that opens the database and makes calls until it is killed after
    `delay` seconds of work; returns its acknowledged calls and the call in flight."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(TESTS), str(directory), index, str(seed), str(next_id)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = child.stdout.readline()
    if first != "open\n":
        child.kill()
        raise AssertionError(f"the child did not open the database: {first!r} {child.stderr.read()}")
    time.sleep(delay)
    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    acknowledged, in_flight = [], None
    for line in child.stdout.read().splitlines():
        if line.startswith("call "):
            in_flight = as_call(line)
        elif line == "ack" and in_flight is not None:
            acknowledged.append(in_flight)
            in_flight = None
    return acknowledged, in_flight


def highest_id(calls):
    ids = [0]
    for method, arguments in calls:
        if method == "add":
            ids.append(arguments[0] + 1)
        elif method == "add_many":
            ids.append(max(arguments[0]) + 1)
    return max(ids)


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_kill_9_at_random_instants_loses_nothing_acknowledged(tmp_path, index):
    rng = random.Random(index)
    directory = tmp_path / "db"
    model = Model()
    next_id = 0
    trials = KILL_TRIALS // 2
    for trial in range(trials):
        acknowledged, in_flight = run_until_killed(directory, index, rng.randrange(1 << 30), next_id,
                                                   rng.uniform(0.0, 0.03))
        for call in acknowledged:
            model.apply(call)
        db = FullVendrelDB(directory)
        seen = observe(db)
        if not views_match(seen, model):
            with_flight = model.copy()
            if in_flight is not None:
                with_flight.apply(in_flight)
            assert in_flight is not None and views_match(seen, with_flight), (trial, in_flight, seen,
                                                                             expected_view(model))
            model = with_flight
        next_id = max(next_id, highest_id(acknowledged + ([in_flight] if in_flight else [])))
        # Closing checkpoints; dropping leaves the log to the next open.
        if rng.random() < 0.5:
            db.close()
        del db


def snapshot(directory):
    return {name: (directory / name).read_bytes() for name in os.listdir(directory) if name != "LOCK"}


def materialise(files, directory):
    if directory.exists():
        shutil.rmtree(directory)
    directory.mkdir()
    for name, content in files.items():
        (directory / name).write_bytes(content)


def torn(old, new, rng):
    """The bytes a power loss may leave of a file that grew from `old` to `new` after its
    last flush: the old bytes, some of the new ones, and the last page torn."""
    if len(new) <= len(old) or not new.startswith(old):
        return new if rng.random() < 0.5 else old
    kept = len(old) + rng.randrange(len(new) - len(old) + 1)
    image = bytearray(new[:kept])
    page_start = max(len(old), kept - kept % 4096)
    for position in range(page_start, kept):
        image[position] = rng.randrange(256) if rng.random() < 0.5 else 0
    return bytes(image)


def calls_with_views(tmp_path, durability, count, seed):
    """Runs `count` random calls on a new database; returns the files after each
    acknowledged call and the model's view after each."""
    directory = tmp_path / "source"
    db = FullVendrelDB(directory, durability=durability)
    model = Model()
    files, views = [snapshot(directory)], [model.copy()]
    for call in random_calls(seed, 0):
        if len(views) > count:
            break
        if call_database(db, call):
            model.apply(call)
        files.append(snapshot(directory))
        views.append(model.copy())
    del db
    return files, views


def checkpointed(files, step):
    """The files as the last checkpoint at or before `step` flushed them."""
    manifest = files[step].get("MANIFEST")
    return files[min(i for i in range(step + 1) if files[i].get("MANIFEST") == manifest)]


def power_loss_image(files, step, rng):
    """What a power loss during call step + 1 may leave, at the stronger level: every
    call up to `step` flushed in the log; of call step + 1, any part of its bytes; the
    metadata file flushed only up to the last checkpoint (its later texts are in the log)."""
    before, after = files[step], files[step + 1]
    new_manifest = before.get("MANIFEST") != after.get("MANIFEST") and rng.random() < 0.5
    source = after if new_manifest else before
    image = {}
    for name in set(before) | set(after):
        if name == "metadata.bin":
            # A checkpoint flushes it before its manifest is switched in.
            flushed = after if new_manifest else checkpointed(files, step)
            image[name] = torn(flushed.get(name, b""), after.get(name, b""), rng)
        elif name.startswith("log-") and name in before and name in after:
            image[name] = torn(before[name], after[name], rng)
        elif name in source:
            image[name] = source[name]
        elif rng.random() < 0.5:
            image[name] = after.get(name, before.get(name))  # a leftover of the switch not made
    return image


def test_power_loss_with_the_stronger_level_keeps_every_acknowledged_call(tmp_path):
    files, models = calls_with_views(tmp_path, "power", 120, seed=5)
    rng = random.Random(5)
    for trial in range(120):
        step = rng.randrange(len(files) - 1)
        materialise(power_loss_image(files, step, rng), tmp_path / "image")
        seen = observe(FullVendrelDB(tmp_path / "image"))
        assert views_match(seen, models[step]) or views_match(seen, models[step + 1]), (trial, step)


def test_power_loss_with_the_default_level_leaves_a_prefix(tmp_path):
    files, models = calls_with_views(tmp_path, "process", 80, seed=6)
    final = files[-1]
    flushed = checkpointed(files, len(files) - 1)
    rng = random.Random(6)
    for trial in range(80):
        # Nothing is flushed between checkpoints: the log and metadata.bin may lose
        # anything after what the last checkpoint flushed, and their last page tears.
        image = dict(final)
        for name in final:
            if name.startswith("log-") or name == "metadata.bin":
                image[name] = torn(b"" if name.startswith("log-") else flushed.get(name, b""), final[name], rng)
        materialise(image, tmp_path / "image")
        seen = observe(FullVendrelDB(tmp_path / "image"))
        assert any(views_match(seen, model) for model in models), trial


def damaged_copies(content, rng, flips, cuts):
    for _ in range(flips):
        if content:
            position = rng.randrange(len(content))
            damaged = bytearray(content)
            damaged[position] ^= 1 << rng.randrange(8)
            yield f"bit flip at {position}", bytes(damaged)
    for _ in range(cuts):
        yield "truncation", content[:rng.randrange(len(content) + 1)]


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_damage_in_any_file_is_an_error_naming_it_or_a_dropped_tail(tmp_path, index):
    directory = tmp_path / "source"
    db = FullVendrelDB(directory, index=index)
    model = Model()
    models = [model.copy()]
    for number, call in enumerate(random_calls(7, 0)):
        if number == 60:
            break
        if call[0] == "checkpoint" or number == 30:
            db.checkpoint()
        elif call_database(db, call):
            model.apply(call)
        models.append(model.copy())
    del db  # the log keeps the calls since the last checkpoint
    original = snapshot(directory)
    rng = random.Random(index)
    for name, content in original.items():
        for what, damaged in damaged_copies(content, rng, flips=40, cuts=8):
            image = dict(original)
            image[name] = damaged
            materialise(image, tmp_path / "image")
            try:
                db = FullVendrelDB(tmp_path / "image")
            except ValueError as error:
                assert name in str(error) or "metadata.bin" in str(error), (name, what, str(error))
                continue
            seen = observe(db)
            assert any(views_match(seen, model) for model in models), (name, what)
            del db

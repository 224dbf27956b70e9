"""What the README says the module does, checked where no other test already does."""

import contextlib
import io
import json
import re
from pathlib import Path

import numpy as np
import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def readme_snippet(section):
    """The first Python block of a README section."""
    text = README.read_text(encoding="utf-8")
    return re.search(rf"## {section}\n.*?```python\n(.*?)```", text, re.S).group(1)


def usage_example():
    return readme_snippet("Usage")


def run_printing_snippet(section, capsys):
    """Runs a section's snippet twice in one directory (the second run reopens what the
    first stored); returns the lines each run printed, with the comments they print."""
    code = readme_snippet(section)
    promised = [re.search(r"# (.*)$", line).group(1) for line in code.splitlines() if "print(" in line]
    runs = []
    for _ in range(2):
        exec(compile(code, str(README), "exec"), {})
        runs.append(capsys.readouterr().out.splitlines())
    return runs, promised


def test_usage_example_runs_and_counts_as_its_comment_says(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(compile(usage_example(), str(README), "exec"), namespace)
    # Ids 1 and 2 were added and 2 deleted: the id bound (3) minus one deleted id.
    assert namespace["db"].count() == 2
    assert re.search(r"db\.count\(\) +# 2\b", usage_example())


def test_the_full_database_snippet_runs_and_prints_what_it_says(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    runs, promised = run_printing_snippet("FullVendrelDB", capsys)
    assert promised == ["7 100 graph (or scan)", "5000"]
    for printed in runs:
        assert re.fullmatch(r"7 100 (graph|scan)", printed[0]) and printed[1:] == ["5000"]


def test_an_expired_id_stays_deleted_when_added_again(db):
    db.add(1, [1.0, 0.0], "{}", ttl=-1)
    assert db.count() == 1  # id 0 counts, id 1 has expired
    db.add(1, [1.0, 0.0], "{}")
    assert db.count() == 1
    assert db.search([1.0, 0.0], 5) == []


@pytest.mark.parametrize("filter_value, expected", [
    ({"cat": 3}, []),
    ({"cat": {"$eq": 3}}, [1]),
    ({"cat": {"$regex": "x"}}, []),
    ({"cat": {"$regex": "x", "$eq": 3}}, [1]),
])
def test_a_filter_needs_an_operator_and_unknown_operators_are_ignored(db, filter_value, expected):
    db.add(0, [1.0, 0.0], json.dumps({"cat": 4}))
    db.add(1, [1.0, 0.0], json.dumps({"cat": 3}))
    assert sorted(hit[0] for hit in db.search([1.0, 0.0], 5, json.dumps(filter_value), False)) == expected
    assert db.delete(json.dumps(filter_value)) == len(expected)


def test_quantization_notice_bypasses_sys_stdout(db, capfd):
    with contextlib.redirect_stdout(io.StringIO()) as redirected:
        db.add(6000, [1.0, 0.0], "{}")  # 6001 slots: the next add switches
        db.add(1, [0.0, 1.0], "{}")
    assert redirected.getvalue() == ""
    assert capfd.readouterr().out == "Activating quantization at 5000 vectors...\n"


class NoItemReads(np.ndarray):
    def __iter__(self):
        raise LookupError("read item by item")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_contiguous_float_arrays_are_read_whole(db, dtype):
    db.add(0, np.array([0.6, 0.8], dtype=dtype).view(NoItemReads), "{}")
    assert db.search(np.array([0.6, 0.8], dtype=dtype).view(NoItemReads), 1)[0][:2] == (0, pytest.approx(1.0))
    # Any other layout goes through the items.
    with pytest.raises(LookupError):
        db.add(1, np.array([0.6, 0.0, 0.8, 0.0], dtype=dtype)[::2].view(NoItemReads), "{}")


def test_the_quantization_notice_comes_from_the_add_after_the_table_reaches_5000_slots(db, capfd):
    for doc_id in range(299):
        db.add(doc_id, [1.0, 0.0], "{}")
    db.add(4999, [0.0, 1.0], "{}")
    assert db.count() == 5000
    assert capfd.readouterr().out == ""
    # Still full vectors: orthogonal vectors score their cosine, 0 (codes would score
    # 1 - distance / 4).
    assert db.search([1.0, 0.0], 1, None, False)[0][1] == pytest.approx(1.0)
    assert (4999, pytest.approx(0.0)) in [hit[:2] for hit in db.search([1.0, 0.0], 300, None, False)]
    db.add(5000, [1.0, 0.0], "{}")
    assert capfd.readouterr().out == "Activating quantization at 5000 vectors...\n"

"""Faults injected under a live database: its metadata file removed, truncated or
replaced by a directory, its disk full, and standard output refusing the notice printed
when quantization switches on. Each time the error is the specified one, nothing
crashes, and the database keeps answering (and works again once the fault is gone)."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vendrel

NOTICE = "Activating quantization at 5000 vectors...\n"


def metadata_file(path):
    return path / "metadata.bin"


@pytest.fixture
def db_path(tmp_path):
    return tmp_path / "db"


@pytest.fixture
def filled(db_path):
    db = vendrel.VendrelDB(str(db_path))
    for doc_id in range(4):
        db.add(doc_id, [1.0, float(doc_id)], f'{{"id": {doc_id}, "tag": "old"}}')
    return db


def ids(hits):
    return sorted(hit[0] for hit in hits)


def test_removed_metadata_file_is_recreated_and_old_hits_are_left_out(filled, db_path):
    os.remove(metadata_file(db_path))
    assert ids(filled.search([1.0, 1.0], 10)) == []  # no text can be read
    assert ids(filled.search([1.0, 1.0], 10, None, False)) == [0, 1, 2, 3]
    assert filled.count() == 4

    filled.add(9, [1.0, 9.0], '{"tag": "new"}')
    assert metadata_file(db_path).read_bytes() == b'{"tag": "new"}'
    # Old entries point past the end of the new file: left out of results with text.
    hits = filled.search([1.0, 9.0], 10)
    assert [(hit[0], hit[2]) for hit in hits] == [(9, '{"tag": "new"}')]
    assert ids(filled.search([1.0, 1.0], 10, None, False)) == [0, 1, 2, 3, 9]
    # The filter index lives in memory and is unaffected.
    assert ids(filled.search([1.0, 1.0], 10, '{"tag": {"$eq": "old"}}', False)) == [0, 1, 2, 3]
    assert filled.delete('{"tag": {"$eq": "old"}}') == 4
    assert filled.count() == 10 - 4


def test_truncated_metadata_file_leaves_out_the_hits_past_its_end(filled, db_path):
    texts = [f'{{"id": {doc_id}, "tag": "old"}}' for doc_id in range(4)]
    keep = len(texts[0]) + len(texts[1]) + 3  # part of the third text survives
    with open(metadata_file(db_path), "r+b") as handle:
        handle.truncate(keep)
    hits = filled.search([1.0, 1.0], 10)
    assert sorted((hit[0], hit[2]) for hit in hits) == [(0, texts[0]), (1, texts[1])]
    assert filled.build_results([(2, 0.5), (3, 0.5), (1, 0.5)], True) == [(1, 0.5, texts[1])]
    assert filled.build_results([(2, 0.5), (3, 0.5)], False) == [(2, 0.5, ""), (3, 0.5, "")]
    # Truncated to nothing.
    with open(metadata_file(db_path), "r+b") as handle:
        handle.truncate(0)
    assert filled.search([1.0, 1.0], 10) == []
    # Adds append after the truncation point; the new text reads back.
    filled.add(2, [1.0, 2.0], '{"id": 2, "tag": "again"}')
    assert filled.build_results([(2, 0.5)], True) == [(2, 0.5, '{"id": 2, "tag": "again"}')]
    assert filled.count() == 4


def test_metadata_file_grown_by_someone_else_does_not_disturb_reads(filled, db_path):
    with open(metadata_file(db_path), "ab") as handle:
        handle.write(b"\xff\xfe garbage \x00" * 1000)
    assert ids(filled.search([1.0, 1.0], 10)) == [0, 1, 2, 3]
    filled.add(5, [1.0, 5.0], '{"tag": "after"}')
    assert filled.build_results([(5, 0.0)], True) == [(5, 0.0, '{"tag": "after"}')]


def test_metadata_replaced_by_a_directory_fails_adds_but_reads_keep_working(filled, db_path):
    os.remove(metadata_file(db_path))
    os.mkdir(metadata_file(db_path))
    with pytest.raises(ValueError) as caught:
        filled.add(7, [1.0, 7.0], '{"tag": "lost"}')
    assert type(caught.value) is ValueError
    assert str(caught.value) == "Is a directory (os error 21)"
    # add is not transactional: the id bound moved before the file step failed.
    assert filled.count() == 8
    assert filled.search([1.0, 1.0], 10) == []  # no text can be read from a directory
    assert ids(filled.search([1.0, 1.0], 10, '{"tag": {"$eq": "old"}}', False)) == [0, 1, 2, 3]
    assert ids(filled.search([1.0, 1.0], 10, '{"tag": {"$eq": "lost"}}', False)) == []
    assert filled.delete('{"id": {"$eq": 0}}') == 1
    assert filled.count() == 7
    filled.clean_expired()

    # Once the directory is gone the file is recreated.
    os.rmdir(metadata_file(db_path))
    filled.add(7, [1.0, 7.0], '{"tag": "found"}')
    assert filled.search([1.0, 7.0], 1, '{"tag": {"$eq": "found"}}') == [
        (7, pytest.approx(1.0), '{"tag": "found"}')
    ]


def test_database_directory_removed_under_the_database(filled, db_path):
    shutil.rmtree(db_path)
    with pytest.raises(ValueError) as caught:
        filled.add(8, [1.0, 8.0], "{}")
    assert str(caught.value) == "No such file or directory (os error 2)"
    assert filled.search([1.0, 1.0], 10) == []
    assert filled.count() == 9
    os.mkdir(db_path)
    filled.add(8, [1.0, 8.0], '{"back": true}')
    assert filled.build_results([(8, 1.0)], True) == [(8, 1.0, '{"back": true}')]


def test_unreadable_metadata_file_leaves_hits_out(filled, db_path):
    if os.geteuid() == 0:
        pytest.skip("root reads files whatever their mode")
    os.chmod(metadata_file(db_path), 0)
    try:
        assert filled.search([1.0, 1.0], 10) == []
        with pytest.raises(ValueError, match=r"^Permission denied \(os error 13\)$"):
            filled.add(6, [1.0, 6.0], "{}")
    finally:
        os.chmod(metadata_file(db_path), 0o644)


# ---- A full disk -------------------------------------------------------------------------


@pytest.fixture
def tiny_tmpfs(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mounting a 64 KiB tmpfs to fill up needs root")
    if shutil.which("mount") is None or shutil.which("umount") is None:
        pytest.skip("mount/umount not installed")
    mount_point = tmp_path / "tiny"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)], capture_output=True, text=True
    )
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here (no CAP_SYS_ADMIN?): {mounted.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)


def fill_up(directory):
    """Writes a filler file until the file system refuses; returns its path."""
    filler = directory / "filler"
    with open(filler, "wb", buffering=0) as handle:
        try:
            while True:
                handle.write(b"\0" * 4096)
        except OSError:
            pass
    # Bytes that did fit page-wise may still be pending: fill every last block.
    with open(filler, "ab", buffering=0) as handle:
        try:
            while True:
                handle.write(b"\0")
        except OSError:
            pass
    return filler


def test_full_disk_fails_adds_with_enospc_and_recovers(tiny_tmpfs):
    path = tiny_tmpfs / "db"
    db = vendrel.VendrelDB(str(path))
    db.add(0, [1.0, 0.0], '{"n": 0}')
    filler = fill_up(tiny_tmpfs)
    size = metadata_file(path).stat().st_size
    for attempt in range(3):
        with pytest.raises(ValueError) as caught:
            db.add(1 + attempt, [0.0, 1.0], '{"n": 1, "pad": "' + "x" * 8192 + '"}')
        assert type(caught.value) is ValueError
        assert str(caught.value) == "No space left on device (os error 28)"
    # Reads are unaffected; the refused texts were not recorded.
    assert db.search([1.0, 0.0], 1) == [(0, pytest.approx(1.0), '{"n": 0}')]
    assert ids(db.search([1.0, 0.0], 10, '{"n": {"$exists": true}}', False)) == [0]
    assert db.build_results([(1, 0.5), (2, 0.5), (3, 0.5)], True) == []
    assert db.count() == 4

    # Space returns: the next add works and reads back.
    os.remove(filler)
    db.add(1, [0.0, 1.0], '{"n": 1}')
    assert db.build_results([(1, 0.5)], True) == [(1, 0.5, '{"n": 1}')]
    assert metadata_file(path).stat().st_size >= size + len('{"n": 1}')
    assert db.search([0.0, 1.0], 1, '{"n": {"$eq": 1}}')[0][0] == 1


# ---- Standard output refusing the quantization notice ------------------------------------

STDOUT_CHILD = textwrap.dedent(
    """
    import os, sys, tempfile
    import vendrel

    mode = sys.argv[1]
    db = vendrel.VendrelDB(tempfile.mkdtemp() + "/db")
    for doc_id in range(5000):
        db.add(doc_id, [1.0, float(doc_id % 7)], "{}")
    saved = os.dup(1)
    if mode == "closed":
        os.close(1)
    else:
        full = os.open("/dev/full", os.O_WRONLY)
        os.dup2(full, 1)
        os.close(full)
    caught = None
    try:
        db.add(5000, [0.0, 1.0], '{"late": true}')
    except BaseException as error:
        caught = error
    os.dup2(saved, 1)
    os.close(saved)
    if caught is None:
        print("NO ERROR")
        sys.exit(1)
    print("TYPE", type(caught).__name__, [c.__name__ for c in type(caught).__mro__])
    print("TEXT", str(caught))
    # Nothing stored: the failed id has no vector and no text.
    print("HITS", sorted(h[0] for h in db.search([0.0, 1.0], 10000, None, False) if h[0] == 5000))
    print("LATE", db.search([0.0, 1.0], 5, '{"late": {"$eq": true}}', False))
    sys.stdout.flush()
    # The next add switches successfully (the notice goes to the real stdout).
    db.add(5000, [0.0, 1.0], '{"late": true}')
    sys.stdout.flush()
    print("AFTER", [h[0] for h in db.search([0.0, 1.0], 10000, '{"late": {"$eq": true}}', False)], db.count())
    """
)


@pytest.mark.parametrize(
    "mode, os_text",
    [("closed", "Bad file descriptor (os error 9)"), ("full", "No space left on device (os error 28)")],
)
def test_refused_quantization_notice_panics_and_the_next_add_switches(tmp_path, mode, os_text):
    if mode == "full" and not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    script = tmp_path / "child.py"
    script.write_text(STDOUT_CHILD)
    done = subprocess.run(
        [sys.executable, str(script), mode], capture_output=True, text=True, timeout=120, cwd=str(tmp_path)
    )
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines(keepends=True)
    assert lines[0] == "TYPE PanicException ['PanicException', 'BaseException', 'object']\n"
    assert lines[1] == f"TEXT failed printing to stdout: {os_text}\n"
    assert lines[2] == "HITS []\n"
    assert lines[3] == "LATE []\n"
    assert lines[4] == NOTICE
    assert lines[5] == "AFTER [5000] 5001\n"
    assert len(lines) == 6

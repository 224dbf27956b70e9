"""Opening a database on a directory: what is created on disk, when, and where the
metadata texts go."""

import errno
import os
import stat

import pytest

from vendrel import VendrelDB


def os_error(number):
    return f"{os.strerror(number)} (os error {number})"


def test_nested_directories_are_created_empty(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = VendrelDB("a/b/c")
    assert (tmp_path / "a" / "b" / "c").is_dir()
    assert os.listdir(tmp_path / "a" / "b" / "c") == []
    assert db.count() == 0
    assert db.search([1.0, 0.0], 3) == []


def test_directory_names_are_the_utf8_of_the_path(tmp_path):
    VendrelDB(str(tmp_path / "donn\u00e9es" / "\u2615"))
    assert os.listdir(tmp_path) == ["donn\u00e9es"]
    assert os.listdir(tmp_path / "donn\u00e9es") == ["\u2615"]


@pytest.mark.parametrize("umask, mode", [(0o022, 0o755), (0o077, 0o700), (0o000, 0o777)])
def test_new_directories_honour_the_umask(tmp_path, umask, mode):
    previous = os.umask(umask)
    try:
        VendrelDB(str(tmp_path / "a" / "b"))
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "a").stat().st_mode) == mode
    assert stat.S_IMODE((tmp_path / "a" / "b").stat().st_mode) == mode


def test_an_existing_directory_is_used_as_it_is(tmp_path):
    (tmp_path / "notes.txt").write_text("kept")
    db = VendrelDB(str(tmp_path))
    assert db.count() == 0
    db.add(0, [1.0, 0.0], '{"a": 1}')
    assert sorted(os.listdir(tmp_path)) == ["metadata.bin", "notes.txt"]
    assert (tmp_path / "notes.txt").read_text() == "kept"


def test_metadata_file_appears_with_the_first_add(tmp_path):
    path = tmp_path / "db"
    db = VendrelDB(str(path))
    db.search([1.0, 0.0], 3)
    db.count()
    db.clean_expired()
    db.delete('{"a": {"$eq": "x"}}')
    assert os.listdir(path) == []
    db.add(0, [1.0, 0.0], '{"a": 1}')
    db.add(3, [0.0, 1.0], '{"b": 2}')
    assert os.listdir(path) == ["metadata.bin"]
    assert (path / "metadata.bin").read_bytes() == b'{"a": 1}{"b": 2}'


@pytest.mark.parametrize(
    "relative, number",
    [("file", errno.EEXIST), ("file/below", errno.ENOTDIR)],
)
def test_a_path_blocked_by_a_file_is_refused(tmp_path, relative, number):
    (tmp_path / "file").write_bytes(b"not a directory")
    with pytest.raises(ValueError) as caught:
        VendrelDB(str(tmp_path / relative))
    assert type(caught.value) is ValueError
    assert str(caught.value) == os_error(number)
    assert os.listdir(tmp_path) == ["file"]
    assert (tmp_path / "file").read_bytes() == b"not a directory"


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="permissions do not bind root")
def test_a_directory_that_cannot_be_created_is_refused(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    try:
        with pytest.raises(ValueError) as caught:
            VendrelDB(str(locked / "db"))
        assert str(caught.value) == os_error(errno.EACCES)
    finally:
        locked.chmod(0o700)


def test_trailing_slash_keeps_the_file_in_the_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = VendrelDB("x/")
    db.add(0, [1.0], '{"x": 1}')
    assert os.listdir(tmp_path) == ["x"]
    assert (tmp_path / "x" / "metadata.bin").read_bytes() == b'{"x": 1}'
    assert db.build_results([(0, 0.5)], True) == [(0, 0.5, '{"x": 1}')]


def test_empty_path_means_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = VendrelDB("")
    assert os.listdir(tmp_path) == []
    db.add(0, [1.0], '{"e": 1}')
    assert os.listdir(tmp_path) == ["metadata.bin"]
    assert (tmp_path / "metadata.bin").read_bytes() == b'{"e": 1}'
    assert db.build_results([(0, 0.5)], True) == [(0, 0.5, '{"e": 1}')]


def test_reopening_starts_empty_and_appends_after_the_old_texts(tmp_path):
    path = tmp_path / "db"
    first = VendrelDB(str(path))
    first.add(0, [1.0, 0.0], '{"old": 1}')
    first.add(1, [0.0, 1.0], '{"old": 2}')
    old = (path / "metadata.bin").read_bytes()
    del first  # dropping a database writes nothing
    assert (path / "metadata.bin").read_bytes() == old == b'{"old": 1}{"old": 2}'

    db = VendrelDB(str(path))
    assert db.count() == 0
    assert db.search([1.0, 0.0], 5) == []
    assert db.build_results([(0, 1.0), (1, 1.0)], True) == []
    db.add(0, [1.0, 0.0], '{"new": true}')
    assert (path / "metadata.bin").read_bytes() == old + b'{"new": true}'
    assert db.build_results([(0, 1.0), (1, 1.0)], True) == [(0, 1.0, '{"new": true}')]
    assert [(hit_id, text) for hit_id, _, text in db.search([1.0, 0.0], 5)] == [(0, '{"new": true}')]


def test_two_objects_on_one_directory_are_independent_but_share_the_file(tmp_path):
    path = str(tmp_path / "db")
    a = VendrelDB(path)
    b = VendrelDB(path)
    a.add(0, [1.0, 0.0], '{"from": "a"}')
    b.add(0, [0.0, 1.0], '{"from": "b"}')
    b.add(4, [0.0, 1.0], '{"from": "b4"}')
    assert (tmp_path / "db" / "metadata.bin").read_bytes() == b'{"from": "a"}{"from": "b"}{"from": "b4"}'
    assert (a.count(), b.count()) == (1, 5)
    assert a.build_results([(0, 1.0), (4, 1.0)], True) == [(0, 1.0, '{"from": "a"}')]
    assert b.build_results([(0, 1.0), (4, 1.0)], True) == [(0, 1.0, '{"from": "b"}'), (4, 1.0, '{"from": "b4"}')]


@pytest.mark.parametrize("path", ["sub\x00evil", "a/b\x00/c", "x\x00/"])
def test_a_nul_byte_in_the_path_is_refused_before_anything_is_created(tmp_path, monkeypatch, path):
    # Cut at the NUL, the path would name another directory ("sub", "a/b", "x").
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=r"^embedded null byte$"):
        VendrelDB(path)
    assert os.listdir(tmp_path) == []

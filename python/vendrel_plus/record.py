"""The record a durable shard keeps in its directory: which shard of how many it is.

Runs on the worker side, in the shard actor. A shard of ``kind="full"`` whose database
keeps its directory writes ``<path>/shard-<i>/SHARD`` once its database was created
there, and checks it whenever the shard is opened again: by Ray restarting its process,
or by a client reopening the sharded database. The record tells a directory that lost
its shard (removed, or its machine's disk lost) from one that never held it: without it
a restarted shard would open an empty database and answer for documents it no longer
holds.

The file is one line of JSON, ``{"shard": 3, "shards": 4, "kind": "full"}``, written to
a temporary name, flushed, renamed over ``SHARD`` and the directory flushed, so that a
crash leaves either no record or a whole one.
"""

from __future__ import annotations

import json
import os
from typing import NamedTuple, Optional

RECORD_FILE = "SHARD"


class MissingRecordError(RuntimeError):
    """The shard's directory holds no record although the shard was created: the
    directory, and the documents in it, are gone."""


class ShardRecord(NamedTuple):
    shard: int
    shards: int
    kind: str

    def describe(self) -> str:
        return f"shards={self.shards}, kind={self.kind!r}"


def read_record(directory: str) -> Optional[ShardRecord]:
    """The record in `directory`, or None when there is none.

    Raises ValueError naming the file when it cannot be read as a record."""
    path = os.path.join(directory, RECORD_FILE)
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except FileNotFoundError:
        return None
    except OSError as error:
        raise ValueError(f"{path}: cannot read the shard record: {error.strerror}") from error
    try:
        fields = json.loads(text)
        record = ShardRecord(fields["shard"], fields["shards"], fields["kind"])
    except (ValueError, TypeError, KeyError) as error:
        raise ValueError(f"{path}: not a shard record ({error}); restore it from a backup") from error
    if not (isinstance(record.shard, int) and isinstance(record.shards, int) and isinstance(record.kind, str)):
        raise ValueError(f"{path}: not a shard record ({text.strip()!r}); restore it from a backup")
    return record


def check_record(directory: str, given: ShardRecord) -> bool:
    """Whether `directory` holds a record, refusing one that differs from `given`.

    Raises ValueError naming the stored and the given settings when the directory
    belongs to a sharded database with another shard count or kind (or to another
    shard), and as read_record raises."""
    stored = read_record(directory)
    if stored is None:
        return False
    if stored != given:
        database = os.path.dirname(directory)
        raise ValueError(
            f"the sharded database at {database} was created with {stored.describe()} ({directory} holds shard "
            f"{stored.shard} of {stored.shards}); it cannot be opened with {given.describe()}: open it with "
            f"{stored.describe()}, or use another path")
    return True


def require_record(directory: str, given: ShardRecord) -> None:
    """Raises MissingRecordError when `directory` holds no record (check_record's
    errors otherwise)."""
    if not check_record(directory, given):
        database = os.path.dirname(directory)
        raise MissingRecordError(
            f"its directory {directory} no longer holds the shard (no {RECORD_FILE} file): it was removed or its "
            "machine lost its disk, and its documents with it. Restore the directory from a backup and open the "
            f"database again, or remove {database} on every machine to create the database anew")


def write_record(directory: str, record: ShardRecord) -> None:
    """Writes `record` into `directory` atomically (see the module's docstring)."""
    path = os.path.join(directory, RECORD_FILE)
    temporary = path + ".new"
    text = json.dumps({"shard": record.shard, "shards": record.shards, "kind": record.kind}) + "\n"
    with open(temporary, "w", encoding="utf-8") as file:
        file.write(text)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)
    handle = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


def remove_record(directory: str) -> None:
    """Removes `directory`'s record, if any, and flushes the directory: a creation that
    failed on another shard must leave the path a new database."""
    try:
        os.unlink(os.path.join(directory, RECORD_FILE))
    except FileNotFoundError:
        return
    handle = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)

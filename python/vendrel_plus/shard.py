"""One shard of a ``ShardedVendrelDB``: a database inside a Ray actor.

Runs on the worker side. Each ``Shard`` lives in its own actor process on a node of
the Ray cluster and owns one database opened at ``<path>/shard-<i>`` on that node:
a ``ContractDB`` (the contract's database) for ``kind="contract"``, a
``FullVendrelDB`` for ``kind="full"``.

A contract shard, or a full one opened with ``durability="memory"``, keeps its
documents in its process's memory only: when the process ends they are gone. A durable
full shard keeps them in its directory (the database's log and checkpoints) and a
record of itself beside them (``record``). Ray restarts its process when it ends; the
restarted shard reopens its directory at its first call, and refuses to stand in for
the old one when the record is gone.

A shard holds no logic that the database already has: each method calls the
database's method of the same name with arguments the client has already converted
and checked, and returns the outcome as a value. An exception of the database comes
back as a ``ShardFailure``, so that the client raises the database's own exception
(its class and message) rather than Ray's wrapper of it.
"""

from __future__ import annotations

import os
import pickle
import warnings
from typing import Any, Callable, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

from . import _native
from .record import MissingRecordError, ShardRecord, check_record, remove_record, require_record, write_record

_T = TypeVar("_T")

Hit = Tuple[int, float, str]


def _was_restarted() -> bool:
    """Whether this actor's process is a restart. Ray 2.60 implements the property with
    an API of its own it deprecates, and would print the warning once per shard on the
    user's console; the property itself is not deprecated."""
    import ray

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return bool(ray.get_runtime_context().was_current_actor_reconstructed)


class ShardFailure:
    """An exception raised by a shard's database, carried to the client as a value.

    The database's ``PanicException`` travels as its message (its class is created
    inside each process and cannot be pickled by reference); every other exception
    travels as itself. ``lost`` is set when the shard can no longer serve its
    documents (a restarted shard whose directory is gone or did not reopen): it says
    why, for the client's ``ShardLostError``.
    """

    def __init__(self, error: BaseException, lost: Optional[str] = None) -> None:
        self.panic: Optional[str] = None
        self.error: Optional[BaseException] = None
        self.lost = lost
        if type(error).__name__ == "PanicException" and not isinstance(error, Exception):
            self.panic = str(error)
            return
        try:
            pickle.loads(pickle.dumps(error))
            self.error = error
        except Exception:
            self.error = RuntimeError(f"{type(error).__name__}: {error}")

    def exception(self) -> BaseException:
        """The exception to raise in the client."""
        if self.panic is None:
            assert self.error is not None
            return self.error
        try:
            _native.raise_panic(self.panic)
        except BaseException as panic:  # the module's PanicException, built there
            return panic
        raise AssertionError("raise_panic returned")


def pool_threads(cores: int, shards_here: int) -> int:
    """The worker threads of a shard's database: its machine's cores shared evenly by
    the database's shards there, at least one. Each shard process has a pool of its
    own, by default one thread per core; S shards on c cores would otherwise run S x c
    threads, which take turns on the cores and spin while they wait for work."""
    return max(1, cores // max(1, shards_here))


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _outcome(call: Callable[..., _T], *args: Any) -> Union[_T, ShardFailure]:
    try:
        return call(*args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        return ShardFailure(error)


Database = Union[_native.ContractDB, _native.FullVendrelDB]


class Shard:
    """The actor's state: one database. Every method returns a ShardFailure instead
    of raising the database's exception.

    The client first asks ``find_record`` and then ``open``s the database (creating it
    when no shard of the path has a record). A process Ray restarted reopens its
    directory before its first call, whichever call that is.
    """

    def __init__(self, path: str, kind: str, options: dict[str, Any], shard: int, shards: int,
                 durable: bool) -> None:
        import ray

        self._path = path
        self._kind = kind
        self._options = options
        self._record = ShardRecord(shard, shards, kind)
        self._durable = durable
        self._db: Optional[Database] = None
        # Whether this shard wrote its record when it created its database: only then
        # may undo_create remove it (a client that lost a race to create the path
        # must not remove the records of the one that won).
        self._created = False
        # Why this shard cannot serve its documents, once a reopen after a restart failed.
        self._down: Optional[ShardFailure] = None
        # The first failing round of an add_many batch: (batch token, round).
        self._failed_round: Optional[Tuple[str, int]] = None
        # The reopen runs at the first call rather than here, so that Ray counts the
        # process as alive while a long log is replayed and the client's calls wait in
        # the actor's queue instead of failing.
        self._reopen = durable and _was_restarted()

    def _run(self, call: Callable[[Database], _T]) -> Union[_T, ShardFailure]:
        """`call` on the database, reopening it first in a restarted process."""
        if self._reopen:
            self._reopen = False
            reopened = _outcome(self._open, False)
            if isinstance(reopened, ShardFailure):
                reopened.lost = _why_down(reopened.exception())
                self._down = reopened
        if self._down is not None:
            return self._down
        database = self._db
        assert database is not None, "a call before the shard's database was opened"
        return _outcome(call, database)

    def _open(self, create: bool) -> int:
        database = _native.FullVendrelDB if self._kind == "full" else _native.ContractDB
        if self._durable and not create:
            require_record(self._path, self._record)
        opened = database(self._path, **self._options)
        if self._durable and create:
            # After the database: options it refuses leave no record behind.
            write_record(self._path, self._record)
            self._created = True
        self._db = opened
        return _native.dimension(opened)

    def find_record(self) -> Union[bool, ShardFailure]:
        """Whether the shard's directory holds its record (see ``record``); a record of
        another shard count or kind is refused with ValueError. Every kind checks, so
        that a contract shard never opens a durable shard's directory."""
        return _outcome(lambda: check_record(self._path, self._record))

    def open(self, create: bool) -> Union[int, ShardFailure]:
        """Opens the database; returns its dimension.

        ``create``: no shard of the database has a record, so a durable shard writes
        its own once its database is created. Otherwise a durable shard must find its
        record (a ShardFailure marked ``lost`` when it is missing)."""
        opened = _outcome(self._open, create)
        if isinstance(opened, ShardFailure) and isinstance(opened.error, MissingRecordError):
            opened.lost = str(opened.error)
        return opened

    def undo_create(self) -> Optional[ShardFailure]:
        """After ``open(True)`` succeeded here but failed on another shard: closes the
        database and removes this shard's record, so that the next open of the path
        creates the database again instead of finding the other shards lost."""

        def undo() -> None:
            database, self._db = self._db, None
            if isinstance(database, _native.FullVendrelDB):
                database.close()
            if self._created:
                remove_record(self._path)
                self._created = False

        outcome = _outcome(undo)
        return outcome if isinstance(outcome, ShardFailure) else None

    def dimension(self) -> Union[int, ShardFailure]:
        """The database's dimension (0 while it holds no non-empty vector)."""
        return self._run(_native.dimension)

    def ready(self) -> Optional[ShardFailure]:
        """None when the database is open, after reopening it in a restarted process;
        else why the shard cannot serve its documents."""
        outcome = self._run(lambda database: None)
        return outcome if isinstance(outcome, ShardFailure) else None

    def location(self) -> Tuple[str, int]:
        """The Ray node id and the process id of this actor."""
        import ray

        return ray.get_runtime_context().get_node_id(), os.getpid()

    def size_pool(self, shards_here: int) -> int:
        """Caps the database's worker pool at this shard's share of its machine's cores
        (``pool_threads``), ``shards_here`` being the shards of its database on this
        machine; returns the threads allowed."""
        return _native.cap_worker_threads(pool_threads(_usable_cores(), shards_here))

    def add(self, local_id: int, vector: bytes, metadata_json: str, ttl: Optional[int]) -> Optional[ShardFailure]:
        """The database's add; the vector arrives as native float32 bytes."""
        return self._run(lambda database: database.add(local_id, np.frombuffer(vector, dtype=np.float32),
                                                       metadata_json, ttl))

    def add_many(self, batch: str, round_: int, local_ids: np.ndarray, vectors: Union[np.ndarray, List[np.ndarray]],
                 rows: Union[slice, np.ndarray, None], metadata_jsons: List[str],
                 ttls: Optional[List[Optional[int]]]) -> Optional[ShardFailure]:
        """The database's add_many on this shard's rows of one round (local ids).

        ``vectors`` is the round's matrix shared by the shards of this machine, read in
        place from Ray's object store, and ``rows`` selects this shard's rows of it: a
        slice (every S-th row, a view the database reads without a copy) or their
        positions. A list of rows of different lengths comes with ``rows`` None.

        Rounds of one client batch share the token ``batch`` and are numbered by
        ``round_``. Once a round of a batch failed here, the later rounds of that batch
        are skipped (None), so that the shard stops at its first failing row as one
        database would, although the client sends the next round before the last one
        is done. A round sent again after a restart (the client repeats the rounds from
        the interrupted one on, in order) runs again even when a later one failed.
        """
        if self._failed_round is not None and self._failed_round[0] == batch and round_ > self._failed_round[1]:
            return None
        mine = vectors if rows is None else vectors[rows]
        outcome = self._run(lambda database: database.add_many(local_ids, mine, metadata_jsons, ttls))
        if isinstance(outcome, ShardFailure):
            self._failed_round = (batch, round_)
        return outcome

    def search(self, query: bytes, k: int, filter_json: Optional[str], include_metadata: bool,
               ef: Optional[int]) -> Union[Tuple[List[Hit], bool], ShardFailure]:
        """The database's hits (local ids) and whether it scored quantization codes."""
        vector = np.frombuffer(query, dtype=np.float32)

        def search(database: Database) -> Tuple[List[Hit], bool]:
            if isinstance(database, _native.FullVendrelDB):
                hits = database.search(vector, k, filter_json, include_metadata, ef=ef)
            else:
                hits = database.search(vector, k, filter_json, include_metadata)
            return hits, _native.quantized(database)

        return self._run(search)

    def search_many(self, queries: np.ndarray, k: int, filter_json: Optional[str], include_metadata: bool,
                    ef: Optional[int]) -> Union[List[Tuple[List[Hit], bool]], ShardFailure]:
        """For each query, the database's hits (local ids) and whether it scored codes.
        A full database answers the batch in one call; the contract's database has no
        batch search and answers the queries one by one."""

        def search_many(database: Database) -> List[Tuple[List[Hit], bool]]:
            if isinstance(database, _native.FullVendrelDB):
                lists = database.search_many(queries, k, filter_json, include_metadata, ef=ef)
            else:
                lists = [database.search(query, k, filter_json, include_metadata) for query in queries]
            quantized = _native.quantized(database)
            return [(hits, quantized) for hits in lists]

        return self._run(search_many)

    def build_results(self, scored: Sequence[Tuple[int, float]]) -> Union[List[Hit], ShardFailure]:
        """The database's build_results with metadata."""
        return self._run(lambda database: database.build_results(scored, True))

    def decides(self, leaf_filters: Sequence[str]) -> Union[List[bool], ShardFailure]:
        """For each filter, whether this database's indexes decide it."""
        return self._run(lambda database: [_native.filter_decides(database, text) for text in leaf_filters])

    def delete(self, filter_json: str) -> Union[int, ShardFailure]:
        """The database's delete, with the filter the client rewrote for the shards."""
        return self._run(lambda database: database.delete(filter_json))

    def count(self) -> Union[Tuple[int, int], ShardFailure]:
        """The database's count (after its expiry sweep), then its id bound."""
        return self._run(lambda database: (database.count(), _native.id_bound(database)))

    def clean_expired(self) -> Optional[ShardFailure]:
        """The database's clean_expired."""
        return self._run(lambda database: database.clean_expired())

    def close(self) -> Optional[ShardFailure]:
        """Closes a full database (a checkpoint, and its directory's lock released) so
        that the path can be opened again at once; the contract's database has nothing
        to close."""
        database = self._db
        if isinstance(database, _native.FullVendrelDB):
            return _outcome(database.close)
        return None


def _why_down(error: BaseException) -> str:
    """What a restarted shard whose reopen failed tells the client."""
    if isinstance(error, MissingRecordError):
        return str(error)
    return (f"Ray restarted its process, but its directory did not reopen ({type(error).__name__}: {error}); "
            "repair or restore the directory and open the database again")

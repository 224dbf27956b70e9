"""One shard of a ``ShardedVendrelDB``: a database inside a Ray actor.

Runs on the worker side. Each ``Shard`` lives in its own actor process on a node of
the Ray cluster and owns one database opened at ``<path>/shard-<i>`` on that node:
a ``ContractDB`` (the contract's database) for ``kind="contract"``, a
``FullVendrelDB`` for ``kind="full"``. Its documents are in that process's memory
only; when the process ends they are gone.

A shard holds no logic that the database already has: each method calls the
database's method of the same name with arguments the client has already converted
and checked, and returns the outcome as a value. An exception of the database comes
back as a ``ShardFailure``, so that the client raises the database's own exception
(its class and message) rather than Ray's wrapper of it.
"""

from __future__ import annotations

import os
import pickle
from typing import Any, Callable, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

from . import _native

_T = TypeVar("_T")

Hit = Tuple[int, float, str]


class ShardFailure:
    """An exception raised by a shard's database, carried to the client as a value.

    The database's ``PanicException`` travels as its message (its class is created
    inside each process and cannot be pickled by reference); every other exception
    travels as itself.
    """

    def __init__(self, error: BaseException) -> None:
        self.panic: Optional[str] = None
        self.error: Optional[BaseException] = None
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


class Shard:
    """The actor's state: one database. Every method returns a ShardFailure instead
    of raising the database's exception."""

    def __init__(self, path: str, kind: str, options: dict[str, Any]) -> None:
        database = _native.FullVendrelDB if kind == "full" else _native.ContractDB
        self._failure: Optional[ShardFailure] = None
        self._failed_batch: Optional[str] = None
        self._db: Union[_native.ContractDB, _native.FullVendrelDB, None] = None
        opened = _outcome(lambda: database(path, **options))
        if isinstance(opened, ShardFailure):
            self._failure = opened
        else:
            self._db = opened

    @property
    def _database(self) -> Union[_native.ContractDB, _native.FullVendrelDB]:
        # The client stops at ready() when the database failed to open.
        assert self._db is not None, "the shard's database did not open"
        return self._db

    def ready(self) -> Optional[ShardFailure]:
        """None once the database is open, else why it could not be opened."""
        return self._failure

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
        return _outcome(self._database.add, local_id, np.frombuffer(vector, dtype=np.float32), metadata_json, ttl)

    def add_many(self, batch: str, local_ids: np.ndarray, vectors: Union[np.ndarray, List[np.ndarray]],
                 rows: Union[slice, np.ndarray, None], metadata_jsons: List[str],
                 ttls: Optional[List[Optional[int]]]) -> Optional[ShardFailure]:
        """The database's add_many on this shard's rows of one round (local ids).

        ``vectors`` is the round's matrix shared by the shards of this machine, read in
        place from Ray's object store, and ``rows`` selects this shard's rows of it: a
        slice (every S-th row, a view the database reads without a copy) or their
        positions. A list of rows of different lengths comes with ``rows`` None.

        Rounds of one client batch share the token ``batch``. Once a round of a batch
        failed here, the later rounds of that batch are skipped (None), so that the
        shard stops at its first failing row as one database would, although the
        client sends the next round before the last one is done.
        """
        if batch == self._failed_batch:
            return None
        mine = vectors if rows is None else vectors[rows]
        outcome = _outcome(self._database.add_many, local_ids, mine, metadata_jsons, ttls)
        if isinstance(outcome, ShardFailure):
            self._failed_batch = batch
        return outcome

    def search(self, query: bytes, k: int, filter_json: Optional[str], include_metadata: bool,
               ef: Optional[int]) -> Union[Tuple[List[Hit], bool], ShardFailure]:
        """The database's hits (local ids) and whether it scored quantization codes."""
        vector = np.frombuffer(query, dtype=np.float32)
        database = self._database
        if isinstance(database, _native.FullVendrelDB):
            hits = _outcome(lambda: database.search(vector, k, filter_json, include_metadata, ef=ef))
        else:
            hits = _outcome(database.search, vector, k, filter_json, include_metadata)
        if isinstance(hits, ShardFailure):
            return hits
        return hits, _native.quantized(self._database)

    def search_many(self, queries: np.ndarray, k: int, filter_json: Optional[str], include_metadata: bool,
                    ef: Optional[int]) -> Union[List[Tuple[List[Hit], bool]], ShardFailure]:
        """For each query, the database's hits (local ids) and whether it scored codes.
        A full database answers the batch in one call; the contract's database has no
        batch search and answers the queries one by one."""
        database = self._database
        if isinstance(database, _native.FullVendrelDB):
            lists = _outcome(lambda: database.search_many(queries, k, filter_json, include_metadata, ef=ef))
        else:
            lists = _outcome(lambda: [database.search(query, k, filter_json, include_metadata) for query in queries])
        if isinstance(lists, ShardFailure):
            return lists
        quantized = _native.quantized(database)
        return [(hits, quantized) for hits in lists]

    def build_results(self, scored: Sequence[Tuple[int, float]]) -> Union[List[Hit], ShardFailure]:
        """The database's build_results with metadata."""
        return _outcome(self._database.build_results, scored, True)

    def decides(self, leaf_filters: Sequence[str]) -> Union[List[bool], ShardFailure]:
        """For each filter, whether this database's indexes decide it."""
        return _outcome(lambda: [_native.filter_decides(self._database, text) for text in leaf_filters])

    def delete(self, filter_json: str) -> Union[int, ShardFailure]:
        """The database's delete, with the filter the client rewrote for the shards."""
        return _outcome(self._database.delete, filter_json)

    def count(self) -> Union[Tuple[int, int], ShardFailure]:
        """The database's count (after its expiry sweep), then its id bound."""
        counted = _outcome(self._database.count)
        if isinstance(counted, ShardFailure):
            return counted
        return counted, _native.id_bound(self._database)

    def clean_expired(self) -> Optional[ShardFailure]:
        """The database's clean_expired."""
        return _outcome(self._database.clean_expired)

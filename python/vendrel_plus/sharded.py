"""``ShardedVendrelDB``: one database spread over Ray actors.

Runs on the client side: the process that creates the ``ShardedVendrelDB`` converts
and checks every call's arguments, routes documents (``routing``), fans calls out to
the shard actors (``shard``, worker side) and combines their answers (``merge``,
``filters``, ``batches``). The shards hold the documents; the client holds only the
database's dimension (learnt from the shards when it opens an existing database) and
which shards are known to be lost.
"""

from __future__ import annotations

import collections
import contextlib
import errno
import math
import operator
import os
import threading
import time
import uuid
from collections.abc import Iterable, Sequence
from typing import Any, Callable, Deque, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np
import ray
import ray.exceptions

from . import _native
from .batches import check_dimensions, dimension_error, lowest_row_failure, relabel_row_error, rows_to_send
from .filters import leaf_filters, parse_filter, rewrite_for_shards
from ._types import FilterLike, IdsLike, MetadataLike, RowsLike, VectorLike
from .merge import Hit, merge_replies
from .routing import global_count, local_id, shard_of, split_rows
from .shard import Shard, ShardFailure

__all__ = ["ShardedVendrelDB", "ShardLostError", "ShardInterruptedError"]

# Ray places actors by their resource requests; a whole CPU each would leave 3 of 4
# shards pending on a 2-core machine. A shard is idle between calls, so a quarter
# lets 8 shards share 2 cores; SPREAD still places them evenly over the nodes. More
# shards than the smallest machine holds at this weight, or than the cluster has free
# (other databases, the user's own actors), ask for less each (``_shard_cpus``), or the
# last ones would wait for ever.
SHARD_CPUS = 0.25
# Ray starts its workers at nice 15, below everything else on the machine, which suits
# background tasks; a shard does the database's own work, which the client waits for.
# The variable is read by each worker process as it starts, so it changes our actors'
# processes only, on any cluster.
SHARD_ENV_VARS = {"RAY_worker_niceness": "0"}
# Settings of a Ray instance the client starts itself (none is running, no address
# given). Its only work is the shards: the idle workers Ray starts ahead (one per core,
# for tasks without a runtime environment of their own, so never a shard), its
# dashboard and its metrics are left out. Its object store holds at most a few rounds
# of add_many at a time; Ray's default size (30 % of the machine's memory) lets the
# store place each new round in memory it has not used yet, so that a long load keeps
# clearing fresh shared pages and leaves up to that much shared memory in use. A
# cluster the client joins is used as it is.
OWN_RAY_OPTIONS: Dict[str, Any] = {
    "include_dashboard": False,
    "object_store_memory": 512 << 20,
    "_system_config": {"enable_worker_prestart": False, "prestart_worker_first_driver": False,
                       "enable_metrics_collection": False},
}
# Vectors sent to the shards per round of add_many calls (all shards together): the
# first round's, doubling from round to round up to the largest. The shards wait for
# the client's first round, so it is small; later rounds are large, since every round
# costs the client, Ray and each shard a call, an object and the database's own work
# per add_many call.
FIRST_BATCH_VECTOR_BYTES = 4 << 20
BATCH_VECTOR_BYTES = 64 << 20
MAX_BATCH_ROWS = 1 << 18
# Rounds of add_many calls on their way at once: the client prepares the next round
# while the shards store the last one.
ROUNDS_IN_FLIGHT = 2
# add_many shows a progress bar (when tqdm is installed) above this many rows.
PROGRESS_MIN_ROWS = 100_000
# Ray restarts the process of a durable full shard when it ends, at most this many
# times over the database's life: a shard that dies at every start (say, on a call it
# cannot survive) is then reported lost instead of restarted for ever. Its documents
# are on disk; opening the database again starts a new count.
SHARD_MAX_RESTARTS = 10
# While Ray restarts a shard (or cannot reach it), the client asks it every
# RESTART_POLL_SECONDS whether it is back, for at most RESTART_WAIT_SECONDS. Ray
# declares a lost machine dead well within that time, and the restarted shard then
# answers (on another machine, without its directory: lost).
RESTART_POLL_SECONDS = 0.1
RESTART_WAIT_SECONDS = 300.0
# The shard calls that are sent again once a restarted shard is back: reading calls,
# the expiry sweep, and adds, which store the same documents when repeated (a repeated
# add replaces a document by itself; only a ttl counts again from the repeat). A
# delete is not repeated: one already applied would count nothing the second time.
REPEATABLE_CALLS = frozenset({"find_record", "location", "size_pool", "search", "search_many", "build_results",
                              "decides", "count", "clean_expired", "add", "add_many", "dimension"})

_KINDS = ("contract", "full")
_remote_shard: Any = None


class ShardLostError(RuntimeError):
    """A shard can no longer serve its documents: a shard that kept them in memory only
    (``kind="contract"``, or ``durability="memory"``) whose process ended, whose node
    was lost or which Ray can no longer reach; or a durable shard whose directory is
    gone (removed, or its machine's disk lost), whose directory did not reopen, or
    which Ray gave up restarting (``SHARD_MAX_RESTARTS``). The message says which.

    Every later call that needs that shard raises this error; the database cannot be
    repaired in place, only opened again. It is a RuntimeError, not a ValueError:
    nothing was wrong with the call's arguments, and code that catches the
    database's ValueErrors must not mistake lost documents for a refused document.
    Ray's exception (or the shard's) is kept as ``__cause__``.

    Attributes
    ----------
    shard : int
        The lost shard's number, as in its directory name ``shard-<i>``.
    shards : int
        The database's number of shards.
    """

    def __init__(self, shard: int, shards: int, detail: str) -> None:
        super().__init__(f"shard {shard} of {shards} is lost: {detail}")
        self.shard = shard
        self.shards = shards


class ShardInterruptedError(RuntimeError):
    """A durable shard's process ended (or Ray lost touch with it) while it ran a
    ``delete``, which cannot be repeated safely: the delete may or may not have been
    applied on that shard. The other shards' deletes were applied.

    The shard is back (Ray restarted it, and it reopened its directory with every call
    acknowledged before), so the next call goes ahead. Calls that can be repeated
    (searches, counts, adds) are sent again instead of raising this error. Ray's
    exception is kept as ``__cause__``.

    Attributes
    ----------
    shard : int
        The shard's number.
    shards : int
        The database's number of shards.
    """

    def __init__(self, shard: int, shards: int, detail: str) -> None:
        super().__init__(f"shard {shard} of {shards} was interrupted: {detail}")
        self.shard = shard
        self.shards = shards


def _shard_actor_class() -> Any:
    global _remote_shard
    if _remote_shard is None:
        _remote_shard = ray.remote(Shard)
    return _remote_shard


def _start_ray(address: Optional[str]) -> None:
    """Joins the cluster at `address`, or a running local instance, or starts one with
    OWN_RAY_OPTIONS."""
    if address is not None or os.environ.get("RAY_ADDRESS"):
        ray.init(address=address)
        return
    try:
        ray.init(**OWN_RAY_OPTIONS)
    except ValueError as error:
        # A local instance started with `ray start` was found: Ray refuses settings for
        # a cluster that is already running, before connecting.
        if "existing cluster" not in str(error):
            raise
        ray.init()


def _progress(total: int) -> Any:
    if total <= PROGRESS_MIN_ROWS:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm(total=total, unit="docs", desc="add_many")


class ShardedVendrelDB:
    """One database whose documents are spread over ``shards`` Ray actors.

    The document with global id ``g`` lives on shard ``g % shards`` under the local id
    ``g // shards``. Each shard is a Ray actor owning one database at
    ``<path>/shard-<i>`` on the node where it runs: a contract database for
    ``kind="contract"``, a ``FullVendrelDB(**options)`` for ``kind="full"``.

    Full shards keep their directories, as ``FullVendrelDB`` does (``durability``
    "process" by default): every call that changed something is in the shard's log
    before the call returns. When a full shard's process ends, Ray restarts it and it
    reopens its directory; calls wait for it, and a call that was running there is
    sent again, except a ``delete``, which raises ``ShardInterruptedError``. Opening
    the same path again with the same ``shards`` and ``kind`` brings every document
    back. Contract shards (and ``durability="memory"``) keep their documents in
    memory only: a shard whose process ended is lost (``ShardLostError``), and the
    same path opens empty.

    The six operations (and ``add_many``) take the arguments of the shard's database
    class and raise its exception classes and messages; argument errors are raised
    here before any shard is called. ``search`` evaluates its filter in each shard
    and merges the shards' top k; ``count`` and ``delete`` return what one database
    given the same calls would return.

    Parameters
    ----------
    path
        Directory of the database on every node; shard ``i`` opens
        ``<path>/shard-<i>``. A relative path is taken relative to the client's
        working directory.
    shards
        Number of shards, fixed when the database is created: a path whose full
        shards were created with another number (or kind) is refused.
    kind
        ``"contract"`` or ``"full"``.
    address
        Ray cluster to connect to (``ray.init(address=...)``). ``None`` joins a running
        local Ray instance or starts one for the shards (no dashboard, no metrics, no
        idle workers, a 512 MB object store; ``OWN_RAY_OPTIONS``). A Ray already
        initialised in this process is used as it is.
    **options
        Passed to each shard's database constructor (``FullVendrelDB(path,
        **options)``, e.g. ``index="exact"``, ``durability="power"``). Settings left
        out of a reopen take the stored ones. The contract database takes none.

    Raises
    ------
    TypeError, ValueError
        Invalid ``shards``, ``kind``, ``path`` or ``options`` (an option the database
        refuses is refused with the database's error, as is a directory another
        database object holds open); or a path whose shards were created with
        another ``shards`` or ``kind`` (the message names both).
    ShardLostError
        Reopening: some shards' directories hold their shards and this one's does not
        (it was removed, or its machine lost its disk).
    RuntimeError
        A shard's actor could not be started.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], shards: int = 2, *, kind: str = "contract",
                 address: Optional[str] = None, **options: Any) -> None:
        if isinstance(shards, bool) or not isinstance(shards, int):
            raise TypeError(f"shards must be an int, not {type(shards).__name__}")
        if shards < 1:
            raise ValueError(f"shards must be at least 1, got {shards}")
        if kind not in _KINDS:
            raise ValueError(f"kind must be 'contract' or 'full', got {kind!r}")
        # The words FullVendrelDB uses for a path of the wrong type.
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"path must be a str or an os.PathLike, not {type(path).__name__}")
        fs_path = os.fsdecode(path)
        if not fs_path:
            raise ValueError("path must not be empty")
        if os.path.exists(fs_path) and not os.path.isdir(fs_path):
            # What FullVendrelDB says of the same path, rather than each shard's "Not a
            # directory" for the directory it would make inside it.
            raise ValueError(f"cannot create the database directory {fs_path}: {os.strerror(errno.EEXIST)} "
                             f"(os error {errno.EEXIST})")
        self._path = os.path.abspath(fs_path)
        self._shard_count = shards
        self._kind = kind
        # Durable shards are restarted by Ray and reopen their directories; the others
        # would come back empty, so they are never restarted.
        self._durable = kind == "full" and options.get("durability", "process") != "memory"
        self._dimension = 0
        self._ray_job: Tuple[str, str] = ("", "")
        self._lost: Dict[int, Tuple[str, BaseException]] = {}
        self._lock = threading.Lock()
        self._actors: List[Any] = []
        # The shards by the machine they run on, each machine's shards in ascending order.
        self._machines: List[List[int]] = []
        if not ray.is_initialized():
            _start_ray(address)
        self._ray_job = _ray_job()
        # A call that dies with its process is never repeated by Ray: the client decides
        # which calls are sent again (REPEATABLE_CALLS).
        actor_class = _shard_actor_class().options(num_cpus=_shard_cpus(shards), scheduling_strategy="SPREAD",
                                                   max_restarts=SHARD_MAX_RESTARTS if self._durable else 0,
                                                   max_task_retries=0,
                                                   runtime_env={"env_vars": dict(SHARD_ENV_VARS)})
        self._actors = [actor_class.remote(os.path.join(self._path, f"shard-{shard}"), kind, dict(options), shard,
                                           shards, self._durable)
                        for shard in range(shards)]
        everyone: Dict[int, Tuple[Any, ...]] = {shard: () for shard in range(shards)}
        try:
            found = self._call("find_record", everyone)
        except ShardLostError as lost:
            self._end()
            raise RuntimeError(f"shard {lost.shard} of {shards} could not be started (is vendrel installed on "
                               "every machine of the cluster?); Ray's error is the cause") from lost.__cause__
        except BaseException:
            self._end()
            raise
        create = False
        try:
            self._raise_failures(found)
            # A path where no shard finds its record is a new database; where some do, a
            # shard without one lost its directory (open reports it lost).
            create = not any(found.values())
            opened = self._call("open", {shard: (create,) for shard in range(shards)})
            self._raise_failures(opened)
            create = False
            self._dimension = max(opened.values())
            self._place_shards()
        except BaseException:
            if create:
                self._undo_create()
            self._end()
            raise

    def _undo_create(self) -> None:
        """After a creation that failed on some shard: the shards that created their
        database remove their records, so that the path stays a new database rather
        than one whose other shards are lost. Best effort: a shard that cannot be
        reached keeps its record."""
        live = {shard: () for shard in range(self._shard_count) if shard not in self._lost}
        with contextlib.suppress(Exception):
            self._call("undo_create", live)

    # ---- Ray plumbing --------------------------------------------------------------

    def _check_open(self) -> None:
        if not self._actors:
            raise ValueError("operation on a closed ShardedVendrelDB")
        if not ray.is_initialized() or _ray_job() != self._ray_job:
            # Ray's actors ended with it; a call now would start a new Ray of Ray's
            # defaults just to find them gone, and a Ray started since knows none of
            # them (its calls would fail with Ray's bare Exception).
            for shard in range(self._shard_count):
                self._lose(shard, "Ray was shut down in this process while the database was open; "
                                  "close it and open it again", None)
            self._require(range(self._shard_count))

    def _lost_error(self, shard: int) -> ShardLostError:
        detail, cause = self._lost[shard]
        error = ShardLostError(shard, self._shard_count, detail)
        error.__cause__ = cause
        return error

    def _require(self, shards: Iterable[int]) -> None:
        """Raises ShardLostError for the first of `shards` known to be lost."""
        for shard in sorted(shards):
            if shard in self._lost:
                raise self._lost_error(shard)

    def _lose(self, shard: int, detail: str, cause: Optional[BaseException]) -> None:
        self._lost.setdefault(shard, (detail, cause))

    def _mark_lost(self, shard: int, error: BaseException) -> None:
        """Marks lost a shard whose actor failed and is not restarted (not durable)."""
        # Ray releases before 2.30 or so have no ActorUnavailableError.
        if isinstance(error, getattr(ray.exceptions, "ActorUnavailableError", ())):
            detail = "Ray cannot reach its actor, and the call may or may not have run there; reopen the database"
        else:
            detail = "its documents were in memory only; reopen the database"
        self._lose(shard, detail, error)

    def _await_restart(self, shard: int, error: BaseException) -> bool:
        """After Ray reported `error` for a call of `shard`: whether the shard is back
        and serving its documents, waiting while Ray restarts a durable shard (the
        restarted shard reopens its directory when asked whether it is ready). A shard
        that does not come back is marked lost."""
        if not self._durable:
            self._mark_lost(shard, error)
            return False
        unavailable = getattr(ray.exceptions, "ActorUnavailableError", ())
        deadline = time.monotonic() + RESTART_WAIT_SECONDS
        while True:
            try:
                failure = ray.get(self._actors[shard].ready.remote())
            except unavailable as again:  # restarting, or not reachable for now
                if time.monotonic() < deadline:
                    time.sleep(RESTART_POLL_SECONDS)
                    continue
                self._lose(shard, f"Ray could not reach its actor for {RESTART_WAIT_SECONDS:g} s; its documents "
                           "are in its directory: close the database and open it again", again)
                return False
            except ray.exceptions.RayError as gone:
                self._lose(shard, "its process ended and Ray did not restart it (it restarts a shard at most "
                           f"{SHARD_MAX_RESTARTS} times); its documents are in its directory: close the database "
                           "and open it again", gone)
                return False
            if failure is None:
                return True
            self._lose(shard, failure.lost or str(failure.exception()), failure.exception())
            return False

    def _gather(self, calls: Dict[int, Any], resend: Optional[Callable[[int], Any]] = None,
                method: str = "") -> Dict[int, Any]:
        """Waits for every shard's reply.

        A shard whose actor failed (its process ended, or Ray lost touch with it) is
        waited for while Ray restarts it (``_await_restart``); once it is back its call
        is sent again with ``resend``, or, for a call that cannot be repeated (no
        ``resend``), reported as ShardInterruptedError naming ``method``. A shard that
        does not come back is marked lost. Once every other reply is in, the lowest lost
        shard is reported, else the lowest interrupted one.
        """
        try:
            # One wait for all replies; only a failure needs them one by one.
            return dict(zip(calls, ray.get(list(calls.values()))))
        except ray.exceptions.RayError:
            pass
        replies: Dict[int, Any] = {}
        interrupted: Dict[int, BaseException] = {}
        restarted = False
        for shard, reference in calls.items():
            while shard not in replies:
                try:
                    replies[shard] = ray.get(reference)
                except ray.exceptions.RayTaskError:
                    raise  # a fault in the shard's own code: the actor lives on
                except ray.exceptions.RayError as error:
                    if not self._await_restart(shard, error):
                        break
                    restarted = True
                    if resend is None:
                        interrupted[shard] = error
                        break
                    reference = resend(shard)
        self._require(calls)
        if restarted:
            # A restarted shard may run on another machine, and its worker pool is new.
            self._place_shards()
        if interrupted:
            shard = min(interrupted)
            raise ShardInterruptedError(
                shard, self._shard_count,
                f"its process ended (or Ray lost touch with it) during {method}, which may or may not have been "
                "applied there; the shard is back with every call acknowledged before. Call it again to be sure "
                "(a repeated delete deletes what the filter still selects, and counts only that)"
            ) from interrupted[shard]
        return replies

    def _call(self, method: str, arguments: Dict[int, Tuple[Any, ...]]) -> Dict[int, Any]:
        """Calls the shards' `method`, each with its own arguments, and gathers the
        replies (``_gather``); a restarted shard gets its call again when the method is
        in REPEATABLE_CALLS."""
        self._require(arguments)

        def send(shard: int) -> Any:
            return getattr(self._actors[shard], method).remote(*arguments[shard])

        return self._gather({shard: send(shard) for shard in arguments},
                            send if method in REPEATABLE_CALLS else None, method)

    def _call_all(self, method: str, *args: Any) -> Dict[int, Any]:
        return self._call(method, {shard: args for shard in range(self._shard_count)})

    def _place_shards(self) -> None:
        """Learns which shards share a machine, and sizes each shard's worker pool to its
        share of that machine's cores. Lost shards are left out."""
        machines: Dict[str, List[int]] = {}
        live: Dict[int, Tuple[Any, ...]] = {shard: () for shard in range(self._shard_count) if shard not in self._lost}
        for shard, (node, _) in sorted(self._call("location", live).items()):
            machines.setdefault(node, []).append(shard)
        self._machines = list(machines.values())
        self._call("size_pool", {shard: (len(shards),) for shards in self._machines for shard in shards})

    def _note_lost(self, replies: Dict[int, Any]) -> None:
        """Marks lost the shards that replied they can no longer serve their documents
        (a restarted shard whose directory is gone), and raises for the lowest."""
        for shard in sorted(replies):
            reply = replies[shard]
            if isinstance(reply, ShardFailure) and reply.lost is not None:
                self._lose(shard, reply.lost, reply.exception())
        self._require(replies)

    def _raise_failures(self, replies: Dict[int, Any]) -> None:
        """Raises ShardLostError for the lowest shard that cannot serve its documents,
        else the database exception of the lowest shard that reported one."""
        self._note_lost(replies)
        for shard in sorted(replies):
            if isinstance(replies[shard], ShardFailure):
                raise replies[shard].exception()

    # ---- The database's operations -------------------------------------------------

    def add(self, internal_id: int, vector: VectorLike, metadata_json: MetadataLike, ttl: Optional[int] = None) -> None:
        """Stores one document on the shard its id routes to.

        Parameters
        ----------
        internal_id
            Global id, 0 to 4294967295.
        vector
            Sequence of floats (or a 1-D float32/float64 array). The first non-empty
            vector fixes the dimension of the whole database.
        metadata_json
            Metadata text; JSON objects are indexed for filters.
        ttl
            Time to live in seconds, or None.

        Raises
        ------
        TypeError, OverflowError, UnicodeEncodeError
            As the shard's database raises them for these arguments.
        ValueError
            "Dimension mismatch: expected {}, got {}" (nothing stored), or the
            database's error for the metadata (JSON syntax, size, file), in which case
            the steps before it are kept as one database keeps them.
        ShardLostError
            The document's shard is lost.

        A full shard restarted during the call gets it again (storing the same
        document; a ttl then counts from the repeat).
        """
        internal_id, vector_bytes, metadata_json, ttl = _native.convert_add(internal_id, vector, metadata_json, ttl)
        with self._lock:
            self._check_open()
            length = len(vector_bytes) // 4
            if self._dimension != 0 and length != self._dimension:
                raise ValueError(f"Dimension mismatch: expected {self._dimension}, got {length}")
            shard = shard_of(internal_id, self._shard_count)
            local = local_id(internal_id, self._shard_count)
            with self._dimension_settled():
                if self._dimension == 0:
                    self._dimension = length
                self._raise_failures(self._call("add", {shard: (local, vector_bytes, metadata_json, ttl)}))

    @contextlib.contextmanager
    def _dimension_settled(self) -> Iterator[None]:
        """Around a call that may fix the dimension: when it fails, the dimension is
        read back from the shards, since a refused row fixes it only where its shard
        stored the vector (a full shard stores nothing of a refused row)."""
        unset = self._dimension == 0
        try:
            yield
        except BaseException:
            if unset:
                self._dimension = self._stored_dimension()
            raise

    def _stored_dimension(self) -> int:
        """The largest dimension the live shards report; the client's own value when
        they cannot be asked."""
        try:
            replies = self._call("dimension", {shard: () for shard in range(self._shard_count)
                                               if shard not in self._lost})
        except Exception:  # the call's own failure is the one raised
            return self._dimension
        return max([reply for reply in replies.values() if isinstance(reply, int)], default=self._dimension)

    def add_many(self, ids: IdsLike, vectors: RowsLike, metadata_jsons: Sequence[MetadataLike],
                 ttls: Optional[Sequence[Optional[int]]] = None) -> None:
        """Stores many documents, each shard its own rows in one call per round.

        The rows are converted and checked here and sent in rounds: each round's
        vectors go into Ray's object store once per machine (a 2-D float32 array is
        sliced, never turned into a Python object per row), and the shards of that
        machine read their own rows of it in place and store them in parallel. Each
        round's texts are parsed here just before the round is sent, while the shards
        store the round before. A progress bar (tqdm, if installed) is shown above
        100,000 rows.

        Parameters
        ----------
        ids
            Global ids: a 1-D integer array or a sequence of ints.
        vectors
            A 2-D float32 (or float64) array, or a sequence of rows.
        metadata_jsons
            One metadata text per row.
        ttls
            None, or one time to live (int or None) per row.

        Raises
        ------
        TypeError, OverflowError, ValueError
            A row that cannot be converted ("row N: ..."), or columns of different
            lengths; nothing is stored.
        ValueError
            "row N: <message>" for the first row that fails. What is stored then is
            what one database fed the rows in order stores: the rows before it, and of
            that row what ``add`` keeps. Only failures that depend on one shard's own
            state (its metadata file reaching 4 GiB, an I/O error) stop each shard at
            its own first failing row instead.
        ShardLostError
            A shard that holds some of the rows before the first row the dimension
            step refuses is lost; nothing is stored.

        A full shard restarted during the call gets its rows again, from the round
        that was interrupted on (storing a row again stores the same document).
        """
        converted = _native.convert_add_many(ids, vectors, metadata_jsons, ttls)
        with self._lock:
            self._check_open()
            id_bytes, vector_data, length_bytes, texts, ttl_list, non_finite = converted
            global_ids = np.frombuffer(id_bytes, dtype=np.uint32)
            lengths = np.frombuffer(length_bytes, dtype=np.uint64)
            dimension = check_dimensions(lengths, self._dimension)
            # A row the client refuses itself (its length, or a NaN or an infinity) is
            # not sent; the rows before it are stored, as one database stores them.
            limit = dimension.failing_row
            refusal: Optional[BaseException] = None
            if limit < len(global_ids):
                refusal = dimension_error(limit, dimension.dimension, int(lengths[limit]))
            if non_finite is not None and non_finite[0] < limit:
                limit, refusal = non_finite[0], non_finite[2] if len(non_finite) > 2 else ValueError(non_finite[1])
            self._require(np.unique(global_ids[:limit] % np.uint32(self._shard_count)).tolist())
            rows = _RowSource(vector_data, lengths, limit, texts, ttl_list)
            with self._dimension_settled():
                sent = self._store_rows(global_ids, rows, limit, dimension.dimension)
            if refusal is not None and sent == limit:
                raise refusal

    def _store_rows(self, global_ids: np.ndarray, rows: "_RowSource", limit: int, dimension: int) -> int:
        """Sends rows [0, limit) to their shards in rounds, one call per shard per round,
        with up to ROUNDS_IN_FLIGHT rounds on their way so that the shards never wait
        for the client; returns how many rows were sent, or raises the lowest failing
        row's error once every round sent is complete.

        Each round's texts are checked just before the round is sent
        (``rows_to_send``): no row after a text that add refuses is sent. No round is
        sent after a failure is seen, and a shard refuses the rest of a batch once one
        of its calls failed (the batch token). A shard restarted during a round gets
        that round and the later ones on their way again (``_resend_rounds``)."""
        largest = max(1, min(MAX_BATCH_ROWS, BATCH_VECTOR_BYTES // max(1, 4 * dimension)))
        chunk = min(largest, max(1, FIRST_BATCH_VECTOR_BYTES // max(1, 4 * dimension)))
        batch = uuid.uuid4().hex
        progress = _progress(limit)
        in_flight: Deque[_Round] = collections.deque()
        failures: List[Tuple[int, BaseException]] = []
        begin = sent = rounds = 0
        try:
            while in_flight or (sent < limit and not failures):
                if sent < limit and not failures and len(in_flight) < ROUNDS_IN_FLIGHT:
                    begin, end = sent, min(limit, sent + chunk)
                    chunk = min(largest, 2 * chunk)
                    sent = rows_to_send(begin, end, _native.find_unstorable_text(rows.texts(begin, end)))
                    in_flight.append(self._send_round(batch, rounds, global_ids, rows, begin, sent, dimension))
                    rounds += 1
                    if sent < end:
                        limit = sent  # the row whose text is refused fails in its shard: nothing after it
                    continue
                current = in_flight.popleft()
                replies = self._gather(current.calls, self._resend_rounds(batch, current, in_flight), "add_many")
                self._note_lost(replies)
                failures += [relabel_row_error(reply.exception(), current.placed[shard])
                             for shard, reply in replies.items() if isinstance(reply, ShardFailure)]
                if progress is not None:
                    progress.update(current.size)
        finally:
            if progress is not None:
                progress.close()
        failure = lowest_row_failure(failures)
        if failure is not None:
            raise failure
        return sent

    def _resend_rounds(self, batch: str, current: "_Round", later: Deque["_Round"]) -> Callable[[int], Any]:
        """How to send a restarted shard its call of round `current` again: that call,
        then its calls of the `later` rounds still on their way, in order, so that an id
        repeated in a later round ends as the later round stored it even when the
        later call ran before the repeat."""

        def resend(shard: int) -> Any:
            reference = self._send_add_many(batch, current, shard)
            for round_ in later:
                if shard in round_.calls:
                    round_.calls[shard] = self._send_add_many(batch, round_, shard)
            return reference

        return resend

    def _send_add_many(self, batch: str, round_: "_Round", shard: int) -> Any:
        return self._actors[shard].add_many.remote(batch, round_.number, *round_.arguments[shard])

    def _send_round(self, batch: str, number: int, global_ids: np.ndarray, rows: "_RowSource", begin: int,
                    end: int, dimension: int) -> "_Round":
        """Sends rows [begin, end) to their shards as round `number` of the batch.

        The vectors go into Ray's object store once per machine, not once per shard:
        the shards of a machine read their rows of that one object in place."""
        split = split_rows(global_ids[begin:end], self._shard_count)
        self._require(shard for shard in range(self._shard_count) if len(split[shard].rows))
        round_ = _Round(number, end - begin, {}, {}, {})
        placed = round_.placed
        for shards in self._machines:
            present = [shard for shard in shards if len(split[shard].rows)]
            if not present:
                continue
            for shard in present:
                placed[shard] = split[shard].rows + begin
            if rows.ragged:
                shared: List[Any] = [rows.ragged_rows(placed[shard]) for shard in present]
                selections: List[Any] = [None] * len(present)
            else:
                matrix, selections = rows.machine_vectors([placed[shard] for shard in present], begin, end)
                shared = [ray.put(matrix)] * len(present)
            for shard, vectors, selection in zip(present, shared, selections):
                texts, ttls = rows.columns(placed[shard])
                round_.arguments[shard] = (split[shard].local_ids, vectors, selection, texts, ttls)
                round_.calls[shard] = self._send_add_many(batch, round_, shard)
        # Rows on their way have passed the dimension step, as in one database.
        if np.any(rows.lengths[begin:end]):
            self._dimension = dimension
        return round_

    def search(self, query: VectorLike, k: int, filter_json: FilterLike = None,
               include_metadata: bool = True, *, ef: Optional[int] = None) -> List[Hit]:
        """The top k documents over all shards, best first.

        Every shard runs its own search (concurrently) with the filter as given and
        returns its top k; the lists are merged (``vendrel_plus.merge``): higher score
        first, equal scores by lower global id without reordering a shard's own list,
        and, while some contract shards are quantized and others are not, the hits of
        the full-vector shards first. The filter is evaluated by each shard over its
        own documents, so the result equals the merge of plain databases holding the
        same partitions. Unlike ``delete``, with the contract kind a clause that only
        some shards can decide (a value that occurs in one shard only) is decided per
        shard, not as one database holding every document would decide it; the full
        kind's clauses are decided by each document's own values.

        Parameters
        ----------
        query
            Sequence of floats (or a 1-D float32/float64 array) of the stored vectors'
            length, all finite.
        k
            Number of hits wanted, at least 1.
        filter_json
            Optional filter: JSON text or a mapping.
        include_metadata
            Whether hits carry their metadata text (else "").
        ef
            ``kind="full"`` with ``index="hnsw"``: the graph's candidate list for this
            search (default: the shards' ``ef_search``).

        Returns
        -------
        list of (int, float, str)
            (global id, score, metadata) tuples.

        Raises
        ------
        TypeError, OverflowError, ValueError
            As ``FullVendrelDB.search`` raises them (argument conversion, a query of
            another length, an invalid filter).
        ShardLostError
            A shard is lost.
        """
        query_bytes, k, filter_json, include_metadata = _native.convert_search(query, k, filter_json,
                                                                               include_metadata)
        with self._lock:
            self._check_open()
            self._check_query_length(len(query_bytes) // 4)
            replies = self._call_all("search", query_bytes, k, filter_json, include_metadata, self._ef(ef))
            self._raise_failures(replies)
            return merge_replies([replies[shard] for shard in range(self._shard_count)], k)

    def search_many(self, queries: RowsLike, k: int, filter_json: FilterLike = None,
                    include_metadata: bool = True, *, ef: Optional[int] = None) -> List[List[Hit]]:
        """``search`` for each query, with one call per shard for the whole batch.

        The queries travel to every shard once (a 2-D float32 array is sent as it is);
        each shard answers them all (its expiry sweep and filter run once), and the
        lists are merged query by query as ``search`` merges them.

        Parameters
        ----------
        queries
            A 2-D float32 (or float64) array, or a sequence of vectors, each of the
            stored vectors' length.
        k, filter_json, include_metadata, ef
            As for ``search``.

        Returns
        -------
        list of list of (int, float, str)
            One hit list per query, each equal to what ``search`` returns for it.

        Raises
        ------
        TypeError, OverflowError, ValueError
            As ``FullVendrelDB.search_many`` raises them.
        ShardLostError
            A shard is lost.
        """
        converted = _native.convert_search_many(queries, k, filter_json, include_metadata)
        with self._lock:
            self._check_open()
            matrix, length_bytes, k, filter_json, include_metadata, non_finite = converted
            lengths = np.frombuffer(length_bytes, dtype=np.uint64)
            # The first refused query is named, as the database names it: a query's
            # length is checked before its values.
            checked = len(lengths) if non_finite is None else non_finite[0] + 1
            for position, length in enumerate(lengths[:checked].tolist()):
                self._check_query_length(length, f"query {position}: ")
            if non_finite is not None:
                raise ValueError(f"query {non_finite[0]}: {non_finite[1]}")
            if isinstance(matrix, bytes):
                matrix = _query_rows(np.frombuffer(matrix, dtype=np.float32), lengths)
            sent = ray.put(matrix if isinstance(matrix, list) else np.asarray(matrix, dtype=np.float32))
            replies = self._call_all("search_many", sent, k, filter_json, include_metadata, self._ef(ef))
            self._raise_failures(replies)
            return [merge_replies([replies[shard][position] for shard in range(self._shard_count)], k)
                    for position in range(len(lengths))]

    def _check_query_length(self, length: int, prefix: str = "") -> None:
        """Refuses a query of another length than the stored vectors, as the database does."""
        if self._dimension != 0 and length != self._dimension:
            raise ValueError(f"{prefix}Dimension mismatch: the query has {length} components, "
                             f"the stored vectors {self._dimension}")

    def _ef(self, ef: Optional[int]) -> Optional[int]:
        """The checked ``ef`` of a search; only the full kind's graph takes one."""
        if ef is None:
            return None
        if self._kind != "full":
            raise TypeError("ef is an option of kind='full' only")
        # FullVendrelDB's rules and words: any integer (a bool or a NumPy one too).
        try:
            value = operator.index(ef)
        except TypeError:
            raise TypeError(f"ef must be an int, not {type(ef).__name__}") from None
        if not 1 <= value <= 100000:
            raise ValueError(f"ef must be between 1 and 100000, got {value}")
        return value

    def build_results(self, scored: Sequence[Tuple[int, float]], include_metadata: bool) -> List[Hit]:
        """Turns (global id, score) pairs into (id, score, metadata) tuples, in order.

        Without metadata no shard is called. With metadata each id's text is read by
        its own shard; ids whose text cannot be read (never added, file gone) are left
        out, as one database leaves them out.

        Raises
        ------
        TypeError, OverflowError, ValueError
            As the shard's database raises them for these arguments.
        ShardLostError
            A shard holding one of the ids is lost.
        """
        id_bytes, score_bytes, include_metadata = _native.convert_build_results(scored, include_metadata)
        with self._lock:
            self._check_open()
            ids = np.frombuffer(id_bytes, dtype=np.uint32)
            scores = np.frombuffer(score_bytes, dtype=np.float32).tolist()
            id_list = ids.tolist()
            if not include_metadata:
                return [(doc_id, score, "") for doc_id, score in zip(id_list, scores)]
            texts: List[Optional[str]] = [None] * len(id_list)
            split = [(shard, rows) for shard, rows in enumerate(split_rows(ids, self._shard_count))
                     if len(rows.rows)]
            replies = self._call("build_results", {
                shard: (list(zip(rows.local_ids.tolist(), [scores[row] for row in rows.rows.tolist()])),)
                for shard, rows in split})
            self._raise_failures(replies)
            for shard, rows in split:
                _place_texts(replies[shard], rows.rows.tolist(), rows.local_ids.tolist(), texts)
            return [(doc_id, score, text) for doc_id, score, text in zip(id_list, scores, texts) if text is not None]

    def delete(self, filter_json: FilterLike) -> int:
        """Deletes the documents the filter selects; returns how many it selected.

        The filter is evaluated as one database holding every document would
        evaluate it. The full kind's filters decide every clause from each document's
        own values, so every shard deletes what the filter selects among its
        documents. The contract kind's clauses can be undetermined, depending on all
        the documents an index has seen (``vendrel_plus.filters``): every shard is
        first asked which clauses it can decide, then deletes what the global
        evaluation selects among its documents. The count is the sum of the shards'
        counts, which is what one database returns.

        Raises
        ------
        TypeError, UnicodeEncodeError
            ``filter_json`` is not a str (or cannot be encoded).
        ValueError
            The filter is not valid JSON, or (full kind) not a valid filter (the
            database's message); nothing changes.
        ShardLostError
            A shard is lost.
        ShardInterruptedError
            A full shard's process ended (or Ray lost touch with it) during the call:
            on that shard the delete may or may not have been applied, on the others
            it was. The shard is back; delete again to be sure.
        """
        filter_json = _native.convert_delete(filter_json, self._kind == "full")
        with self._lock:
            self._check_open()
            if self._kind == "full":
                # A filter the database refuses is refused by every shard before it
                # deletes anything: the check reads the filter alone.
                replies = self._call_all("delete", filter_json)
                self._raise_failures(replies)
                return sum(replies.values())
            parsed = parse_filter(filter_json)
            leaves = leaf_filters(parsed)
            decided = set()
            if leaves:
                replies = self._call_all("decides", leaves)
                self._raise_failures(replies)
                decided = {leaf for answers in replies.values() for leaf, yes in zip(leaves, answers) if yes}
            replies = self._call_all("delete", rewrite_for_shards(parsed, decided.__contains__))
            self._raise_failures(replies)
            return sum(replies.values())

    def count(self) -> int:
        """Live documents, as one database given the same calls would count them: the
        id bound over all shards minus the deleted ids (ids never added below the
        bound count). Each shard sweeps its expired documents first.

        Raises
        ------
        ShardLostError
            A shard is lost.
        """
        with self._lock:
            self._check_open()
            replies = self._call_all("count")
            self._raise_failures(replies)
            counts = [replies[shard][0] for shard in range(self._shard_count)]
            bounds = [replies[shard][1] for shard in range(self._shard_count)]
            return global_count(counts, bounds)

    def clean_expired(self) -> None:
        """Deletes the documents whose time to live has passed, on every shard.

        Raises
        ------
        ShardLostError
            A shard is lost.
        """
        with self._lock:
            self._check_open()
            self._raise_failures(self._call_all("clean_expired"))

    # ---- Life cycle ----------------------------------------------------------------

    @property
    def shards(self) -> int:
        """The number of shards."""
        return self._shard_count

    @property
    def kind(self) -> str:
        """``"contract"`` or ``"full"``."""
        return self._kind

    @property
    def path(self) -> str:
        """The database directory (absolute); shard i is at ``<path>/shard-<i>``."""
        return self._path

    def locations(self) -> List[Tuple[str, int]]:
        """For each shard, the Ray node id it runs on and its process id.

        Raises
        ------
        ShardLostError
            A shard is lost.
        """
        with self._lock:
            self._check_open()
            replies = self._call_all("location")
            return [replies[shard] for shard in range(self._shard_count)]

    def close(self) -> None:
        """Closes every shard's database and ends the shard actors. Idempotent. Later
        calls raise ValueError.

        Each full shard's database is closed first (a checkpoint, and its directory's
        lock released), so that the path can be opened again at once; a contract
        shard's documents are dropped. A shard that cannot be reached is ended all the
        same (a durable one's log holds every acknowledged call).

        Raises
        ------
        ValueError, OSError
            A full shard's database failed to close (its checkpoint could not be
            written: the log still holds its calls); raised once every actor is ended.
        """
        failures = self._end()
        self._raise_failures(failures)

    def _end(self) -> Dict[int, Any]:
        """Closes the shards' databases and ends their actors; returns the shards'
        replies to close, leaving out those that could not be reached."""
        with self._lock:
            actors, self._actors = self._actors, []
        if not ray.is_initialized():
            return {}  # the actors ended with Ray; a call would start another Ray
        closing = {}
        for shard, actor in enumerate(actors):
            if shard not in self._lost:
                try:
                    closing[shard] = actor.close.remote()
                except Exception:  # Ray already shut down
                    pass
        replies: Dict[int, Any] = {}
        for shard, reference in closing.items():
            try:
                replies[shard] = ray.get(reference)
            except Exception:  # gone, restarting or unreachable (or Ray shut down): ended below all the same
                pass
        for actor in actors:
            try:
                ray.kill(actor, no_restart=True)
            except Exception:  # already gone, or Ray already shut down
                pass
        return {shard: reply for shard, reply in replies.items() if isinstance(reply, ShardFailure)}

    def __enter__(self) -> "ShardedVendrelDB":
        self._check_open()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "" if self._actors else ", closed"
        return f"ShardedVendrelDB({self._path!r}, shards={self._shard_count}, kind={self._kind!r}{state})"


class _Round(NamedTuple):
    """One round of an add_many batch on its way to the shards."""

    number: int
    size: int  # rows
    calls: Dict[int, Any]  # each shard's call; replaced when sent again after a restart
    placed: Dict[int, np.ndarray]  # each shard's rows (positions in the caller's batch)
    arguments: Dict[int, Tuple[Any, ...]]  # each shard's add_many arguments after the batch and round


def _ray_job() -> Tuple[str, str]:
    """Which Ray this process runs: its job and its node. Each start of Ray here is a new
    job in a cluster it joins again, or a new node in a local Ray started again (whose
    job numbers start over)."""
    context = ray.get_runtime_context()
    return context.get_job_id(), context.get_node_id()


def _shard_cpus(shards: int) -> float:
    """Each shard's CPU request: SHARD_CPUS, or less when the smallest machine of the
    cluster could not hold every shard at that weight, or the CPUs still free in the
    cluster could not (down to none: a shard then asks for no CPU at all). Ray takes 4
    decimals."""
    try:
        cpus = [node["Resources"].get("CPU", 0.0) for node in ray.nodes() if node.get("Alive")]
        free = ray.available_resources().get("CPU", 0.0)
    except Exception:  # a connection that cannot list the nodes keeps the default weight
        return SHARD_CPUS
    smallest = min([count for count in cpus if count > 0], default=0.0)
    return min(SHARD_CPUS, math.floor(min(smallest, free) / shards * 10_000) / 10_000)


def _query_rows(values: np.ndarray, lengths: np.ndarray) -> Union[np.ndarray, List[np.ndarray]]:
    """The queries of a batch read as a sequence: one matrix when they are as long as
    each other, else one array each (possible only while the database has no
    dimension yet, as a database answers them)."""
    if len(lengths) == 0 or np.all(lengths == lengths[0]):
        return values.reshape(len(lengths), int(lengths[0]) if len(lengths) else 0)
    return np.split(values, np.cumsum(lengths[:-1].astype(np.intp)))


class _RowSource:
    """The converted rows of one add_many call that may be sent (the first ``count``),
    cut into each machine's and each shard's rows without a Python object per row
    (except for the metadata texts, which are str already)."""

    def __init__(self, vector_data: Any, lengths: np.ndarray, count: int, texts: List[str],
                 ttls: Optional[List[Optional[int]]]) -> None:
        self.lengths = lengths
        self._texts = np.array(texts, dtype=object)
        self._ttls = None if ttls is None else np.array(ttls, dtype=object)
        width = int(lengths[:count].max()) if count else 0
        self._ragged: Optional[List[np.ndarray]] = None
        if not isinstance(vector_data, bytes):
            self._matrix = np.asarray(vector_data)  # the caller's float32 rows, not copied
        elif np.all(lengths[:count] == width):
            self._matrix = np.frombuffer(vector_data, dtype=np.float32)[:count * width].reshape(count, width)
        else:
            # Empty rows before the first non-empty one, while the dimension is open:
            # rows of two lengths cannot form a matrix, so they travel one by one.
            flat = np.frombuffer(vector_data, dtype=np.float32)
            ends = np.cumsum(lengths[:count], dtype=np.int64)
            self._ragged = [flat[end - length:end] for end, length in zip(ends.tolist(), lengths[:count].tolist())]

    @property
    def ragged(self) -> bool:
        """Whether the rows are of different lengths (and cannot form a matrix)."""
        return self._ragged is not None

    def ragged_rows(self, rows: np.ndarray) -> List[np.ndarray]:
        """The vectors of the given rows, one array each (only when ``ragged``)."""
        assert self._ragged is not None
        return [self._ragged[row] for row in rows.tolist()]

    def machine_vectors(self, shard_rows: List[np.ndarray], begin: int,
                        end: int) -> Tuple[np.ndarray, List[Union[slice, np.ndarray]]]:
        """The vectors of one machine's shards in rows [begin, end), as one matrix, and
        for each shard which rows of that matrix are its own (a slice when they are
        evenly spaced, so that the shard reads them in place; else their positions).

        When the machine's shards own every row of the range (one machine, or shards
        that share one), the matrix is a view of the caller's rows, not a copy.
        """
        if sum(len(rows) for rows in shard_rows) == end - begin:
            return self._matrix[begin:end], [_evenly_spaced(rows - begin) for rows in shard_rows]
        mine = np.sort(np.concatenate(shard_rows))
        return self._matrix[mine], [_evenly_spaced(np.searchsorted(mine, rows)) for rows in shard_rows]

    def texts(self, begin: int, end: int) -> List[str]:
        """The texts of rows [begin, end)."""
        texts: List[str] = self._texts[begin:end].tolist()
        return texts

    def columns(self, rows: np.ndarray) -> Tuple[List[str], Optional[List[Optional[int]]]]:
        """The texts and ttls of the given rows, for one shard's add_many."""
        ttls = None if self._ttls is None else self._ttls[rows].tolist()
        return self._texts[rows].tolist(), ttls


def _evenly_spaced(positions: np.ndarray) -> Union[slice, np.ndarray]:
    """A slice selecting the given ascending positions when they are evenly spaced (as
    a shard's rows of a batch of consecutive ids are), else the positions."""
    first = int(positions[0])
    if len(positions) == 1:
        return slice(first, first + 1)
    step = int(positions[1] - first)
    if np.all(np.diff(positions) == step):
        return slice(first, int(positions[-1]) + 1, step)
    return positions


def _place_texts(hits: List[Hit], rows: List[int], locals_: List[int], texts: List[Optional[str]]) -> None:
    """Puts a shard's build_results hits back at their rows. The shard returns its
    pairs in order, leaving out those whose text it could not read, so each hit
    belongs to the next row with the same id."""
    position = 0
    for row, local in zip(rows, locals_):
        if position < len(hits) and hits[position][0] == local:
            texts[row] = hits[position][2]
            position += 1

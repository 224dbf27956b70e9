"""The companion package's extension module: FullVendrelDB, and what the sharded layer uses."""

import os
from collections.abc import Iterable, Mapping, Sequence
from types import TracebackType
from typing import Literal, final

from ._types import FilterLike, Hit, IdsLike, MetadataLike, RowsLike, VectorLike

@final
class FullVendrelDB:
    """A database on a directory that keeps every vector whole and finds the true
    nearest documents.

    The same documents, metadata file ("metadata.bin"), filter indexes, deletion,
    counting and expiry as ``vendrel.VendrelDB``, with these differences: vectors are
    never quantized (4 x d bytes per document plus the indexes); arguments are taken
    and refused in Python's words (metadata and filters as JSON text or mappings, paths
    as str or os.PathLike); a refused add changes nothing; vectors and queries must be
    finite; a query must have the stored vectors' length. Every method releases the
    interpreter lock while it works, so threads share one database: searches run side by
    side, writers one at a time.

    Filters follow MongoDB's meaning where the indexes can answer: ``{"cat": 3}`` is an
    equality, every member of a filter object must hold, a value never seen selects
    nothing, ``{}`` selects every document, and a bool equals only bools. A filter
    they cannot answer (an unknown operator, an operand of the wrong kind, a whole
    embedded object) raises ValueError saying what is accepted.

    Parameters
    ----------
    path : str or os.PathLike
        The directory; created with any missing parents.
    index : {"exact", "hnsw"}
        ``"exact"``: every search scores every live document that passes the filter
        (recall 1.0). ``"hnsw"``: an HNSW graph (hnswlib) finds the candidates, with the
        filter set as its allowed-id test; small filter sets are scanned exactly.
    m, ef_construction, ef_search : int
        The graph's links per node (2 to 1000), candidate list while inserting and
        default candidate list while searching (1 to 100000); ignored by the exact index.
        Reopening a directory, settings left out take the stored ones; `m` and
        `ef_construction` must equal them, while a named `ef_search` serves this
        object's searches without replacing the stored one.
    durability : {"process", "power", "memory"}
        "process": every call that changes something is in the directory's log before
        it returns (it survives the process being killed); "power": also flushed to the
        disk (it survives power loss); "memory": nothing is kept.
    target_recall : float, optional
        Keyword only; a number above 0 and at most 1. With ``index="hnsw"``, searches
        without an `ef` of their own choose it so that recall@k against the exact search
        reaches this target on the database's own data: the database measures it on a
        sample of its stored vectors used as held-out queries (see `calibration`), and
        answers by the exact scan when no ef reaches the target faster than the scan.
        Measured when first needed and again once the live documents have doubled or
        halved, or half as many have been replaced by other vectors; not stored (name it again when reopening). None (the default): every
        search uses `ef_search`. The exact index, exact already, ignores it.

    Raises
    ------
    TypeError
        An argument of the wrong type ("path must be a str or an os.PathLike, not int").
    ValueError
        The directory cannot be created (the operating system's text), the path is
        empty or holds a NUL byte, `index` is unknown, a graph setting is out of range,
        `target_recall` is not above 0 and at most 1, `index`, `m` or
        `ef_construction` differs from the stored one (both named), or the directory is
        open in another process or object.
    """

    def __new__(
        cls,
        path: str | os.PathLike[str],
        index: Literal["exact", "hnsw"] = "exact",
        m: int = 16,
        ef_construction: int = 100,
        ef_search: int = 128,
        *,
        durability: Literal["process", "power", "memory"] = "process",
        target_recall: float | None = None,
    ) -> FullVendrelDB: ...
    def add(self, internal_id: int, vector: VectorLike, metadata_json: MetadataLike, ttl: int | None = None) -> None:
        """Store one document, replacing the vector and metadata of an id added before.

        Parameters
        ----------
        internal_id : int
            0 to 4294967295.
        vector : sequence of float or 1-D float array
            Finite values; the first non-empty vector fixes the dimension.
        metadata_json : str or mapping
            JSON text, or a mapping (turned into JSON text by json.dumps); appended to
            "metadata.bin", and indexed for filters when it is an object.
        ttl : int, optional
            Seconds to live; the document is deleted by the first sweep after that.

        Raises
        ------
        OverflowError
            `internal_id` out of range ("id must be between 0 and 4294967295, got -1").
        TypeError
            An argument of the wrong type ("vector must be a sequence of numbers or a
            1-D array, not str").
        ValueError
            "Dimension mismatch: expected {d}, got {n}", "vector[i] is nan: vectors
            must hold finite numbers", "metadata is not valid JSON: ...", or a metadata
            file error. Nothing is changed.
        """

    def add_many(
        self,
        ids: IdsLike,
        vectors: RowsLike,
        metadata_jsons: Sequence[MetadataLike],
        ttls: Sequence[int | None] | None = None,
    ) -> None:
        """Store many documents in one call, each row as `add` would store it.

        The rows' texts are appended to the metadata file with one open per chunk of
        rows and parsed on the worker pool, and the graph insertions run on the pool. A
        2-D C-contiguous float32 array of vectors is read in place.

        Raises
        ------
        OverflowError, TypeError
            An item that `add` would refuse, with "row N: " in front of its message;
            nothing is stored.
        ValueError
            Columns of different lengths (nothing stored), or the first row `add` would
            refuse ("row N: <add's message>", a UnicodeEncodeError for a lone surrogate
            in its text): the rows before it are stored, it and the rows after it are
            not.
        """

    def search(
        self,
        query: VectorLike,
        k: int,
        filter_json: FilterLike = None,
        include_metadata: bool = True,
        *,
        ef: int | None = None,
    ) -> list[Hit]:
        """The k live documents most similar to the query by cosine similarity.

        The similarity does not depend on the vectors' scale, down to the tiniest and up
        to the largest finite float32 values; a zero vector scores 0 against any other
        and 1 against another zero vector.

        With ``index="hnsw"``, `ef` overrides the database's ef_search for this query
        (larger: slower, higher recall); the exact index ignores it. With a filter, the
        graph keeps ef x (allowed fraction) candidates among the allowed documents (at
        least ef / 4); a filter set below the crossover (about 6 % of 100,000
        documents) is scanned exactly instead. With a `target_recall` and no `ef`, the
        calibration for k and the filter set's share decides instead: the graph at its
        ef (keeping ef allowed candidates under a filter) or the exact scan, whichever
        its measurements found faster at the target; the first search that needs a
        calibration makes it (see `calibration`). A given `ef` bypasses the target.

        Returns
        -------
        list of (id, score, metadata)
            Best first; equal scores in ascending id order; metadata "" when not
            included.

        Raises
        ------
        TypeError
            An argument of the wrong type.
        ValueError
            `k` below 1, a query of another length than the stored vectors, a NaN or an
            infinity in the query, or a filter that is not valid JSON or not one the
            indexes can answer.
        """

    def search_many(
        self,
        queries: RowsLike,
        k: int,
        filter_json: FilterLike = None,
        include_metadata: bool = True,
        *,
        ef: int | None = None,
    ) -> list[list[Hit]]:
        """`search` for each query: list i is what `search` returns for queries[i].

        The expiry sweep and the filter run once for the whole call, and the queries
        are answered on the worker pool. A 2-D C-contiguous float32 array is read in
        place.

        Raises
        ------
        TypeError, ValueError
            As `search` raises them; a query's own error names it ("query 3: ...").
        """

    def build_results(self, scored: Iterable[tuple[int, float]], include_metadata: bool) -> list[Hit]:
        """(id, score, metadata) tuples for (id, score) pairs, in order; with metadata,
        ids whose text cannot be read are left out."""

    def delete(self, filter_json: str | Mapping[str, object]) -> int:
        """Delete the documents the filter selects; return how many it selected.

        Documents deleted before are not selected again (``vendrel.VendrelDB`` counts
        those its indexes still hold).

        Raises
        ------
        ValueError
            The filter is not valid JSON, or not a filter the indexes can answer
            (nothing changes).
        """

    def calibration(self, k: int = 10, *, allowed_fraction: float = 1.0) -> dict[str, object]:
        """How searches for `k` hits meet the database's `target_recall`, measured first
        when needed.

        The database searches the graph with a sample of up to 200 stored vectors as
        queries, each with its own document held out, and compares the hits with the
        exact top k of the other documents (a hit scoring as the k-th does counts as
        found: among equal scores any document is as good). It tries efs doubling from k, then narrows
        down, and keeps the smallest ef whose sample recall less 1.645 standard errors
        reaches the target. It also times the graph at each ef and the exact scan, per
        query, and chooses the scan when no ef that reaches the target is faster.
        Calibrations are kept per k in the series 1, 2, 5, 10, 20, 50, 100, ... (k is
        rounded up to it) and per filter share (rounded up to a power of two), and
        made again once the live documents have doubled or halved, or half as many
        have been replaced by other vectors. Waits for a
        calibration another thread is making; searches do not wait (they use the
        previous calibration, or the exact scan when there is none).

        Parameters
        ----------
        k : int
            The number of hits searched for (at least 1).
        allowed_fraction : float
            The share of live documents a filter allows (above 0, at most 1): the
            calibration is made with a random subset of the documents of that share
            allowed.

        Returns
        -------
        dict
            ``k`` (the rounded k measured), ``allowed_fraction`` (the share measured),
            ``method`` (``"graph"`` or ``"scan"``), ``ef`` (int, or None for the scan),
            ``recall`` (the sample's recall at ef; 1.0 for the scan), ``documents``
            (live documents when measured), ``queries`` (sample size), ``seconds`` (the
            calibration's time), ``graph_ms`` and ``scan_ms`` (median time per query of
            the graph at ef and of the exact scan), ``trials`` (per ef tried: ``ef``,
            ``recall``, ``recall_low``, ``ms``, ``queries``). With the exact index, or
            before the graph holds a document: the scan, recall 1.0, no queries.

        Raises
        ------
        ValueError
            The database was opened without `target_recall`, `k` is below 1,
            `allowed_fraction` is out of range, or the database is closed.
        TypeError
            An argument of the wrong type.
        """

    def count(self) -> int:
        """One more than the highest id added, minus the deleted ids (after an expiry
        sweep): ids never added below the highest one count."""

    def clean_expired(self) -> None:
        """Delete the documents whose time to live has passed."""

    def checkpoint(self) -> None:
        """Write a checkpoint now: the directory's files hold everything, the log restarts."""

    def close(self) -> None:
        """Checkpoint and release the directory; later calls raise ValueError."""

    def __enter__(self) -> FullVendrelDB: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> Literal[False]: ...

@final
class ContractDB:
    """vendrel.VendrelDB's own database (the same native code) with `add_many`: what a
    shard of ShardedVendrelDB holds. Not meant to be used directly."""

    def __new__(cls, path: str) -> ContractDB: ...
    def add(self, internal_id: int, vector: VectorLike, metadata_json: str, ttl: int | None = None) -> None: ...
    def add_many(
        self,
        ids: IdsLike,
        vectors: RowsLike,
        metadata_jsons: Sequence[str],
        ttls: Sequence[int | None] | None = None,
    ) -> None: ...
    def search(
        self, query: VectorLike, k: int, filter_json: str | None = None, include_metadata: bool = True
    ) -> list[Hit]: ...
    def build_results(self, scored: Iterable[tuple[int, float]], include_metadata: bool) -> list[Hit]: ...
    def delete(self, filter_json: str) -> int: ...
    def count(self) -> int: ...
    def clean_expired(self) -> None: ...

def id_bound(db: FullVendrelDB | ContractDB) -> int:
    """One more than the highest id the database has added."""

def filter_decides(db: FullVendrelDB | ContractDB, filter_json: str) -> bool:
    """Whether the database's indexes decide the filter rather than leave it undetermined."""

def dimension(db: FullVendrelDB | ContractDB) -> int:
    """The length of the database's vectors (0 until the first non-empty one)."""

def quantized(db: ContractDB | FullVendrelDB) -> bool:
    """Whether the database scores quantization codes (a ContractDB from 5000 slots on)."""

# The sharded client's conversions: each converts a call's arguments exactly as
# FullVendrelDB's method would (same errors and messages) and returns them for forwarding.
def convert_add(internal_id: object, vector: object, metadata_json: object, ttl: object) -> tuple[int, bytes, str, int | None]: ...
def convert_search(query: object, k: object, filter_json: object, include_metadata: object) -> tuple[bytes, int, str | None, bool]: ...
def convert_build_results(scored: object, include_metadata: object) -> tuple[bytes, bytes, bool]: ...
def convert_delete(filter_json: object, strict: bool) -> str: ...
def convert_search_many(
    queries: object, k: object, filter_json: object, include_metadata: object
) -> tuple[object, bytes, int, str | None, bool, tuple[int, str] | None]: ...
def convert_add_many(
    ids: object, vectors: object, metadata_jsons: object, ttls: object

) -> tuple[bytes, object, bytes, list[str], list[int | None] | None,
           tuple[int, str] | tuple[int, str, ValueError] | None]: ...
def find_unstorable_text(metadata_jsons: Sequence[str]) -> int:
    """The position of the first text add would refuse whatever the database holds (not
    JSON, or 4 GiB or longer), or len(metadata_jsons)."""
def cap_worker_threads(threads: int) -> int:
    """Caps this process's worker pool at `threads` threads (0: no cap); returns the
    parallelism now in effect."""

def raise_panic(message: str) -> None:
    """Raises this module's PanicException with `message`."""

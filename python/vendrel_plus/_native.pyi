"""The companion package's extension module: FullVendrelDB, and what the sharded layer uses."""

from collections.abc import Iterable, Sequence
from typing import Any, Literal, final

import numpy as np
from numpy.typing import NDArray

# A vector: a sequence of numbers, or a NumPy array (a 1-D C-contiguous float32 or
# float64 one is read without a Python object per component).
VectorLike = Sequence[float] | NDArray[np.floating[Any]]
# Rows of vectors: a sequence of VectorLike, or a 2-D NumPy array (a float32 one whose
# rows are each contiguous, such as a C-contiguous array or every n-th row of one, is
# used in place, not copied).
RowsLike = Sequence[VectorLike] | NDArray[np.floating[Any]]
IdsLike = Sequence[int] | NDArray[np.integer[Any]]
Hit = tuple[int, float, str]

@final
class FullVendrelDB:
    """A database on a directory that keeps every vector whole and finds the true
    nearest documents.

    Same documents, metadata file ("metadata.bin"), filter language, deletion, counting
    and expiry as ``vendrel.VendrelDB``; vectors are never quantized, so memory is
    4 x d bytes per document plus the indexes. Everything is in memory; a reopened
    directory starts empty.

    Parameters
    ----------
    path : str
        The directory; created with any missing parents.
    index : {"exact", "hnsw"}
        ``"exact"``: every search scores every live document that passes the filter
        (recall 1.0). ``"hnsw"``: an HNSW graph (hnswlib) finds the candidates, with the
        filter set as its allowed-id test; small filter sets are scanned exactly. The
        graph keeps a second, unit-length copy of each vector (about 8 x d bytes per
        document in all).
    m, ef_construction, ef_search : int
        The graph's links per node, candidate list while inserting, and default
        candidate list while searching (ignored with ``index="exact"``).

    Raises
    ------
    ValueError
        The directory cannot be created (the operating system's text), the path holds a
        NUL byte, `index` is unknown, or a graph setting is out of range.
    """

    def __new__(
        cls,
        path: str,
        *,
        index: Literal["exact", "hnsw"] = "exact",
        m: int = 16,
        ef_construction: int = 100,
        ef_search: int = 128,
    ) -> FullVendrelDB: ...
    def add(self, internal_id: int, vector: VectorLike, metadata_json: str, ttl: int | None = None) -> None:
        """Store one document, replacing the vector and metadata of an id added before.

        Parameters
        ----------
        internal_id : int
            0 to 4294967295.
        vector : sequence of float or 1-D float buffer
            The first non-empty vector fixes the dimension.
        metadata_json : str
            Appended to "metadata.bin"; a JSON object is indexed for filters.
        ttl : int, optional
            Seconds to live; the document is deleted by the first sweep after that.

        Raises
        ------
        OverflowError
            `internal_id` out of range.
        TypeError
            An argument of the wrong type ("argument 'vector': ...").
        ValueError
            "Dimension mismatch: expected {d}, got {n}", a metadata file error, or
            invalid JSON. Not transactional: with invalid JSON the vector and text are
            stored but the document is not indexed for filters.
        """

    def add_many(
        self,
        ids: IdsLike,
        vectors: RowsLike,
        metadata_jsons: Sequence[str],
        ttls: Sequence[int | None] | None = None,
    ) -> None:
        """Store many documents in one call, row by row exactly as `add` would.

        The rows' texts are appended to the metadata file with one open per chunk of
        rows and parsed on the worker pool, and the graph insertions run on the pool;
        the result is the same as calling `add` for each row in order.

        Raises
        ------
        OverflowError, TypeError
            An item that `add` would refuse, with "row N: " in its message; nothing is
            stored.
        ValueError
            Columns of different lengths (nothing stored), or the first row that fails
            as `add` would ("row N: <add's message>"): rows before it are stored, the
            failing row keeps what `add` keeps for that failure, later rows are not
            touched.
        """

    def search(
        self,
        query: VectorLike,
        k: int,
        filter_json: str | None = None,
        include_metadata: bool = True,
        *,
        ef: int | None = None,
    ) -> list[Hit]:
        """The k live documents most similar to the query by cosine similarity.

        With ``index="hnsw"``, `ef` overrides the database's ef_search for this query
        (larger: slower, higher recall); the exact index ignores it. With a filter, the
        graph keeps ef × (allowed fraction) candidates among the allowed documents (at
        least ef / 4), so that a filtered search costs about what an unfiltered one
        does; a filter set below the crossover (about 6 % of 100,000 documents) is
        scanned exactly instead.

        Returns
        -------
        list of (id, score, metadata)
            Best first; equal scores in ascending id order; metadata "" when not
            included.

        Raises
        ------
        ValueError
            The filter is not valid JSON.
        OverflowError, TypeError
            `k` negative or beyond 64 bits, or an argument of the wrong type.
        """

    def build_results(self, scored: Iterable[tuple[int, float]], include_metadata: bool) -> list[Hit]:
        """(id, score, metadata) tuples for (id, score) pairs, in order; with metadata,
        ids whose text cannot be read are left out."""

    def delete(self, filter_json: str) -> int:
        """Delete the documents the JSON filter selects; return how many it selected.

        Raises
        ------
        ValueError
            The filter is not valid JSON (nothing changes).
        """

    def count(self) -> int:
        """One more than the highest id added, minus the deleted ids (after an expiry
        sweep): ids never added below the highest one count."""

    def clean_expired(self) -> None:
        """Delete the documents whose time to live has passed."""

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

def quantized(db: ContractDB | FullVendrelDB) -> bool:
    """Whether the database scores quantization codes (a ContractDB from 5000 slots on)."""

# The sharded client's conversions: each converts a call's arguments exactly as the
# database's method would (same errors and messages) and returns them for forwarding.
def convert_add(internal_id: object, vector: object, metadata_json: object, ttl: object) -> tuple[int, bytes, str, int | None]: ...
def convert_search(query: object, k: object, filter_json: object, include_metadata: object) -> tuple[bytes, int, str | None, bool]: ...
def convert_build_results(scored: object, include_metadata: object) -> tuple[bytes, bytes, bool]: ...
def convert_delete(filter_json: object) -> str: ...
def convert_add_many(
    ids: object, vectors: object, metadata_jsons: object, ttls: object
) -> tuple[bytes, object, bytes, list[str], list[int | None] | None]: ...
def find_unstorable_text(metadata_jsons: Sequence[str]) -> int:
    """The position of the first text add would refuse whatever the database holds (not
    JSON, or 4 GiB or longer), or len(metadata_jsons)."""
def cap_worker_threads(threads: int) -> int:
    """Caps this process's worker pool at `threads` threads (0: no cap); returns the
    parallelism now in effect."""

def raise_panic(message: str) -> None:
    """Raises this module's PanicException with `message`."""

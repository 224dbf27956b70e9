"""An embedded vector database: filtered similarity search inside your own process.

Type information for the extension module ``vendrel``, shipped as the stub-only
package ``vendrel-stubs`` so that type checkers and editors find it.
"""

from collections.abc import Sequence
from typing import Any, Union, final

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

__all__ = ["VendrelDB"]

# What `vector` and `query` accept: any sequence of numbers (a list, a tuple,
# array.array, memoryview) or a NumPy float array. A 1-D C-contiguous float32 or
# float64 array is read in one go; other arrays and sequences item by item.
FloatVector: TypeAlias = Union[Sequence[float], npt.NDArray[np.floating[Any]]]

@final
class VendrelDB:
    """A database on a directory, held in memory.

    It starts empty, also on a directory used before: only metadata texts reach the
    disk, appended to the directory's ``metadata.bin``, and they are never read back at
    open. Internal failures of the native code raise ``vendrel.PanicException``, which
    derives from BaseException.
    """

    def __new__(cls, path: str) -> VendrelDB:
        """Opens an empty database on ``path``, creating the directory and any missing
        parents.

        Raises ValueError with the operating system's text ("File exists (os error
        17)") when the directory cannot be created, and ValueError "embedded null
        byte" when ``path`` holds a NUL character; UnicodeEncodeError for a lone
        surrogate.
        """

    def add(
        self,
        internal_id: int,
        vector: FloatVector,
        metadata_json: str,
        ttl: int | None = None,
    ) -> None:
        """Stores a document under ``internal_id`` (0 to 4294967295), replacing the
        vector and metadata of an earlier document with that id. Returns None.

        The first non-empty vector fixes the dimension. ``metadata_json`` is stored as
        given and indexed for filters when it is a JSON object. ``ttl`` is a time to
        live in seconds, counted in whole seconds of the clock. An id that was deleted
        or has expired stays deleted when added again.

        Raises OverflowError for an id outside 0..4294967295 or a ttl outside 64 bits,
        TypeError for arguments of the wrong type (a ``str`` as vector), ValueError
        "Dimension mismatch: expected D, got N", ValueError when the metadata file
        cannot be written, and ValueError when ``metadata_json`` is not valid JSON, in
        which case the vector and the text are already stored: the document can be
        found by search but not by filters.
        """

    def search(
        self,
        query: FloatVector,
        k: int,
        filter_json: str | None = None,
        include_metadata: bool = True,
    ) -> list[tuple[int, float, str]]:
        """Returns up to ``k`` documents as (id, score, metadata) tuples, best score
        first, restricted to those that ``filter_json`` selects when it is given.

        Candidates come from an approximate index, so the result can miss documents
        that are nearer. Scores are cosine similarities until the database holds 5000
        slots (the highest id + 1), then 1 - min(distance / 4, 1) against quantized
        vectors. Metadata is "" when ``include_metadata`` is False. A filter that
        selects nothing or cannot be decided gives no hits.

        Raises ValueError with the parser's message when ``filter_json`` is not valid
        JSON, OverflowError for a negative ``k``, TypeError for a non-bool
        ``include_metadata``.
        """

    def build_results(
        self,
        scored: Sequence[tuple[int, float]],
        include_metadata: bool,
    ) -> list[tuple[int, float, str]]:
        """Returns (id, score, metadata) tuples for (id, score) pairs, in their order.
        With metadata, ids whose text cannot be read are left out.

        Raises ValueError for a tuple that is not a pair, TypeError for an item that
        is not a tuple.
        """

    def delete(self, filter_json: str) -> int:
        """Deletes the documents that the JSON filter selects and returns how many it
        selected (ids deleted earlier and still selected by a numeric condition count
        again). A filter that cannot be decided deletes nothing and returns 0.

        Raises ValueError with the parser's message when ``filter_json`` is not valid
        JSON; nothing is deleted then.
        """

    def count(self) -> int:
        """Returns the highest id added + 1, minus the ids deleted or expired: ids
        below the highest that were never added count too. Sweeps expired documents
        first.
        """

    def clean_expired(self) -> None:
        """Deletes the documents whose time to live has passed. Returns None. Search
        and count do the same first, so calling it is never needed for correctness.
        """

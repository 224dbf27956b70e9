"""An embedded vector database: filtered similarity search inside your own process."""

from collections.abc import Sequence
from typing import final

__all__ = ["VendrelDB"]

@final
class VendrelDB:
    """A database on a directory. It starts empty; only metadata texts reach the disk,
    appended to the directory's "metadata.bin"."""

    def __new__(cls, path: str) -> VendrelDB:
        """Creates the directory and any missing parents; raises ValueError with the
        operating system's text when it cannot."""

    def add(
        self,
        internal_id: int,
        vector: Sequence[float],
        metadata_json: str,
        ttl: int | None = None,
    ) -> None:
        """Stores a document under an id in 0..4294967295. The first non-empty vector
        fixes the dimension. `ttl` is a time to live in seconds. A NumPy float32 or
        float64 array is read directly."""

    def search(
        self,
        query: Sequence[float],
        k: int,
        filter_json: str | None = None,
        include_metadata: bool = True,
    ) -> list[tuple[int, float, str]]:
        """The k most similar documents as (id, score, metadata) tuples, best first,
        optionally restricted by a JSON filter. Metadata is "" when not included."""

    def build_results(
        self,
        scored: Sequence[tuple[int, float]],
        include_metadata: bool,
    ) -> list[tuple[int, float, str]]:
        """Turns (id, score) pairs into (id, score, metadata) tuples, in order. With
        metadata, ids whose text cannot be read are left out."""

    def delete(self, filter_json: str) -> int:
        """Deletes the documents the JSON filter selects; returns how many it selected."""

    def count(self) -> int:
        """The number of live documents: every id up to the highest id added counts,
        added or not, unless it was deleted or has expired."""

    def clean_expired(self) -> None:
        """Deletes the documents whose time to live has passed."""

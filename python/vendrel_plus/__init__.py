"""Beside vendrel's own database: the same six operations, other trade-offs.

- ``FullVendrelDB`` keeps every vector whole (4 x d bytes per document) and finds the
  true nearest documents: an exact scan of the live, filtered rows.
- ``ShardedVendrelDB`` spreads one database over Ray actors (``pip install
  vendrel[cluster]``); it is imported on first use, so Ray stays optional.
"""

from typing import Any

from ._native import FullVendrelDB

__all__ = ["FullVendrelDB", "ShardedVendrelDB"]


def __getattr__(name: str) -> Any:
    if name in ("ShardedVendrelDB", "ShardLostError"):
        from . import sharded

        return getattr(sharded, name)
    raise AttributeError(f"module 'vendrel_plus' has no attribute {name!r}")

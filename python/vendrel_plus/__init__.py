"""Beside vendrel's own database: the same six operations, other trade-offs.

- ``FullVendrelDB`` keeps every vector whole (4 x d bytes per document) and finds the
  true nearest documents: an exact scan of the live, filtered rows.
- ``ShardedVendrelDB`` spreads one database over Ray actors (``pip install
  vendrel[cluster]``); it is imported on first use, so Ray stays optional.
"""

from typing import TYPE_CHECKING, Any

from ._native import FullVendrelDB

if TYPE_CHECKING:
    # Type checkers see the real classes; at run time they are imported on first use.
    from .sharded import ShardedVendrelDB, ShardInterruptedError, ShardLostError

__all__ = ["FullVendrelDB", "ShardedVendrelDB", "ShardLostError", "ShardInterruptedError"]


def __getattr__(name: str) -> Any:
    if name in ("ShardedVendrelDB", "ShardLostError", "ShardInterruptedError"):
        from . import sharded

        return getattr(sharded, name)
    raise AttributeError(f"module 'vendrel_plus' has no attribute {name!r}")

"""Where a document lives in a sharded database, and how shard counts add up.

Runs on the client side (the process that holds the ``ShardedVendrelDB``).

The rule: with ``S`` shards, fixed when the database is created, the document whose
global id is ``g`` lives on shard ``g % S`` under the local id ``g // S``. Local ids
are dense (each shard's ids run 0, 1, 2, ... as the global ids run), so each shard
behaves like a database holding only its own documents: a contract shard quantizes
when its own table reaches 5000 slots, not when the global id range does.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

import numpy as np
import numpy.typing as npt


def shard_of(global_id: int, shards: int) -> int:
    """The shard that holds the document ``global_id``."""
    return global_id % shards


def local_id(global_id: int, shards: int) -> int:
    """The id under which ``global_id`` is stored inside its shard."""
    return global_id // shards


class ShardRows(NamedTuple):
    """The rows of a batch that go to one shard, in batch order."""

    rows: npt.NDArray[np.intp]
    local_ids: npt.NDArray[np.uint32]


def split_rows(global_ids: npt.NDArray[np.uint32], shards: int) -> list[ShardRows]:
    """Splits a batch's ids by shard.

    Parameters
    ----------
    global_ids
        The batch's ids, one per row.
    shards
        The number of shards.

    Returns
    -------
    list of ShardRows
        For each shard, the positions of its rows in the batch (ascending, so each
        shard sees its rows in the caller's order) and their local ids.
    """
    owners = global_ids % np.uint32(shards)
    split = []
    for shard in range(shards):
        rows = np.flatnonzero(owners == shard)
        split.append(ShardRows(rows, (global_ids[rows] // np.uint32(shards)).astype(np.uint32)))
    return split


def global_id_bound(shard_bounds: Sequence[int]) -> int:
    """One more than the highest global id added, from each shard's own id bound.

    Shard ``s`` with bound ``b > 0`` holds local ids up to ``b - 1``, the global id
    ``(b - 1) * S + s``; an empty shard (``b == 0``) holds nothing.
    """
    shards = len(shard_bounds)
    return max(((bound - 1) * shards + shard + 1 for shard, bound in enumerate(shard_bounds) if bound > 0),
               default=0)


def global_count(shard_counts: Sequence[int], shard_bounds: Sequence[int]) -> int:
    """What one database given the same calls would count.

    One database counts every id below its id bound that is not deleted, gaps
    included. Each shard's ``bound - count`` is the number of its deleted ids (all of
    them below its bound), so the global count is the global id bound minus their sum.

    Parameters
    ----------
    shard_counts
        Each shard's ``count()``, taken after its expiry sweep.
    shard_bounds
        Each shard's id bound, read after its count.
    """
    deleted = sum(bound - count for count, bound in zip(shard_counts, shard_bounds))
    return global_id_bound(shard_bounds) - deleted

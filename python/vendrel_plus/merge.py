"""How the shards' search results become one result list.

Runs on the client side.

Each shard returns its own top ``k``, best first. The merge takes hits from the heads
of those lists only, so one shard's own order is never changed, and at each step the
next hit is the head that ranks first:

1. hits of full-vector shards before hits of quantized shards (see below);
2. higher score first, a NaN score after every number;
3. among equal scores, the lower global id first.

With one shard the result is that shard's list unchanged; with ``kind="full"`` shards
(equal scores in ascending id order within each shard) ties come back in ascending
global id, as in one database.

Mixed regimes: a contract shard scores full vectors by cosine similarity until it
holds 5000 slots, then quantization codes by ``1 - min(distance / 4, 1)``. The two
scales cannot be converted into each other (the quantized score depends on the
query's norm and on the codebook), so the merge does not compare them: the hits of
shards still in the full-vector regime, exact cosine similarities comparable with
each other, come first, then the hits of the quantized shards, each group in the
order above. With ids spread over the shards the mixed state lasts only while the
shards cross the threshold one after another (at most ``S - 1`` adds).
"""

from __future__ import annotations

import heapq
import itertools
import math
import sys
from collections.abc import Iterable, Sequence
from typing import Tuple

Hit = Tuple[int, float, str]


def rank_key(hit: Hit, quantized: bool) -> tuple[bool, bool, float, int]:
    """The merge order of one hit of a shard in the given regime: smaller ranks first."""
    global_id, score, _ = hit
    if math.isnan(score):
        return (quantized, True, 0.0, global_id)
    return (quantized, False, -score, global_id)


def _keyed(hits: Iterable[Hit], quantized: bool) -> Iterable[tuple[tuple[bool, bool, float, int], Hit]]:
    return ((rank_key(hit, quantized), hit) for hit in hits)


def merge_hits(shard_hits: Sequence[Iterable[Hit]], quantized: Sequence[bool], k: int) -> list[Hit]:
    """Merges the shards' result lists into the global top ``k``.

    Parameters
    ----------
    shard_hits
        Each shard's hits, with global ids, in the shard's own order (best first).
    quantized
        For each shard, whether it scored quantization codes.
    k
        How many hits to keep.

    Returns
    -------
    list of (int, float, str)
        At most ``k`` hits in the order described in this module's docstring.
    """
    keyed = [_keyed(hits, is_quantized) for hits, is_quantized in zip(shard_hits, quantized)]
    # heapq.merge compares the heads of the lists only, so a list's own order stays.
    merged = heapq.merge(*keyed, key=lambda entry: entry[0])
    # k may go up to 2**64 - 1, beyond what islice accepts.
    return [hit for _, hit in itertools.islice(merged, min(k, sys.maxsize))]

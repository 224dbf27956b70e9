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
import sys
from collections.abc import Iterable, Sequence
from typing import List, Tuple

Hit = Tuple[int, float, str]
# A hit's merge order first, then the hit: (quantized, score is NaN, -score or 0.0,
# global id, score, metadata). Tuples compare in C, and the global id, unique across
# the shards, settles every comparison before the score and text behind it.
_Keyed = Tuple[bool, bool, float, int, float, str]


def _keyed(hits: Iterable[Hit], quantized: bool, shards: int, shard: int) -> List[_Keyed]:
    """One shard's hits with their merge order, local ids made global (the id stored as
    ``local`` in ``shard`` is ``local * shards + shard``, see ``routing``)."""
    return [(quantized, True, 0.0, local * shards + shard, score, text) if score != score
            else (quantized, False, -score, local * shards + shard, score, text)
            for local, score, text in hits]


def _merge_keyed(keyed: Sequence[List[_Keyed]], k: int) -> List[Hit]:
    # heapq.merge compares the heads of the lists only, so a list's own order stays.
    # k may go up to 2**64 - 1, beyond what islice accepts.
    merged = heapq.merge(*keyed) if len(keyed) > 1 else iter(keyed[0] if keyed else ())
    return [(global_id, score, text)
            for _, _, _, global_id, score, text in itertools.islice(merged, min(k, sys.maxsize))]


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
    return _merge_keyed([_keyed(hits, is_quantized, 1, 0) for hits, is_quantized in zip(shard_hits, quantized)], k)


def merge_replies(replies: Sequence[Tuple[Iterable[Hit], bool]], k: int) -> list[Hit]:
    """``merge_hits`` for the shards' replies to one query as they arrive: shard ``s``'s
    (hits with local ids, whether it scored codes) at position ``s``."""
    shards = len(replies)
    return _merge_keyed([_keyed(hits, is_quantized, shards, shard)
                         for shard, (hits, is_quantized) in enumerate(replies)], k)

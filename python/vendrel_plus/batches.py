"""What ``add_many`` stores when a row fails, and how the failure is reported.

Runs on the client side.

One database fed the rows in order stores every row before the first failing row,
keeps of that row what ``add`` keeps for its failure, and stores nothing after it.
The sharded ``add_many`` stores the same:

- Argument conversion errors (a row that is not a number, an id out of range, ...)
  are raised by the client before anything is stored, as the database raises them.
- The client finds the first row the dimension step refuses (the dimension is
  global), and, round by round as it sends the rows, the first row whose metadata
  text ``add`` would refuse whatever the database holds (not JSON, or 4 GiB or
  longer). Only the rows before the first of the two go to the shards, and the
  failing row too when it is a text failure (``add`` stores its vector and appends its
  text before the JSON check fails); the shard that owns it then fails there with its
  own message.
- Failures that depend on a shard's own state (its metadata file reaching 4 GiB, an
  I/O error, a clock before 1970) cannot be foreseen: each shard stops at its own
  first such row, and the other shards store all the rows they were sent.

The error raised names the global row (the row's position in the caller's batch)
and carries the shard's message, with the class the shard raised. When several
shards fail, the lowest global row is reported.
"""

from __future__ import annotations

import re
from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt

_ROW_PREFIX = re.compile(r"row (\d+): (.*)\Z", re.DOTALL)


class DimensionCheck(NamedTuple):
    """The dimension step over a batch's rows, in order."""

    dimension: int
    """The database's dimension after the rows before ``failing_row``."""
    failing_row: int
    """The first row whose length differs from the dimension; the row count if none."""


def check_dimensions(lengths: npt.NDArray[np.uint64], dimension: int) -> DimensionCheck:
    """Runs the dimension step of every row: the first non-empty row fixes the
    dimension when it is still open (0), and every later row must have that length.

    Parameters
    ----------
    lengths
        Each row's vector length.
    dimension
        The database's dimension before the batch (0 while no non-empty vector was
        added).
    """
    if dimension == 0:
        non_empty = np.flatnonzero(lengths)
        if non_empty.size == 0:
            return DimensionCheck(0, len(lengths))
        dimension = int(lengths[non_empty[0]])
        start = int(non_empty[0])
    else:
        start = 0
    wrong = np.flatnonzero(lengths[start:] != dimension)
    return DimensionCheck(dimension, start + int(wrong[0]) if wrong.size else len(lengths))


def dimension_error(row: int, dimension: int, length: int) -> ValueError:
    """The error of a row refused by the dimension step, as the database words it."""
    return ValueError(f"row {row}: Dimension mismatch: expected {dimension}, got {length}")


def rows_to_send(begin: int, end: int, first_unstorable_text: int) -> int:
    """Up to which row a round of rows [begin, end) goes to the shards.

    Parameters
    ----------
    begin, end
        The round's rows, all before the first row the dimension step refuses.
    first_unstorable_text
        The position, within the round, of the first row whose text ``add`` refuses
        (``end - begin`` if none).
    """
    # add stores that row's vector and appends its text before its check fails, so the
    # row goes to its shard, which fails there; no row after it is sent.
    return min(end, begin + first_unstorable_text + 1)


def relabel_row_error(error: BaseException, rows: npt.NDArray[np.intp]) -> tuple[int, BaseException]:
    """Renames a shard's "row N: ..." error after the row's place in the caller's batch.

    Parameters
    ----------
    error
        The error of a shard's ``add_many``, whose message starts with "row N: ",
        N counting that call's rows.
    rows
        The global row of each row of that call.

    Returns
    -------
    (int, exception)
        The global row and an exception of the same class whose message names it;
        when the class cannot be rebuilt from a message alone, the original error.
    """
    match = _ROW_PREFIX.match(str(error))
    if match is None:
        return (int(rows[0]) if len(rows) else 0), error
    global_row = int(rows[int(match.group(1))])
    message = f"row {global_row}: {match.group(2)}"
    try:
        return global_row, type(error)(message)
    except Exception:
        return global_row, error


def lowest_row_failure(failures: list[tuple[int, BaseException]]) -> Optional[BaseException]:
    """The failure of the lowest global row, or None when nothing failed."""
    return min(failures, key=lambda failure: failure[0])[1] if failures else None

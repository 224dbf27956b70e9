"""How ``delete`` evaluates a contract filter over shards exactly as one database would.

Runs on the client side. Only the contract kind needs this: the full kind's filter
language decides every clause from each document's own values, so its shards take
the filter as it is.

A filter clause can be *undetermined* (the indexes cannot decide it: a string value
that never occurred, a field without numbers, a path never indexed), and the
language treats undetermined parts specially: ``$and`` skips them, a field clause
intersects only its determined members, ``$or`` lets them contribute nothing, and a
final undetermined result selects nothing. Whether a clause is determined depends on
the documents an index has seen, so a shard can leave undetermined what one database
holding every document would decide, and the other way round. Sending the filter
unchanged to every shard could then delete documents one database keeps, or keep
documents it deletes.

The rewrite below fixes that. A *leaf* is one member of a field clause (``$eq``,
``$ne``, ``$gt``, ``$gte``, ``$lt``, ``$lte``, ``$in``, ``$nin``, ``$exists``). One
database decides a leaf exactly when at least one shard decides it (the union of the
shards' indexes is its index), and then selects the union of what the shards select.
So the client asks every shard which leaves it decides, and rewrites the filter so
that each shard's own evaluation gives exactly the global result restricted to its
documents:

- a globally determined leaf becomes a one-element ``$or`` (an ``$or`` is always
  determined, and a shard that cannot decide its element gets the empty set, which
  is right there): ``{"f": {"$gt": 3}}`` -> ``{"$or": [{"f": {"$gt": 3}}]}``;
  ``$ne`` and ``"$exists": false`` become the complement of such an ``$or``
  (``{"$not": {"$or": [{"f": {"$eq": v}}]}}``), as they are defined;
- a field clause becomes an ``$and`` of its globally determined members;
- ``$and`` keeps its globally determined elements, ``$or`` and ``$not`` rewrite
  theirs;
- anything undetermined globally is left out, or becomes ``{}`` where it stands alone.

The structure is read with Python's json after the database's own parser has
accepted the text; numbers keep their literal text, so every operand reaches the
shards exactly as written.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any, Dict, List, Optional

# The members of a field clause that an index can decide; any other key is ignored.
LEAF_OPERATORS = frozenset({"$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists"})
UNDETERMINED = "{}"


class Number:
    """A JSON number kept as its literal text."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text


def parse_filter(filter_json: str) -> Any:
    """The filter's structure: objects as dicts (a repeated key keeps its last value),
    arrays as lists, numbers as ``Number``. The text must already have passed the
    database's parser."""
    return json.loads(filter_json, parse_int=Number, parse_float=Number)


def dump(value: Any) -> str:
    """JSON text of a parsed value, numbers as written."""
    if isinstance(value, Number):
        return value.text
    if isinstance(value, dict):
        return "{" + ",".join(json.dumps(key) + ":" + dump(member) for key, member in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(dump(element) for element in value) + "]"
    return json.dumps(value)


def _first_member(filter_object: Dict[str, Any]) -> tuple[str, Any]:
    # Only the member with the smallest key counts; str order is code point order,
    # which is the byte order of the UTF-8 keys.
    key = min(filter_object)
    return key, filter_object[key]


def leaf_filter(path: str, operator: str, operand: Any) -> str:
    """The one-leaf filter ``{path: {operator: operand}}``."""
    return "{" + json.dumps(path) + ":{" + json.dumps(operator) + ":" + dump(operand) + "}}"


def leaf_filters(filter_value: Any) -> List[str]:
    """Every leaf that evaluating the filter would visit, as one-leaf filters.

    Parameters
    ----------
    filter_value
        A parsed filter (``parse_filter``).

    Returns
    -------
    list of str
        Distinct one-leaf filter texts, in visiting order.
    """
    found: Dict[str, None] = {}

    def visit(node: Any) -> None:
        if not isinstance(node, dict) or not node:
            return
        key, value = _first_member(node)
        if key in ("$or", "$and"):
            if isinstance(value, list):
                for element in value:
                    visit(element)
        elif key == "$not":
            visit(value)
        elif isinstance(value, dict):
            for operator, operand in value.items():
                if operator in LEAF_OPERATORS:
                    found[leaf_filter(key, operator, operand)] = None

    visit(filter_value)
    return list(found)


def _rewrite_leaf(path: str, operator: str, operand: Any, decided: Callable[[str], bool]) -> Optional[str]:
    if operator not in LEAF_OPERATORS or not decided(leaf_filter(path, operator, operand)):
        return None
    if operator == "$ne":
        return '{"$not":{"$or":[' + leaf_filter(path, "$eq", operand) + "]}}"
    if operator == "$exists" and operand is False:
        return '{"$not":{"$or":[' + leaf_filter(path, "$exists", True) + "]}}"
    return '{"$or":[' + leaf_filter(path, operator, operand) + "]}"


def _rewrite(node: Any, decided: Callable[[str], bool]) -> Optional[str]:
    """The rewritten text of a globally determined node, or None when one database
    would leave it undetermined. A returned text is determined in every shard."""
    if not isinstance(node, dict) or not node:
        return None
    key, value = _first_member(node)
    if key == "$or":
        if not isinstance(value, list):
            return None
        # An undetermined element contributes nothing; "{}" does the same in a shard.
        return '{"$or":[' + ",".join(_rewrite(element, decided) or UNDETERMINED for element in value) + "]}"
    if key == "$and":
        if not isinstance(value, list):
            return None
        parts = [part for part in (_rewrite(element, decided) for element in value) if part is not None]
        return '{"$and":[' + ",".join(parts) + "]}" if parts else None
    if key == "$not":
        inner = _rewrite(value, decided)
        return None if inner is None else '{"$not":' + inner + "}"
    if not isinstance(value, dict):
        return None
    members = [_rewrite_leaf(key, operator, operand, decided) for operator, operand in value.items()]
    parts = [part for part in members if part is not None]
    return '{"$and":[' + ",".join(parts) + "]}" if parts else None


def rewrite_for_shards(filter_value: Any, decided: Callable[[str], bool]) -> str:
    """The filter each shard evaluates so that it selects exactly what one database
    holding every document would select among that shard's documents.

    Parameters
    ----------
    filter_value
        A parsed filter (``parse_filter``).
    decided
        Whether at least one shard decides a one-leaf filter (from ``leaf_filters``).

    Returns
    -------
    str
        The rewritten filter text; ``"{}"`` (selects nothing) when one database would
        find the filter undetermined.
    """
    return _rewrite(filter_value, decided) or UNDETERMINED

"""The sharded layer's rules checked against plain databases, without Ray: the
deletion-filter rewrite and the count formula against one database holding every
document, the merge order of search results, and which rows of a batch each shard
reads."""

import json
import math
import random

import numpy as np
import pytest

from vendrel_plus import FullVendrelDB
from vendrel_plus import _native
from vendrel_plus.filters import leaf_filters, parse_filter, rewrite_for_shards
from vendrel_plus.merge import merge_hits
from vendrel_plus.routing import global_count, split_rows
from test_full_filters import random_document, random_filter as random_full_filter

# ---- Random metadata and filters, shared with test_sharded.py ----------------------

COMMON_COLOURS = ["red", "blue", "green"]
# Values and fields drawn from large pools occur in one or two documents each, so a
# shard often lacks what another shard (and so one database) has seen.
RARE_COLOURS = [f"rare-{i}" for i in range(40)]
RARE_FIELDS = [f"m{i}" for i in range(30)]
NUMBER_LITERALS = ["3", "7", "0", "-0", "2.5", "1e1", "20", "-1", "18446744073709551616", "9007199254740993"]
FIELDS = ["colour", "size", "n", "flag", "user.age", "user", "tags", "never"]
OPERATORS = ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists", "$foo"]


def random_metadata(rng):
    fields = {}
    if rng.random() < 0.8:
        fields["colour"] = rng.choice(COMMON_COLOURS) if rng.random() < 0.9 else rng.choice(RARE_COLOURS)
    if rng.random() < 0.5:
        fields["size"] = rng.choice(["S", "M", "L"])
    if rng.random() < 0.6:
        fields["n"] = rng.choice([rng.randint(0, 20), rng.randint(0, 20) + 0.5, "7"])
    if rng.random() < 0.1:
        fields[rng.choice(RARE_FIELDS)] = rng.randint(0, 9)
    if rng.random() < 0.3:
        fields["flag"] = rng.choice([True, False, "true"])
    if rng.random() < 0.3:
        fields["user"] = {"age": rng.randint(10, 60)}
    if rng.random() < 0.1:
        fields["tags"] = ["a", "b"]
    return json.dumps(fields)


def _members(pairs):
    # Objects as member lists, so that keys can repeat and come in any order.
    return "{" + ",".join(json.dumps(key) + ":" + value for key, value in pairs) + "}"


def _operand(rng, operator):
    scalar = rng.choice([
        json.dumps(rng.choice(COMMON_COLOURS + RARE_COLOURS[:10] + ["never", "S", "true"])),
        rng.choice(NUMBER_LITERALS), rng.choice(["true", "false", "null"]),
    ])
    if operator in ("$in", "$nin") and rng.random() < 0.85:
        return "[" + ",".join(_operand(rng, "$eq") for _ in range(rng.randint(0, 3))) + "]"
    if operator == "$exists" and rng.random() < 0.85:
        return rng.choice(["true", "false"])
    if operator in ("$gt", "$gte", "$lt", "$lte") and rng.random() < 0.8:
        return rng.choice(NUMBER_LITERALS)
    return scalar


def _field_clause(rng):
    path = rng.choice(FIELDS) if rng.random() < 0.7 else rng.choice(RARE_FIELDS)
    if rng.random() < 0.05:
        return path, json.dumps("red")  # not an operator object
    members = [(operator, _operand(rng, operator)) for operator in rng.choices(OPERATORS, k=rng.choice([1, 1, 2, 3]))]
    return path, _members(members)


def random_filter(rng, depth=3):
    """A filter text of any shape the language gives meaning to, malformed ones too."""
    draw = rng.random()
    if depth <= 0 or draw < 0.45:
        return _members([_field_clause(rng)])
    children = "[" + ",".join(random_filter(rng, depth - 1) for _ in range(rng.randint(0, 3))) + "]"
    if draw < 0.6:
        return _members([("$and", children if rng.random() < 0.9 else "{}")])
    if draw < 0.75:
        return _members([("$or", children if rng.random() < 0.9 else "5")])
    if draw < 0.9:
        return _members([("$not", random_filter(rng, depth - 1) if rng.random() < 0.9 else "[]")])
    # Several members (only the first key counts), repeated keys, non-objects.
    return rng.choice([
        _members([_field_clause(rng), _field_clause(rng)]),
        _members([("$or", children), ("$and", "[]")]),
        _members([("$not", random_filter(rng, depth - 1)), ("$not", random_filter(rng, depth - 1))]),
        "{}", "[]", "5", '"x"',
    ])


# ---- Deletion over partitions -------------------------------------------------------


def live_ids(db, shard=0, shards=1):
    return {local * shards + shard for local, _, _ in db.search([1.0, 0.5], 10**6, None, False)}


def delete_over_partitions(parts, filter_json):
    """What ShardedVendrelDB.delete does, over plain databases."""
    parsed = parse_filter(filter_json)
    leaves = leaf_filters(parsed)
    decided = {leaf for leaf in leaves if any(_native.filter_decides(part, leaf) for part in parts)}
    rewritten = rewrite_for_shards(parsed, decided.__contains__)
    return sum(part.delete(rewritten) for part in parts)


@pytest.mark.parametrize("shards", [2, 3])
def test_delete_over_partitions_equals_one_database(tmp_path, shards):
    # The rewrite serves the contract kind's language (the full kind's filters go to the
    # shards unchanged).
    rng = random.Random(shards)
    one = _native.ContractDB(str(tmp_path / "one"))
    parts = [_native.ContractDB(str(tmp_path / f"part-{shard}")) for shard in range(shards)]

    def add(doc_id):
        text = random_metadata(rng)
        one.add(doc_id, [1.0, 0.5], text)
        parts[doc_id % shards].add(doc_id // shards, [1.0, 0.5], text)

    for doc_id in rng.sample(range(400), 250):
        add(doc_id)
    for _ in range(400):
        if rng.random() < 0.3:
            for doc_id in rng.sample(range(420), 15):  # re-adds of deleted ids stay deleted
                add(doc_id)
        filter_json = random_filter(rng)
        assert delete_over_partitions(parts, filter_json) == one.delete(filter_json), filter_json
        assert set().union(*(live_ids(part, shard, shards) for shard, part in enumerate(parts))) == live_ids(one)
        counts = [part.count() for part in parts]
        assert global_count(counts, [_native.id_bound(part) for part in parts]) == one.count()


def test_full_filters_unchanged_over_partitions_select_what_one_database_selects(tmp_path):
    # The full kind's language decides a document by its own values alone, so its
    # shards take the filter as it is.
    rng = random.Random(4)
    shards = 3
    one = FullVendrelDB(str(tmp_path / "one"))
    parts = [FullVendrelDB(str(tmp_path / f"part-{shard}")) for shard in range(shards)]
    for doc_id in rng.sample(range(400), 250):
        text = json.dumps(random_document(rng))
        one.add(doc_id, [1.0, 0.5], text)
        parts[doc_id % shards].add(doc_id // shards, [1.0, 0.5], text)
    for _ in range(200):
        filter_json = json.dumps(random_full_filter(rng))
        selected = {local * shards + shard for shard, part in enumerate(parts)
                    for local, _, _ in part.search([1.0, 0.5], 10**6, filter_json, False)}
        assert selected == {hit[0] for hit in one.search([1.0, 0.5], 10**6, filter_json, False)}, filter_json
        if len(selected) <= 10:
            assert sum(part.delete(filter_json) for part in parts) == one.delete(filter_json) == len(selected)


def test_rewrite_passes_operands_through_unchanged():
    # Big integers, exponents and negative zero reach the shards as written, and keys
    # keep their characters.
    text = '{"n\\u00e9": {"$gt": 18446744073709551616, "$lt": 1e1, "$ne": -0}}'
    rewritten = rewrite_for_shards(parse_filter(text), lambda leaf: True)
    assert rewritten == ('{"$and":[{"$or":[{"n\\u00e9":{"$gt":18446744073709551616}}]},'
                         '{"$or":[{"n\\u00e9":{"$lt":1e1}}]},{"$not":{"$or":[{"n\\u00e9":{"$eq":-0}}]}}]}')


# ---- Merge order ----------------------------------------------------------------------


def test_merge_ranks_by_score_then_global_id_without_reordering_a_shard():
    shard0 = [(4, 0.9, ""), (0, 0.5, ""), (8, 0.5, "")]
    shard1 = [(5, 0.9, ""), (1, 0.5, ""), (9, float("nan"), "")]
    merged = merge_hits([shard0, shard1], [False, False], 10)
    assert [hit[0] for hit in merged] == [4, 5, 0, 1, 8, 9]
    # A shard's own order stands even where its ids descend among equal scores.
    shard0 = [(8, 0.5, ""), (0, 0.5, "")]
    assert [hit[0] for hit in merge_hits([shard0, [(1, 0.5, "")]], [False, False], 10)] == [1, 8, 0]
    assert merge_hits([shard0], [True], 1) == [(8, 0.5, "")]
    assert merge_hits([shard0, shard1], [False, False], 2**64 - 1)[:1] == [(5, 0.9, "")]


def test_merge_puts_full_vector_shards_before_quantized_ones():
    quantized = [(0, 0.99, ""), (2, 0.98, "")]
    full = [(1, 0.2, ""), (3, -0.5, ""), (5, math.nan, "")]
    merged = merge_hits([quantized, full], [True, False], 4)
    assert [hit[0] for hit in merged] == [1, 3, 5, 0]


# ---- Rows of a batch ------------------------------------------------------------------


@pytest.mark.parametrize("machines", [[[0, 1, 2]], [[0, 2], [1]], [[2], [0], [1]]])
def test_each_shard_reads_its_own_rows_of_its_machines_batch(machines):
    pytest.importorskip("ray")
    from vendrel_plus.sharded import _RowSource

    rng = np.random.default_rng(3)
    vectors = rng.normal(size=(90, 4)).astype(np.float32)
    rows = _RowSource(vectors, np.full(90, 4, dtype=np.uint64), 90, [f"{{\"r\": {row}}}" for row in range(90)], None)
    begin, end = 10, 80
    consecutive = np.arange(100, 190, dtype=np.uint32)
    scattered = rng.choice(10**6, size=90, replace=False).astype(np.uint32)
    for ids in (consecutive, scattered):
        split = split_rows(ids[begin:end], 3)
        for shards in machines:
            mine = [split[shard].rows + begin for shard in shards]
            matrix, selections = rows.machine_vectors(mine, begin, end)
            for shard, selection, expected in zip(shards, selections, mine):
                assert np.array_equal(matrix[selection], vectors[expected])
                assert rows.columns(expected)[0] == [f"{{\"r\": {row}}}" for row in expected]
                # A shard's rows of consecutive ids are every third row: read in place.
                assert isinstance(selection, slice) or ids is scattered
            # One machine's batch is the caller's rows themselves, not a copy.
            assert np.shares_memory(matrix, vectors) == (len(machines) == 1)

"""Metadata filters through EncryptedIndex.query on an untrained index (every item is a
candidate, so a filtered query returns exactly the items the filter accepts)."""
import json
import operator
import random
import re

import numpy as np
import pytest

DIM = 4


def fill(index, metadatas):
    """Items m0, m1, ... with the given metadata (None: no metadata), all at one point."""
    items = []
    for n, metadata in enumerate(metadatas):
        item = {"id": f"m{n}", "vector": np.full(DIM, 1.0 + n / 1000, dtype=np.float32)}
        if metadata is not None:
            item["metadata"] = metadata
        items.append(item)
    index.upsert(items)


def accepted(index, filters, count):
    return {r["id"] for r in index.query(np.ones(DIM, dtype=np.float32), top_k=count, filters=filters)}


# (filter, metadata, expected)
CASES = [
    ({"n": {"$eq": 1}}, {"n": 1.0}, True),
    ({"n": {"$eq": 1}}, {"n": True}, False),
    ({"n": {"$gt": 1}}, {"n": 2}, True),
    ({"n": {"$gt": 1}}, {"n": "3"}, False),
    ({"n": {"$lte": 2}}, {"n": [5, 2]}, True),
    ({"n": {"$in": [1, 2]}}, {"n": 2}, True),
    ({"n": {"$in": 2}}, {"n": 2}, True),
    ({"n": {"$nin": [1, 2]}}, {"n": [3, 2]}, False),
    ({"tags": "red"}, {"tags": ["red", "blue"]}, True),
    ({"tags": ["red", "blue"]}, {"tags": ["red", "blue"]}, False),
    ({"tags": {"$ne": "red"}}, {"tags": ["red", "blue"]}, False),
    ({"f": {"$eq": {"a": 1}}}, {"f": {"a": 1}}, True),
    ({"f": {"a": 1}}, {"f": {"a": 1}}, True),
    ({"f": {"$in": [{"a": 1}]}}, {"f": {"a": 1}}, True),
    ({"a.b": 1}, {"a": {"b": 1}}, True),
    ({"a.b": {"$exists": False}}, {"a": [{"b": 1}]}, True),
    ({"f": {"$exists": False}}, None, True),
    ({"f": {"$exists": False}}, {"f": None}, True),
    ({"f": {"$nin": [1]}}, {}, True),
    ({"f": {"$ne": 1}}, {}, False),
    ({"f": {"$exists": True}}, {"f": 0}, True),
    ({"$and": [{"f": {"$nin": [1], "$regex": "x"}}]}, {}, False),
    ({"$and": [{"f": {"$exists": False, "$nin": [1]}}]}, {}, True),
    ({"$and": [{"zz": {"$foo": 1}}]}, {}, False),  # no item has zz: never reached
    ({"x": {"$type": "array"}}, {"x": []}, True),
    ({"x": {"$type": "string"}}, {"x": ["s"]}, False),
    ({"name": {"$regex": "^Al"}}, {"name": "Alice"}, True),
    ({"name": {"$regex": "^Al"}}, {"name": "alice"}, False),
    ({"name": {"$regex": "li"}}, {"name": "Alice"}, True),
    ({"$or": []}, {}, False),
    ({"$and": []}, {}, True),
    ({"$nor": [{"a": 1}]}, {"a": 2}, True),
    ({"$not": {"a": 1}}, {"a": 1}, False),
    ({"$and": [{"$xyz": 1}]}, {"$xyz": 1}, True),
    # Numbers compare by value across integer, unsigned and floating forms.
    ({"u": -1}, {"u": 2**64 - 1}, False),
    ({"u": -(2**63)}, {"u": 2**63}, False),
    ({"u": {"$ne": -1}}, {"u": 2**64 - 1}, True),
    ({"u": {"$in": [-1]}}, {"u": 2**64 - 1}, False),
    ({"u": {"$nin": [-1]}}, {"u": [2**64 - 1]}, True),
    ({"u": 2**53 + 1}, {"u": float(2**53)}, False),
    ({"u": float(2**53)}, {"u": 2**53}, True),
    ({"u": 2**64 - 1}, {"u": 2**64 - 1}, True),
    ({"u": {"$gt": 2**53}}, {"u": 2**53 + 1}, True),
    ({"u": {"$lte": 2**53}}, {"u": 2**53 + 1}, False),
]


def test_case_table(make_index):
    index = make_index()
    fill(index, [metadata for _, metadata, _ in CASES])
    for n, (filters, metadata, expected) in enumerate(CASES):
        assert (f"m{n}" in accepted(index, filters, len(CASES))) == expected, (filters, metadata)


REFUSALS = [
    ({"a": 1, "b": 2}, "The filters argument must contain exactly one top-level filter."),
    ({"$xyz": {"$eq": 1}}, "The top-level filter must be one of: $and, $or, $nor, $not."),
    ({"a": {"$gt": 1, "$lt": 5}}, "A single field can only have one condition. Found multiple conditions for field: a"),
    ({"f": None}, "Invalid query: Operator `$eq` cannot have an empty object or null as a value."),
    ({"f": {"$foo": 1}}, "Unsupported operator: $foo for field: f"),
    ({"x": {"$type": "integer"}}, "Unsupported type in $type operator: integer"),
    ({"x": {"$regex": "(a)\\1"}}, "Invalid regex pattern: (a)\\1\nError: invalid escape sequence: \\1"),
    ({"x": {"$regex": "a(?!b)"}}, "Invalid regex pattern: a(?!b)\nError: invalid perl operator: (?!"),
    # An integer no double can hold is malformed text, as the serialised filter reads.
    ({"x": {"$lt": 10**400}},
     f"Invalid JSON format for filters: [json.exception.out_of_range.406] number overflow parsing '{10**400}'"),
]


def test_refusals(make_index):
    index = make_index()
    fill(index, [{"x": "ab"}])
    for filters, message in REFUSALS:
        with pytest.raises(ValueError) as raised:
            index.query(np.ones(DIM, dtype=np.float32), filters=filters)
        assert str(raised.value) == message
    with pytest.raises(TypeError):
        index.query(np.ones(DIM, dtype=np.float32), filters='{"x": 1}')


def test_nothing_kept_gives_every_query_an_empty_result(make_index):
    index = make_index()
    fill(index, [{"k": 1}, {"k": 2}])
    assert index.query(np.ones((3, DIM), dtype=np.float32), filters={"k": 3}) == [[], [], []]
    assert index.query(np.ones(DIM, dtype=np.float32), filters={"k": 3}) == []


def test_regex_is_linear_and_shallow(make_index):
    index = make_index()
    fill(index, [{"s": "a" * 24 + "!"}, {"s": "a" * 100_000}, {"s": "ab" * 50_000 + "c"}])
    assert accepted(index, {"s": {"$regex": "(a+)+$"}}, 3) == {"m1"}
    assert accepted(index, {"s": {"$regex": "^(a|b)*c"}}, 3) == {"m2"}


def nested(levels, inner):
    for _ in range(levels):
        inner = {"$not": inner}
    return inner


def test_nesting_depth_is_bounded(make_index):
    index = make_index()
    fill(index, [{"a": 1}])
    for levels in (100, 9000):
        with pytest.raises(ValueError, match=r"^Filter nesting exceeds the maximum depth of 100\.$"):
            index.query(np.ones(DIM, dtype=np.float32), filters=nested(levels, {"a": 1}))
    assert accepted(index, nested(99, {"a": 1}), 1) == set()  # 100 levels: accepted
    deep = {"v": 1}
    for _ in range(100):
        deep = {"d": deep}
    with pytest.raises(ValueError, match=r"^Metadata at index 1 is nested deeper than the maximum depth of 100\.$"):
        fill(index, [{"a": 1}, deep])
    fill(index, [{"a": 1}, deep["d"]])


# A small independent model of the filter language, for random filters from its grammar.

MISSING = object()


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def json_equal(a, b):
    if isinstance(a, bool) or isinstance(b, bool):
        return isinstance(a, bool) and isinstance(b, bool) and a == b
    if is_number(a) or is_number(b):
        return is_number(a) and is_number(b) and a == b
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def elements(v):
    if isinstance(v, list):
        return v
    if isinstance(v, dict):
        return list(v.values())
    return [] if v is None else [v]


def resolve(metadata, path):
    value = metadata
    for segment in path.split("."):
        if not isinstance(value, dict) or segment not in value:
            return MISSING
        value = value[segment]
    return MISSING if value is None else value


def holds(op, operand, field):
    many = field if isinstance(field, list) else [field]
    if op == "$eq":
        return any(json_equal(x, operand) for x in many)
    if op == "$ne":
        return not any(json_equal(x, operand) for x in many)
    if op in ("$gt", "$gte", "$lt", "$lte"):
        # Python compares ints and floats by exact value.
        compare = {"$gt": operator.gt, "$gte": operator.ge, "$lt": operator.lt, "$lte": operator.le}[op]
        return is_number(operand) and any(is_number(x) and compare(x, operand) for x in many)
    if op in ("$in", "$nin"):
        found = any(json_equal(x, y) for x in many for y in elements(operand))
        return found if op == "$in" else not found
    if op == "$exists":
        return operand
    if op == "$type":
        if isinstance(field, list):
            return operand == "array"
        kinds = {"string": str, "object": dict}
        if operand == "number":
            return is_number(field)
        if operand == "boolean":
            return isinstance(field, bool)
        return isinstance(field, kinds.get(operand, ()))
    if op == "$regex":
        return isinstance(field, str) and re.search(operand, field) is not None
    raise AssertionError(op)


def model_condition(condition, field):
    if field is MISSING:
        return all(op == "$nin" or (op == "$exists" and operand is False) for op, operand in condition.items())
    for op in sorted(condition):
        if not op.startswith("$"):  # a nested field in a condition: an unknown operator
            raise AssertionError("not generated")
        if not holds(op, condition[op], field):
            return False
    return True


def model(filters, metadata):
    for key in sorted(filters):
        value = filters[key]
        if key == "$and":
            ok = all(model(sub, metadata) for sub in elements(value))
        elif key == "$or":
            ok = any(model(sub, metadata) for sub in elements(value))
        elif key == "$nor":
            ok = not any(model(sub, metadata) for sub in elements(value))
        elif key == "$not":
            ok = not model(value, metadata)
        else:
            is_condition = isinstance(value, dict) and any(k.startswith("$") for k in value)
            ok = model_condition(value if is_condition else {"$eq": value}, resolve(metadata, key))
        if not ok:
            return False
    return True


PATHS = ["a", "b", "c", "n.x", "n.y", "$d"]
LARGE = [2**64 - 1, 2**63, -(2**63), 2**53, 2**53 + 1, float(2**53), float(2**63)]
SCALARS = [0, 1, 2, 3, 1.5, 2.0, -1, "red", "blue", "Alice", "alice", "", True, False] + LARGE
PATTERNS = ["^Al", "e$", "li", "^[a-z]+$", "r.d", "^$", "b|c"]


def random_value(r, depth=0):
    roll = r.random()
    if roll < 0.65 or depth > 1:
        return r.choice(SCALARS)
    if roll < 0.85:
        return [random_value(r, depth + 1) for _ in range(r.randint(0, 3))]
    return {k: random_value(r, depth + 1) for k in r.sample(["x", "y"], r.randint(1, 2))}


def random_metadata(r):
    metadata = {}
    for path in ["a", "b", "c", "$d"]:
        roll = r.random()
        if roll < 0.6:
            metadata[path] = random_value(r)
        elif roll < 0.7:
            metadata[path] = None
    if r.random() < 0.6:
        metadata["n"] = {k: random_value(r) for k in r.sample(["x", "y"], r.randint(0, 2))}
    elif r.random() < 0.3:
        metadata["n"] = r.choice([[{"x": 1}], "n", 5])
    return metadata


def random_operator(r):
    op = r.choice(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists", "$type", "$regex"])
    if op in ("$gt", "$gte", "$lt", "$lte"):
        return op, r.choice([0, 1, 1.5, 2, 3, "2", True] + LARGE)
    if op in ("$in", "$nin"):
        return op, r.choice([[random_value(r) for _ in range(r.randint(1, 3))], random_value(r), {"k": 1}])
    if op == "$exists":
        return op, r.random() < 0.5
    if op == "$type":
        return op, r.choice(["string", "number", "boolean", "array", "object"])
    if op == "$regex":
        return op, r.choice(PATTERNS)
    value = random_value(r)
    while value is None or value == {}:
        value = random_value(r)
    return op, value


def random_field_filter(r, single):
    path = r.choice(PATHS[:-1] if single else PATHS)  # a top-level "$..." key is refused
    if not single and r.random() < 0.3:
        return {path: random_value(r)}  # shorthand
    ops = dict(random_operator(r) for _ in range(1 if single else r.randint(1, 2)))
    return {path: ops}


def random_filter(r, depth=0, top=True):
    if depth >= 3 or r.random() < 0.45:
        return random_field_filter(r, single=top)
    op = r.choice(["$and", "$or", "$nor", "$not"])
    if op == "$not":
        return {op: random_filter(r, depth + 1, top=False)}
    return {op: [random_filter(r, depth + 1, top=False) for _ in range(r.randint(0, 3))]}


def test_random_filters_match_the_model(make_index):
    r = random.Random(20261207)
    metadatas = [random_metadata(r) for _ in range(200)]
    metadatas[0] = None
    index = make_index()
    fill(index, metadatas)
    models = [{} if m is None else json.loads(json.dumps(m)) for m in metadatas]
    pairs = 0
    for _ in range(80):
        filters = random_filter(r)
        expected = {f"m{n}" for n, m in enumerate(models) if model(filters, m)}
        assert accepted(index, filters, len(metadatas)) == expected, filters
        pairs += len(metadatas)
    assert pairs >= 10_000

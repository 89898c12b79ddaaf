"""Token ids: a fixed, documented hash, and id-keyed vectors that add colliding weights."""

import os
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from pymiratext import BM25, id_vector, token_id

RESERVED = 2**32 - 1


def murmur3_32(data: bytes, seed: int = 0) -> int:
    """Plain-Python MurmurHash3 x86_32, the reference the native hash must equal."""
    mask = 0xFFFFFFFF

    def rotl(x, r):
        return ((x << r) | (x >> (32 - r))) & mask

    h = seed
    full = len(data) - len(data) % 4
    for i in range(0, full, 4):
        k = int.from_bytes(data[i : i + 4], "little")
        k = rotl((k * 0xCC9E2D51) & mask, 15) * 0x1B873593 & mask
        h = (rotl(h ^ k, 13) * 5 + 0xE6546B64) & mask
    tail = data[full:]
    if tail:
        k = int.from_bytes(tail, "little")
        h ^= rotl((k * 0xCC9E2D51) & mask, 15) * 0x1B873593 & mask
    h ^= len(data)
    h = ((h ^ (h >> 16)) * 0x85EBCA6B) & mask
    h = ((h ^ (h >> 13)) * 0xC2B2AE35) & mask
    return h ^ (h >> 16)


@pytest.mark.parametrize(
    "token, expected",
    [
        ("", 0),
        ("hello", 613153351),
        ("中文", 3676729751),
        ("𠀀", 2295267474),  # outside the Basic Multilingual Plane: four UTF-8 bytes
        ("😀", 3199479546),
    ],
    ids=["empty", "ascii", "cjk", "cjk-ext-b", "emoji"],
)
def test_token_id_fixed_values(token, expected):
    assert token_id(token) == expected


@given(st.text())
def test_token_id_is_murmur3_of_utf8_below_reserved_value(token):
    assert token_id(token) == murmur3_32(token.encode("utf-8")) % RESERVED


def test_token_id_refuses_lone_surrogates():
    with pytest.raises(UnicodeEncodeError):
        token_id("\ud800")


# Two dictionary words with the same id.
COLLIDING = ("关口", "说唱文学")


def test_colliding_tokens_add_their_weights():
    assert token_id(COLLIDING[0]) == token_id(COLLIDING[1])
    shared = token_id(COLLIDING[0])
    vector = {COLLIDING[0]: 0.25, "其他": 0.5, COLLIDING[1]: 0.125}
    assert id_vector(vector) == {shared: 0.375, token_id("其他"): 0.5}


@given(st.dictionaries(st.text(max_size=3), st.floats(-1e6, 1e6), max_size=30))
def test_id_vector_matches_plain_python_summing(vector):
    expected = {}
    for token, weight in vector.items():
        key = token_id(token)
        expected[key] = expected.get(key, 0.0) + weight
    got = id_vector(vector)
    assert got == pytest.approx(expected)
    assert list(got) == sorted(got)


def test_integer_models_keep_their_ids():
    model = BM25()
    model.train([3, 1, 3])
    model.train([2**32 - 2])
    vector = model.encode_document([3, 1, 2**32 - 2])
    assert id_vector(vector) == vector


@pytest.mark.parametrize(
    "key, error",
    [(-1, ValueError), (RESERVED, ValueError), (2**64, ValueError), (True, TypeError), (1.0, TypeError)],
    ids=["negative", "reserved", "beyond-64-bit", "bool", "float"],
)
def test_id_vector_refuses_keys_outside_the_index_range(key, error):
    with pytest.raises(error):
        id_vector({key: 1.0})


def test_id_vector_refuses_a_non_number_weight():
    with pytest.raises(TypeError):
        id_vector({"a": "heavy"})


# Each script converts a dict whose first value, when read, empties the dict
# and so frees the only other reference to its key; the debug allocator
# overwrites freed memory, so reading that key afterwards crashes or misreads.
CLEARING_SCRIPTS = {
    "id_vector": (
        "class Clearing:\n"
        "    def __float__(self):\n"
        "        table.clear()\n"
        "        return 1.0\n"
        "key = ''.join(['长的键'] * 40)\n"
        "table = {key: Clearing(), 'b': 2.0}\n"
        "expected = {token_id(key): 1.0, token_id('b'): 2.0}\n"
        "del key\n"
        "print(id_vector(table) == dict(sorted(expected.items())))\n"
    ),
    "BM25.__setstate__": (
        "class Clearing:\n"
        "    def __index__(self):\n"
        "        table.clear()\n"
        "        return 1\n"
        "key = b''.join([b'long key'] * 40)\n"
        "table = {key: Clearing(), b'b': 2}\n"
        "expected = {key: 1, b'b': 2}\n"
        "del key\n"
        "model = BM25.__new__(BM25)\n"
        "model.__setstate__((0.75, 1.2, 2, 3, 1.5, table))\n"
        "print(model.__getstate__()[5] == expected)\n"
    ),
}


@pytest.mark.parametrize("script", CLEARING_SCRIPTS.values(), ids=CLEARING_SCRIPTS.keys())
def test_a_value_that_empties_its_dict_while_converted_is_harmless(script):
    out = subprocess.run(
        [sys.executable, "-c", "from pymiratext import BM25, id_vector, token_id\n" + script],
        capture_output=True, timeout=60, env={**os.environ, "PYTHONMALLOC": "debug"},
    )
    assert (out.returncode, out.stdout) == (0, b"True\n"), out.stderr[-2000:]

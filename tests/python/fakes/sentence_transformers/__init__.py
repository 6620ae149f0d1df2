"""A stand-in for the sentence-embedding package, for tests.

Vectors are deterministic: each text gives the same float32 vector every time (seeded
from a digest of the text), so a test can compute what the index should have stored.
A model name of the form "fake-<d>" gives dimension d; any other name but "broken"
gives dimension 8; "broken" fails to load.

Tests choose misbehaviour through `misbehave` and read `calls` (every constructor,
encode and get_sentence_embedding_dimension call, in order). `reset()` restores both.
"""

import hashlib

import numpy as np

# One of None, "raise", "fewer_rows", "3d", "float64", "fortran", "not_array",
# "no_dimension", "zero_dimension".
misbehave = None
calls = []


def reset():
    global misbehave
    misbehave = None
    calls.clear()


def embed(text, dimension):
    """The vector the fake model gives `text`."""
    seed = int.from_bytes(hashlib.sha256(text.encode("utf-8")).digest()[:8], "little")
    return np.random.default_rng(seed).standard_normal(dimension).astype(np.float32)


class SentenceTransformer:
    def __init__(self, model_name):
        calls.append(("load", model_name))
        if model_name == "broken":
            raise OSError(f"no model named {model_name}")
        self.model_name = model_name
        self.dimension = int(model_name[5:]) if model_name.startswith("fake-") else 8

    def get_sentence_embedding_dimension(self):
        calls.append(("dimension", self.model_name))
        if misbehave == "no_dimension":
            return None
        if misbehave == "zero_dimension":
            return 0
        return self.dimension

    def encode(self, sentences, convert_to_numpy=False):
        calls.append(("encode", sentences if isinstance(sentences, str) else list(sentences),
                      convert_to_numpy))
        if misbehave == "raise":
            raise RuntimeError("encoder exploded")
        if isinstance(sentences, str):
            return embed(sentences, self.dimension)
        rows = np.stack([embed(s, self.dimension) for s in sentences])
        if misbehave == "fewer_rows":
            return rows[:-1]
        if misbehave == "3d":
            return rows[:, None, :]
        if misbehave == "float64":
            return rows.astype(np.float64)
        if misbehave == "fortran":
            return np.asfortranarray(rows)
        if misbehave == "not_array":
            return "not an array"
        return rows

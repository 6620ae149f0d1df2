"""A stand-in for the sentence-embedding package, for tests.

Vectors are deterministic: each text gives the same float32 vector every time (seeded
from a digest of the text), so a test can compute what the index should have stored.
A model name of the form "fake-<d>" gives dimension d; any other name but "broken"
gives dimension 8; "broken" fails to load.

Tests choose misbehaviour through `misbehave` and read `calls` (every constructor,
encode and dimension call, in order). With `renamed_dimension` set, models also have
get_embedding_dimension, as those of sentence-transformers 6 do ("embedding_dimension"
in `calls`; the old name is recorded as "dimension"). `models` holds a weak reference to
every model made. `reset()` restores all of these.
"""

import hashlib
import weakref

import numpy as np

# One of None, "raise", "fewer_rows", "3d", "float64", "fortran", "not_array",
# "no_dimension", "zero_dimension".
misbehave = None
renamed_dimension = False
calls = []
models = []


def reset():
    global misbehave, renamed_dimension
    misbehave = None
    renamed_dimension = False
    calls.clear()
    models.clear()


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
        # A real load reads files with the interpreter lock released; so does this one, so
        # other threads run in the middle of it.
        hashlib.sha256(bytes(1 << 20)).digest()
        self.dimension = int(model_name[5:]) if model_name.startswith("fake-") else 8
        models.append(weakref.ref(self))

    def __getattr__(self, name):
        if name == "get_embedding_dimension" and renamed_dimension:
            return lambda: self._dimension("embedding_dimension")
        raise AttributeError(name)

    def get_sentence_embedding_dimension(self):
        return self._dimension("dimension")

    def _dimension(self, method):
        calls.append((method, self.model_name))
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

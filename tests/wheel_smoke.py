"""Smoke test of an installed lodex wheel (make wheel, cibuildwheel): the
module comes from the environment, not a source tree, and builds, searches,
saves and loads an index with the same answers."""

import importlib.metadata
import os
import pathlib
import pickle
import sys
import tempfile

import numpy as np

import lodex

module = pathlib.Path(lodex.__file__)
assert module.is_relative_to(sys.prefix), f"lodex imported from {module}, not from {sys.prefix}"
assert (module.parent / "lodex.pyi").is_file(), "the type stub is missing beside the module"
assert lodex.__version__ == importlib.metadata.version("lodex")
assert lodex.simd_level() in {"scalar", "avx2", "avx512", "avx512vnni", "avx512vbmi", "neon", "neondot"}

rng = np.random.default_rng(0)
vectors = rng.standard_normal((20_000, 128)).astype(np.float32)
index = lodex.Index(dim=128, bits=4, use_qjl=False, seed=42)
index.add_batch(ids=np.arange(20_000), vectors=vectors)
ids, scores = index.search_batch(vectors[:50], 10)
assert (ids[:, 0] == np.arange(50)).mean() >= 0.9, "a row should find itself first"
with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "smoke.ldx")
    index.save(path)
    again = lodex.Index.load(path)
assert again.search(vectors[3], 5) == index.search(vectors[3], 5)
assert pickle.loads(pickle.dumps(index)).to_bytes() == index.to_bytes()
print(f"lodex {lodex.__version__} wheel smoke test passed at level {lodex.simd_level()}")

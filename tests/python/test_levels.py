"""Which vector level runs: LODEX_SIMD caps it at import, simd_level() reports
it, and the answers are the same bits at every level. Each cap runs in a
fresh interpreter, since the level is fixed once per process."""

import importlib.metadata
import json
import os
import subprocess
import sys

import pytest

import lodex

CHAINS = {
    "x86": ["scalar", "avx2", "avx512", "avx512vnni", "avx512vbmi"],
    "arm": ["scalar", "neon", "neondot"],
}
BEST = lodex.simd_level()
CHAIN = next(chain for chain in CHAINS.values() if BEST in chain) if BEST != "scalar" else ["scalar"]
SUPPORTED = CHAIN[: CHAIN.index(BEST) + 1]

# Every width, a dim the integer first pass takes and one it does not, a
# batch and single queries; the digest covers ids and score bits.
PROGRAM = """
import hashlib, json, warnings
import numpy as np
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import lodex
digest = hashlib.sha256()
rng = np.random.default_rng(5)
for dim in (64, 16):
    rows = rng.standard_normal((3000, dim)).astype(np.float32)
    queries = rng.standard_normal((20, dim)).astype(np.float32)
    for bits in (2, 3, 4, 5):
        index = lodex.Index(dim, bits, False, 11)
        index.add_batch(np.arange(3000), rows)
        ids, scores = index.search_batch(queries, 10)
        digest.update(ids.tobytes() + scores.tobytes())
        digest.update(repr(index.search(queries[0], 7)).encode())
# Every metric, the general rotation at widths that are not whole groups, a centre, ranges.
for metric, dim in (("ip", 100), ("cosine", 3), ("l2", 784)):
    rows = rng.standard_normal((2000, dim)).astype(np.float32) + 0.3
    queries = rng.standard_normal((20, dim)).astype(np.float32) + 0.3
    index = lodex.Index(dim, 4, False, 11, metric=metric, rotation="general", center=rows.mean(axis=0))
    index.add_batch(np.arange(2000), rows)
    ids, scores = index.search_batch(queries, 10)
    lims, rids, rscores = index.search_range(queries, float(scores[0, 9]))
    digest.update(ids.tobytes() + scores.tobytes() + lims.tobytes() + rids.tobytes() + rscores.tobytes())
print(json.dumps({"level": lodex.simd_level(), "digest": digest.hexdigest(),
                  "warnings": [f"{w.category.__name__}: {w.message}" for w in caught]}))
"""


def run(cap):
    env = {k: v for k, v in os.environ.items() if k != "LODEX_SIMD"}
    if cap is not None:
        env["LODEX_SIMD"] = cap
    done = subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def uncapped():
    return run(None)


@pytest.mark.parametrize("level", CHAINS["x86"] + CHAINS["arm"][1:])
def test_each_level_runs_when_asked_and_answers_the_same(level, uncapped):
    if level not in SUPPORTED:
        pytest.skip(f"this machine runs {BEST} at best")
    got = run(level)
    assert got == {"level": level, "digest": uncapped["digest"], "warnings": []}


@pytest.mark.parametrize("name", ["fastest", "AVX2", "neon" if "avx2" in CHAIN else "avx2"])
def test_an_unknown_or_foreign_name_warns_and_runs_the_best(name, uncapped):
    got = run(name)
    assert got["level"] == BEST and got["digest"] == uncapped["digest"]
    assert got["warnings"] == [
        f"RuntimeWarning: LODEX_SIMD={name} is not a level this machine runs (choices: {', '.join(SUPPORTED)}); "
        f"using {BEST}"
    ]


def test_uncapped_runs_the_best_and_the_version_is_the_package_version(uncapped):
    assert uncapped["level"] == BEST and uncapped["warnings"] == []
    assert lodex.__version__ == importlib.metadata.version("lodex")

"""Every script in examples/ runs to completion, at a reduced size, as a user would start it."""

import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

# Small sizes keep the suite quick; the scripts' own checks (topic precision,
# identical threaded results) still run and fail the script when violated.
ARGUMENTS = {
    "manage_rows.py": ["--products", "5000"],
    "semantic_search.py": ["--docs", "3000"],
    "threaded_search.py": ["--rows", "5000", "--queries", "64", "--threads", "4"],
    "sharded_search.py": ["--rows", "5000", "--shards", "3", "--queries", "20"],
}


def test_every_example_is_exercised():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(ARGUMENTS)


@pytest.mark.parametrize("name", sorted(ARGUMENTS))
def test_example_runs(name, tmp_path):
    env = dict(os.environ)
    if "LocalCluster" in (EXAMPLES / name).read_text() and "ASAN_OPTIONS" in env:
        # A Dask cluster leaves daemon threads running at exit (Dask's own, in this process and in
        # every worker process); the interpreter ends them where they stand and what their frames
        # hold is never released: a leak of CPython's, not of lodex.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    # Run from an empty directory so an example cannot lean on the checkout's files.
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *ARGUMENTS[name]],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "lodex.Index(" in result.stdout

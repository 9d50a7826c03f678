"""Every ```python block of the README runs as written.

Each block runs on its own, in a fresh interpreter and an empty working
directory (files it saves land there), so every block must be self-contained.
A block's output must be, line for line, the comments ending its `print(` lines
(`print(x)  # 7`): one line per print, floats rounded by the block.
"""

import pathlib
import re
import subprocess
import sys
import textwrap
import tokenize

import pytest

from conftest import child_env

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"

# An opening fence may be indented (inside a list item); its block ends at
# the first closing fence with the same indentation.
OPENING = re.compile(r"^(?P<indent>[ \t]*)```python[ \t]*$")


def python_blocks(text):
    """(line number of the opening fence, dedented source) for each ```python block."""
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = OPENING.match(lines[i])
        i += 1
        if not opening:
            continue
        start = i
        closing = re.compile(re.escape(opening["indent"]) + r"```[ \t]*$")
        while i < len(lines) and not closing.match(lines[i]):
            i += 1
        if i == len(lines):
            raise ValueError(f"README.md:{start}: ```python block is never closed")
        blocks.append((start, textwrap.dedent("\n".join(lines[start:i])) + "\n"))
        i += 1
    return blocks


def declared_output(source):
    lines = source.splitlines(keepends=True)
    comments = {t.start[0]: t.string[1:].strip() for t in tokenize.generate_tokens(iter(lines).__next__) if t.type == tokenize.COMMENT}
    return [comments.get(n) for n, text in enumerate(lines, 1) if text.lstrip().startswith("print(")]


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("intro\n```python\nx = 1\n```\n", [(2, "x = 1\n")]),
        ("```python\na\n\n  b\n```\n```sh\nls\n```\n```python\nc\n```\n", [(1, "a\n\n  b\n"), (9, "c\n")]),
        ("1. step\n   ```python\n   y = 2\n   ```\n", [(2, "y = 2\n")]),
        ("```pycon\n>>> 1\n```\n", []),
    ],
    ids=["one", "several", "indented", "other-language"],
)
def test_extraction(text, expected):
    assert python_blocks(text) == expected


def test_unclosed_block_is_reported():
    with pytest.raises(ValueError, match="never closed"):
        python_blocks("```python\nx = 1\n")


def test_readme_has_python_blocks():
    assert BLOCKS, "no ```python block found in README.md"


@pytest.mark.parametrize("line, source", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_block_runs(line, source, tmp_path):
    script = tmp_path / f"readme_line{line}.py"
    script.write_text(source, encoding="utf-8")
    workdir = tmp_path / "work"
    workdir.mkdir()
    # A Dask cluster leaves daemon threads running at exit (Dask's own, in this
    # process and in every worker process).
    env = child_env(leak_checks="LocalCluster" not in source)
    result = subprocess.run(
        [sys.executable, str(script)], cwd=workdir, capture_output=True, text=True, timeout=300, env=env
    )
    assert result.returncode == 0, f"README.md block at line {line} failed:\n{result.stdout}{result.stderr}"
    printed = [text.rstrip() for text in result.stdout.splitlines()]
    assert printed == declared_output(source), f"README.md block at line {line}: its print comments are not its output"

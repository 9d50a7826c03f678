"""The type stub python/lodex.pyi describes the compiled module as it really is.

The stub is read with `ast` and compared member by member with the live
module (names, method kinds, parameter names, order and kinds, the config
dict's fields). When mypy is installed, the examples must pass
`mypy --strict`, and a short typed snippet checks that the stub accepts what
the module accepts and rejects what it refuses.
"""

import ast
import importlib.util
import inspect
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest

import lodex

from conftest import plain_build_only

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB_PATH = ROOT / "python" / "lodex.pyi"
STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"), filename=str(STUB_PATH))
P = inspect.Parameter


def stub_class(name):
    (node,) = [n for n in STUB.body if isinstance(n, ast.ClassDef) and n.name == name]
    return node


def stub_members(cls):
    return {n.name: n for n in cls.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}


def decorator_names(node):
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in node.decorator_list}


def stub_kind(name, node):
    if name == "__new__":
        return "constructor"
    decorators = decorator_names(node)
    if "property" in decorators:
        return "property"
    if "staticmethod" in decorators:
        return "static"
    return "method"


def runtime_kind(name):
    raw = inspect.getattr_static(lodex.Index, name)
    if name == "__new__":
        return "constructor"
    if isinstance(raw, types.GetSetDescriptorType):
        return "property"
    if isinstance(raw, staticmethod):
        return "static"
    return "method"


def stub_parameters(node, kind):
    """(name, kind, has default) per parameter, without the self / cls parameter."""
    a = node.args
    positional = [(x, P.POSITIONAL_ONLY) for x in a.posonlyargs] + [(x, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    first_default = len(positional) - len(a.defaults)
    params = [(x.arg, k.name, i >= first_default) for i, (x, k) in enumerate(positional)]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL.name, False))
    params += [(x.arg, P.KEYWORD_ONLY.name, d is not None) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD.name, False))
    return params if kind == "static" else params[1:]


# Keyword-only parameters added to methods whose text signature is fixed as
# first published: the stub lists them after the ones the signature shows.
UNSHOWN_KEYWORDS = {"save": ["mappable"], "load": ["mmap", "warm"]}


def runtime_parameters(name, kind):
    if kind == "property":
        return []
    target = lodex.Index if kind == "constructor" else getattr(lodex.Index, name)
    params = list(inspect.signature(target).parameters.values())
    if kind == "method":
        params = params[1:]
    unshown = [(keyword, P.KEYWORD_ONLY.name, True) for keyword in UNSHOWN_KEYWORDS.get(name, [])]
    return [(p.name, p.kind.name, p.default is not P.empty) for p in params] + unshown


INDEX = stub_class("Index")
MEMBERS = stub_members(INDEX)


def test_module_names():
    (all_node,) = [n for n in STUB.body if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__"]
    assert ast.literal_eval(all_node.value) == lodex.__all__
    defined = {n.name for n in STUB.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    defined |= {ast.unparse(t) for n in STUB.body if isinstance(n, ast.Assign) for t in n.targets}
    public = {name for name in defined if not name.startswith("_")}
    assert public == {name for name in vars(lodex) if not name.startswith("_")}


def test_index_members():
    runtime = set(vars(lodex.Index)) - {"__doc__", "__module__"}
    assert set(MEMBERS) == runtime


@pytest.mark.parametrize("name", sorted(MEMBERS))
def test_member_kind_and_parameters(name):
    kind = stub_kind(name, MEMBERS[name])
    assert kind == runtime_kind(name)
    stub = stub_parameters(MEMBERS[name], kind)
    if kind == "constructor":
        # The class's text signature names the four original parameters only;
        # the keyword-only ones must take the stub's defaults.
        node = MEMBERS[name].args
        lodex.Index(8, 2, False, 0, **{a.arg: ast.literal_eval(d) for a, d in zip(node.kwonlyargs, node.kw_defaults)})
        stub = [p for p in stub if p[1] != P.KEYWORD_ONLY.name]
    assert stub == runtime_parameters(name, kind)


def test_final_exactly_when_not_subclassable():
    subclassable = bool(lodex.Index.__flags__ & (1 << 10))  # Py_TPFLAGS_BASETYPE
    assert ("final" in decorator_names(INDEX)) == (not subclassable)


def test_config_fields():
    returns = MEMBERS["config"].returns
    fields = [(n.target.id, ast.unparse(n.annotation)) for n in stub_class(ast.unparse(returns)).body
              if isinstance(n, ast.AnnAssign)]
    config = lodex.Index(16, 3, True, 9).config
    assert fields == [(key, type(value).__name__) for key, value in config.items()]


@pytest.mark.parametrize("installed", ["lodex.pyi", "lodex-stubs/__init__.pyi"])
def test_installed_stub_is_current(installed):
    # Beside the module for pyright, PyCharm and mypy's stubtest; as a stub-only
    # package for mypy, which ignores a bare .pyi in site-packages.
    path = pathlib.Path(lodex.__file__).parent / installed
    assert path.is_file(), f"{path} missing: the install step does not ship the stub"
    assert path.read_bytes() == STUB_PATH.read_bytes(), f"{path} is stale: reinstall the package"


# Each ignore must match exactly one error of that code: --strict warns about
# unused ignores, so a stub that grew too lax fails here.
USAGE = textwrap.dedent(
    """
    from pathlib import Path
    from typing import assert_type

    import numpy as np

    import lodex

    index = lodex.Index(dim=8, bits=4, use_qjl=False, seed=1)
    vectors = np.zeros((2, 8), dtype=np.float32)
    index.add_batch(ids=[1, 2], vectors=vectors)
    index.add_batch(np.arange(2, dtype=np.uint64), vectors)
    assert_type(index.search(query=vectors[0], k=1), list[tuple[int, float]])
    assert_type(index.size, int)
    assert_type(index.config["use_qjl"], bool)
    assert_type(index.config["seed"], int)
    assert_type(lodex.Index.load(path="a.ldx"), lodex.Index)
    assert_type(repr(index), str)
    rebuilt = lodex.Index(**index.config)

    index.add_batch(ids=[1.5], vectors=vectors)  # type: ignore[list-item]
    index.add_batch(ids=np.zeros(2), vectors=vectors)  # type: ignore[arg-type]
    index.add_batch(ids=[1, 2], vectors=np.zeros((2, 8)))  # type: ignore[arg-type]
    index.search(query=vectors[0], k=1.0)  # type: ignore[arg-type]
    index.save(Path("a.ldx"))  # type: ignore[arg-type]
    index.size = 3  # type: ignore[misc]
    lodex.Index(8, 4, False)  # type: ignore[call-arg]


    class Derived(lodex.Index):  # type: ignore[misc]
        pass
    """
)

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy_cache")

    def run(*args, cwd):
        # One cache for the module's runs: numpy's stubs are parsed once.
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *args],
            cwd=cwd, capture_output=True, text=True, timeout=600,
        )

    return run


@needs_mypy
@plain_build_only
def test_examples_pass_mypy_strict(mypy, tmp_path):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert examples
    result = mypy(*examples, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
@plain_build_only
def test_stub_accepts_and_rejects(mypy, tmp_path):
    (tmp_path / "usage.py").write_text(USAGE, encoding="utf-8")
    result = mypy("usage.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr

"""A lodex index split into shards held by Dask workers: rows routed by id, searches scattered and merged.

A thin coordinator: each shard is an ordinary `lodex.Index` inside a Dask actor, and every score comes
from a shard. This module only checks arguments, moves arrays, merges top-k lists and keeps the files.
"""

from __future__ import annotations

import json
import operator
import os
import re
import secrets
import sys
import time
from collections import deque
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
from numpy.typing import NDArray

import lodex

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["LostShardsError", "PartialBatchError", "ShardError", "ShardTimeoutError", "ShardedIndex", "route"]

Ids = Sequence[int] | NDArray[np.integer[Any]]

MANIFEST = "manifest.json"
MANIFEST_FORMAT = "lodex-sharded"
MANIFEST_VERSION = 1
ROUTING = "splitmix64"
DEFAULT_TIMEOUT = 120.0

# Rows travel in messages of about this many bytes, so a large batch streams
# (and shows progress) instead of travelling as one copy of the whole batch.
CHUNK_BYTES = 16 << 20
# Rounds of pieces that may be on their way at once.
CHUNKS_IN_FLIGHT = 3
# Below this many rows no progress bar is shown unless asked for.
PROGRESS_ROWS = 1_000_000

SHARD_FILE = re.compile(r"shard-\d{5}-[0-9a-f]{8}\.ldx")


# ---------------------------------------------------------------------------
# Errors.


class ShardError(RuntimeError):
    """A call failed on some shards; `shards` lists their numbers."""

    def __init__(self, message: str, shards: Sequence[int]) -> None:
        super().__init__(message)
        self.shards = tuple(shards)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.shards))


class LostShardsError(ShardError):
    """The workers holding these shards are gone, and their rows with them: load the last save."""


class ShardTimeoutError(ShardError, TimeoutError):
    """These shards did not answer within the index's timeout."""


class PartialBatchError(ShardError):
    """add_batch changed some shards but not all.

    `applied` lists the shards that took their rows. `shards` lists those that did not: each one
    failed as a whole, so it is unchanged, except those in `unanswered`, which did not answer in
    time and may still take their rows. The first failure is the exception's cause.
    """

    def __init__(
        self, message: str, shards: Sequence[int], applied: Sequence[int], unanswered: Sequence[int] = ()
    ) -> None:
        super().__init__(message, shards)
        self.applied = tuple(applied)
        self.unanswered = tuple(unanswered)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.shards, self.applied, self.unanswered))


def _numbers(shards: Sequence[int]) -> str:
    return ", ".join(str(s) for s in shards) or "none"


def _plural(items: Sequence[object]) -> str:
    return "s" if len(items) > 1 else ""


# ---------------------------------------------------------------------------
# Routing: a fixed function of the id, recorded by name in every manifest.

_U64 = np.uint64


def route(ids: NDArray[np.uint64], shards: int) -> NDArray[np.intp]:
    """The shard of each id: splitmix64's finalizer of the id, modulo the shard count.

    Mixing first spreads ids that share a pattern (consecutive ones, or multiples of the shard
    count) evenly. Saved collections depend on this function: it must never change.
    """
    z = ids.astype(_U64, copy=True)
    with np.errstate(over="ignore"):
        z += _U64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
    z ^= z >> _U64(31)
    return (z % _U64(shards)).astype(np.intp)


def _id_array(ids: Any) -> NDArray[np.uint64]:
    """Ids that a lodex.Index call has accepted, as the same values in a uint64 array."""
    if isinstance(ids, np.ndarray):
        return ids.astype(_U64, copy=False)
    try:
        return np.array(ids, dtype=_U64).reshape(-1)
    except (TypeError, ValueError, OverflowError):  # elements that are integers only through __index__
        return np.fromiter(map(operator.index, ids), dtype=_U64)


def _split(shard_of: NDArray[np.intp], shards: int) -> list[NDArray[np.intp]]:
    """Row numbers of each shard, in their original order (so rows of one id keep theirs)."""
    order = np.argsort(shard_of, kind="stable")
    ends = np.cumsum(np.bincount(shard_of, minlength=shards))
    return np.split(order, ends[:-1])


# ---------------------------------------------------------------------------
# Merging per-shard answers.


def merge_top_k(
    parts: Sequence[tuple[NDArray[np.uint64], NDArray[np.float32]]], k: int
) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
    """The best k of each query over every shard's (ids, scores), each row sorted best first.

    Each shard's list is its own exact top-k, so the overall top-k is among them. A stable sort on
    the negated scores keeps shard order among equal scores and puts NaN last. (A partition would
    be quicker for hundreds of shards, but would break ties at the k-th score arbitrarily.)
    """
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    keep = min(k, ids.shape[1])
    order = np.argsort(-scores, axis=1, kind="stable")[:, :keep]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


# ---------------------------------------------------------------------------
# The shard, a Dask actor on its worker. Dask runs one actor call at a time
# per worker, so the shards of one worker never compete for its cores.


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # a platform without affinity masks
        return os.cpu_count() or 1


class _Shard:
    """One shard's Index, on the worker at address `home`."""

    def __init__(self, home: str, threads: int, source: tuple[Any, ...]) -> None:
        from distributed import get_worker

        # Dask marks the actors of a lost worker as failed. Were it ever to
        # rebuild one elsewhere instead, that shard would be silently empty.
        here = get_worker().address
        if here != home:
            raise RuntimeError(f"shard built on {here}, not on its worker {home}: its rows are lost")
        self.index = lodex.Index.load(source[1]) if source[0] == "file" else lodex.Index(*source[1:])
        # The worker's share of the machine; None (the whole pool) when that is all of it.
        self.threads = threads if threads < _cpus() else None
        self.staged: dict[str, tuple[NDArray[np.uint64], NDArray[np.float32]]] = {}
        self.discarded: set[str] = set()  # batches given up: a piece arriving late is dropped

    def describe(self) -> tuple[dict[str, Any], int]:
        return dict(self.index.config), self.index.size

    def size(self) -> int:
        return self.index.size

    def contains(self, key: int) -> bool:
        return key in self.index

    def stage(self, token: str, rows: int, start: int, ids: NDArray[np.uint64], vectors: NDArray[np.float32]) -> None:
        """Puts a piece of a batch aside; nothing reaches the index before `commit`."""
        if token in self.discarded:
            return
        if token not in self.staged:
            dim = self.index.config["dim"]
            self.staged[token] = (np.empty(rows, dtype=_U64), np.empty((rows, dim), dtype=np.float32))
        staged_ids, staged_vectors = self.staged[token]
        staged_ids[start : start + len(ids)] = ids
        staged_vectors[start : start + len(ids)] = vectors

    def commit(self, token: str) -> int:
        """Adds a staged batch with one Index.add_batch: all of it or, when that fails, none."""
        ids, vectors = self.staged.pop(token)
        self.index.add_batch(ids, vectors)
        return len(ids)

    def discard(self, token: str) -> None:
        self.staged.pop(token, None)
        self.discarded.add(token)

    def search_batch(
        self, queries: NDArray[np.float32], k: int, allow: NDArray[np.uint64] | None
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        # Arrays rebuilt from Dask's messages may start at any byte; the Index
        # reads floats in place and needs them at float alignment.
        queries = np.require(queries, requirements=["C_CONTIGUOUS", "ALIGNED"])
        return self.index.search_batch(queries, k, allow=allow, threads=self.threads)

    def remove(self, ids: NDArray[np.uint64]) -> int:
        return self.index.remove(ids)

    def save(self, path: str) -> int:
        # One actor call at a time: no batch lands between the save and the count.
        self.index.save(path)
        return self.index.size


class _Pending(Protocol):
    """What Dask hands back for an actor call."""

    def done(self) -> bool: ...
    def result(self, timeout: float | None = None) -> Any: ...


Started = dict[int, "_Pending | BaseException"]


# ---------------------------------------------------------------------------
# Progress.


class _Bar(Protocol):
    def update(self, n: int) -> object: ...


class _NoBar:
    def update(self, n: int) -> None:
        pass


@contextmanager
def _progress(progress: bool | None, rows: int, what: str) -> Iterator[_Bar]:
    """A tqdm bar over `rows` when asked for, or by default on a terminal for large collections."""
    show = progress if progress is not None else rows >= PROGRESS_ROWS and sys.stderr.isatty()
    if not show:
        yield _NoBar()
        return
    from tqdm import tqdm  # type: ignore[import-untyped]  # (tqdm ships no annotations)

    with tqdm(total=rows, desc=what, unit="rows", unit_scale=True) as bar:
        yield bar


# ---------------------------------------------------------------------------
# Checks lodex.Index makes in C++, repeated with the same types and texts
# where the rows must be split before any shard sees them.


def _check_vectors(vectors: Any, rows: int, dim: int) -> NDArray[np.float32]:
    """`vectors` for `rows` ids, checked in Index.add_batch's order (the length first)."""
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2 and vectors.shape[0] != rows:
        raise ValueError(f"ids length {rows} != row count {vectors.shape[0]}")
    if not (isinstance(vectors, np.ndarray) and vectors.ndim == 2 and vectors.dtype == np.float32):
        raise TypeError(f"argument 'vectors': '{type(vectors).__name__}' object cannot be converted to 'PyArray<T, D>'")
    n, cols = vectors.shape
    if cols != dim:
        raise ValueError(f"vector dimension {cols} != index dimension {dim}")
    # The strides Index.add_batch accepts: it reads the rows in place as one run.
    steps_ok = (cols == 1 or vectors.strides[1] == 4) and (n == 1 or vectors.strides[0] == cols * 4)
    if not (n == 0 or cols == 0 or steps_ok):
        raise ValueError("vectors array must be C-contiguous (row-major)")
    return vectors


def _check_directory(directory: object) -> str:
    if not isinstance(directory, str):
        raise TypeError(f"argument 'directory': '{type(directory).__name__}' object cannot be converted to 'PyString'")
    # Workers resolve relative paths against their own working directory.
    return os.path.abspath(directory)


# ---------------------------------------------------------------------------
# The sharded index.


class ShardedIndex:
    """An index whose rows live in lodex.Index shards on the workers of a Dask cluster.

    The methods mirror lodex.Index's, with the same checks and the same shapes and types of result,
    so one can stand in for the other. Each row goes to the shard `route` picks from its id, so all
    rows of an id live in one shard. A search runs on every shard and merges their top-k lists: for
    distinct scores the answer equals that of one Index holding every row. Every wait is bounded by
    `timeout` seconds. Once a worker holding a shard is gone, every call raises LostShardsError
    naming the lost shards, never a partial answer; `load` the last save to go on.

    Several threads may call one ShardedIndex at once, but unlike one Index it has no lock across
    shards: a search that overlaps an add_batch or a remove may see it on some shards only.
    """

    def __init__(
        self,
        client: Client,
        shards: int,
        dim: int,
        bits: int,
        use_qjl: bool,
        seed: int,
        *,
        timeout: float = DEFAULT_TIMEOUT,
    ) -> None:
        # An empty local Index checks the parameters as Index does, and later
        # the arguments of every call, at no cost.
        probe = lodex.Index(dim, bits, use_qjl, seed)
        count = operator.index(shards)
        if count < 1:
            raise ValueError(f"shards must be at least 1, got {count}")
        self._setup(client, probe, timeout)
        c = probe.config
        source = ("new", c["dim"], c["bits"], c["use_qjl"], c["seed"])
        self._place([source] * count, rows=[0] * count, progress=False)

    def _setup(self, client: Client, probe: lodex.Index, timeout: float) -> None:
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, got {timeout!r}")
        self._client = client
        self._probe = probe
        self._timeout = float(timeout)
        self._lost: tuple[int, ...] = ()

    def _place(self, sources: list[tuple[Any, ...]], rows: list[int], progress: bool | None) -> None:
        """Builds one shard per source, round-robin over the workers, and waits for all of them."""
        workers = self._workers()
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        addresses = sorted(workers)
        self._homes = [addresses[i % len(addresses)] for i in range(len(sources))]
        tag = secrets.token_hex(4)
        self._futures = [
            self._client.submit(
                _Shard,
                home,
                int(workers[home].get("nthreads", 1)),
                source,
                actor=True,
                workers=[home],
                allow_other_workers=True,
                pure=False,
                key=f"lodex-shard-{tag}-{i}",
            )
            for i, (home, source) in enumerate(zip(self._homes, sources))
        ]
        self._actors: list[Any] = []
        deadline = time.monotonic() + self._timeout
        with _progress(progress, sum(rows), "loading shards") as bar:
            for i, future in enumerate(self._futures):
                try:
                    self._actors.append(future.result(timeout=max(deadline - time.monotonic(), 0.0)))
                except TimeoutError as exc:
                    raise ShardTimeoutError(f"shard {i} was not ready within {self._timeout:g} s", [i]) from exc
                except Exception as exc:
                    exc.add_note(f"while building shard {i} on {self._homes[i]}")
                    raise
                bar.update(rows[i])

    # -- calls to shards ----------------------------------------------------

    def _workers(self) -> dict[str, dict[str, Any]]:
        """The scheduler's current workers by address (Client.scheduler_info, but with a time-out)."""
        client = self._client
        if client.scheduler is None:
            raise RuntimeError("the Dask client is closed")
        ask = client.scheduler.identity
        identity = client.sync(ask, n_workers=-1, callback_timeout=self._timeout)  # type: ignore[no-untyped-call]
        return dict(identity["workers"])

    def _call(self, method: str, calls: dict[int, tuple[Any, ...]]) -> dict[int, Any]:
        """Runs `method` on the given shards at once; each shard's answer, or the failure raised."""
        answers, failures = self._gather(self._start(method, calls))
        if failures:
            self._raise(failures)
        return answers

    def _start(self, method: str, calls: dict[int, tuple[Any, ...]]) -> Started:
        if self._lost:
            raise LostShardsError(self._lost_message(self._lost), self._lost)
        started: Started = {}
        for shard, args in calls.items():
            try:
                started[shard] = getattr(self._actors[shard], method)(*args)
            except Exception as exc:  # Dask refuses calls to an actor it knows is lost
                started[shard] = exc
        return started

    def _gather(self, started: Started) -> tuple[dict[int, Any], dict[int, BaseException]]:
        answers: dict[int, Any] = {}
        failures: dict[int, BaseException] = {}
        deadline = time.monotonic() + self._timeout
        for shard, pending in started.items():
            if isinstance(pending, BaseException):
                failures[shard] = pending
                continue
            try:
                wait = None if pending.done() else max(deadline - time.monotonic(), 0.0)
                answers[shard] = pending.result(timeout=wait)
            except Exception as exc:
                failures[shard] = exc
        return answers, failures

    def _raise(self, failures: dict[int, BaseException]) -> None:
        """Raises what the failures amount to: lost shards first, then time-outs, then a shard's own error."""
        lost = self._check_lost(failures)
        if lost:
            raise LostShardsError(self._lost_message(lost), lost) from next(iter(failures.values()))
        late = sorted(s for s, exc in failures.items() if isinstance(exc, TimeoutError))
        if late:
            message = f"shard{_plural(late)} {_numbers(late)} did not answer within {self._timeout:g} s"
            raise ShardTimeoutError(message, late)
        # An error of the shard's own Index: the one a single Index would raise.
        shard, exc = min(failures.items())
        exc.add_note(f"raised by shard {shard} on {self._homes[shard]}")
        raise exc

    def _check_lost(self, failures: dict[int, BaseException]) -> tuple[int, ...]:
        """Shards whose worker is gone or cannot be reached. Once one is lost, the index stays broken."""
        from distributed.comm.core import CommClosedError

        try:
            live = set(self._workers())
        except Exception:  # the scheduler itself is unreachable: so is every shard
            live = set()
        lost = {
            i for i, (home, future) in enumerate(zip(self._homes, self._futures))
            if home not in live or future.status != "finished"
        }
        for shard, exc in failures.items():
            # The two ways Dask reports an actor it cannot reach.
            unreachable = isinstance(exc, CommClosedError) or (
                type(exc) is OSError and str(exc) == "Unable to contact Actor's worker"
            )
            if unreachable or (type(exc) is RuntimeError and str(exc).startswith("Worker holding Actor was lost")):
                lost.add(shard)
        if lost:
            self._lost = tuple(sorted(lost))
        return self._lost

    def _lost_message(self, lost: Sequence[int]) -> str:
        workers = sorted({self._homes[s] for s in lost})
        return (
            f"lost shard{_plural(lost)} {_numbers(lost)} of {len(self._homes)}: worker{_plural(workers)} "
            f"{', '.join(workers)} gone or unreachable; load the last save with ShardedIndex.load"
        )

    # -- the Index surface ----------------------------------------------------

    def add_batch(self, ids: Ids, vectors: NDArray[np.float32], *, progress: bool | None = None) -> None:
        """Add one row per id from a C-contiguous float32 array of shape (n, dim), as Index.add_batch.

        The arguments are checked as Index checks them before any shard is contacted. The rows then
        travel to their shards in pieces (followed by a progress bar when `progress` is true, or by
        default on a terminal for a million rows or more) and are put aside there: a failure while
        they travel changes no shard. Last, every shard adds its rows with one Index.add_batch,
        which takes all of them or none. Should that step fail on some shards only,
        PartialBatchError names exactly the shards that took their rows (`applied`) and the others.
        """
        self._probe.remove(ids)  # Index's own checks and messages for ids; the probe holds no rows
        id_values = _id_array(ids)
        rows = _check_vectors(vectors, len(id_values), self._probe.config["dim"])
        by_shard = _split(route(id_values, len(self._homes)), len(self._homes))
        parts = [(s, r) for s, r in enumerate(by_shard) if len(r)]
        if not parts:
            return
        token = secrets.token_hex(8)
        try:
            self._stage(token, parts, id_values, rows, progress)
        except BaseException:
            if not self._lost:  # drop what did arrive; a failure here must not hide the first one
                self._gather(self._start("discard", {s: (token,) for s, _ in parts}))
            raise
        answers, failures = self._gather(self._start("commit", {s: (token,) for s, _ in parts}))
        if not failures:
            return
        unanswered = sorted(s for s, e in failures.items() if isinstance(e, TimeoutError))
        if self._check_lost(failures) or (not answers and not unanswered):
            # Lost shards (the index must be loaded again anyway), or every
            # shard refused its rows, so that nothing changed anywhere.
            self._raise(failures)
        first = failures[min(failures)]
        raise PartialBatchError(
            f"add_batch reached shards {_numbers(sorted(answers))} but not {_numbers(sorted(failures))}: "
            f"{type(first).__name__}: {first}",
            sorted(failures),
            sorted(answers),
            unanswered,
        ) from first

    def _stage(
        self,
        token: str,
        parts: list[tuple[int, NDArray[np.intp]]],
        ids: NDArray[np.uint64],
        vectors: NDArray[np.float32],
        progress: bool | None,
    ) -> None:
        """Sends every shard its rows in pieces, a few rounds of pieces on their way at once."""
        chunk = max(1, CHUNK_BYTES // (vectors.shape[1] * 4 + 8))
        longest = max(len(rows) for _, rows in parts)
        in_flight: deque[tuple[Started, int]] = deque()
        with _progress(progress, len(ids), "adding rows") as bar:
            for start in range(0, longest, chunk):
                calls: dict[int, tuple[Any, ...]] = {}
                for shard, rows in parts:
                    piece = rows[start : start + chunk]
                    if len(piece):
                        calls[shard] = (token, len(rows), start, ids[piece], vectors[piece])
                in_flight.append((self._start("stage", calls), sum(len(c[3]) for c in calls.values())))
                last = start + chunk >= longest
                while len(in_flight) > CHUNKS_IN_FLIGHT or (last and in_flight):
                    started, moved = in_flight.popleft()
                    _, failures = self._gather(started)
                    if failures:
                        for rest, _ in in_flight:  # let the pieces on their way land before they are discarded
                            self._gather(rest)
                        self._raise(failures)
                    bar.update(moved)

    def search_batch(
        self, queries: NDArray[np.float32], k: int, *, allow: Ids | None = None
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """The k best rows of every query over all shards: (ids, scores), each of shape (n, m).

        As Index.search_batch: m = min(k, searchable rows), each row sorted by descending score,
        uint64 ids and float32 scores; `allow` limits the search to the rows with those ids.
        """
        self._probe.search_batch(queries, k, allow=allow)  # Index's checks; the probe holds no rows
        queries = np.ascontiguousarray(queries)
        shards = len(self._homes)
        if allow is None:
            calls: dict[int, tuple[Any, ...]] = {s: (queries, k, None) for s in range(shards)}
        else:
            # A shard needs only the allowed ids that live in it.
            allowed = _id_array(allow)
            by_shard = _split(route(allowed, shards), shards)
            calls = {s: (queries, k, allowed[rows]) for s, rows in enumerate(by_shard)}
        answers = self._call("search_batch", calls)
        return merge_top_k([answers[s] for s in range(shards)], k)

    def search(self, query: NDArray[np.float32], k: int) -> list[tuple[int, float]]:
        """The k stored rows scoring highest against `query`, as (id, score), best first (as Index.search)."""
        self._probe.search(query, k)
        ids, scores = self.search_batch(np.ascontiguousarray(query).reshape(1, -1), k)
        return list(zip(ids[0].tolist(), scores[0].tolist()))

    def remove(self, ids: Ids) -> int:
        """Remove every row whose id is listed; return how many rows went (as Index.remove)."""
        self._probe.remove(ids)
        values = _id_array(ids)
        by_shard = _split(route(values, len(self._homes)), len(self._homes))
        answers = self._call("remove", {s: (values[rows],) for s, rows in enumerate(by_shard) if len(rows)})
        return sum(answers.values())

    @property
    def size(self) -> int:
        """Number of stored vectors, over all shards."""
        return sum(self._call("size", {s: () for s in range(len(self._homes))}).values())

    def __len__(self) -> int:
        return self.size

    def __bool__(self) -> bool:
        # As Index: true even when empty.
        return True

    def __contains__(self, key: object) -> bool:
        # As Index: anything that is not an id (an integer in 0 .. 2**64-1) is simply absent.
        try:
            value = operator.index(key)  # type: ignore[arg-type]
        except TypeError:
            return False
        if not 0 <= value < 1 << 64:
            return False
        shard = int(route(np.array([value], dtype=_U64), len(self._homes))[0])
        return bool(self._call("contains", {shard: (value,)})[shard])

    @property
    def config(self) -> dict[str, Any]:
        """A new dict of the four construction parameters, as Index.config."""
        return dict(self._probe.config)

    @property
    def shards(self) -> int:
        """Number of shards."""
        return len(self._homes)

    @property
    def shard_workers(self) -> tuple[str, ...]:
        """The address of the worker holding each shard."""
        return tuple(self._homes)

    def __repr__(self) -> str:
        c = self._probe.config
        qjl = "true" if c["use_qjl"] else "false"
        return f"lodex_dask.ShardedIndex(dim={c['dim']}, bits={c['bits']}, shards={self.shards}, use_qjl={qjl})"

    # -- files ------------------------------------------------------------------

    def save(self, directory: str) -> None:
        """Write one .ldx file per shard into `directory`, then the manifest that names them.

        Each shard's worker writes its file (atomically, as Index.save) under a name new to this
        save; the manifest is replaced last, atomically, and only then are the previous save's shard
        files deleted. A save that fails part-way leaves the previous one whole. The workers must
        be able to write `directory` under the same path (one machine, or a shared file system).
        """
        directory = _check_directory(directory)
        os.makedirs(directory, exist_ok=True)
        generation = secrets.token_hex(4)
        files = [f"shard-{s:05d}-{generation}.ldx" for s in range(len(self._homes))]
        rows = self._call("save", {s: (os.path.join(directory, name),) for s, name in enumerate(files)})
        manifest = {
            "format": MANIFEST_FORMAT,
            "version": MANIFEST_VERSION,
            **self._probe.config,
            "routing": ROUTING,
            "shard_count": len(files),
            "shards": [{"file": name, "rows": rows[s]} for s, name in enumerate(files)],
        }
        _write_atomically(os.path.join(directory, MANIFEST), json.dumps(manifest, indent=1).encode())
        for name in os.listdir(directory):
            if SHARD_FILE.fullmatch(name) and name not in files:
                os.remove(os.path.join(directory, name))

    @classmethod
    def load(
        cls, client: Client, directory: str, *, timeout: float = DEFAULT_TIMEOUT, progress: bool | None = None
    ) -> ShardedIndex:
        """Read a sharded index that `save` wrote; each shard is read by the worker that will hold it.

        Shards are spread over the cluster's current workers, whatever their number. The workers
        must be able to read `directory` under the same path. Raises ValueError for a manifest that
        `save` did not write and FileNotFoundError naming any missing shard file; a progress bar
        follows the shards as they load when `progress` is true (by default, on a terminal for a
        million rows or more).
        """
        directory = _check_directory(directory)
        manifest = _read_manifest(os.path.join(directory, MANIFEST))
        shards = manifest["shards"]
        paths = [os.path.join(directory, shard["file"]) for shard in shards]
        missing = [s for s, path in enumerate(paths) if not os.path.isfile(path)]
        if missing:
            names = ", ".join(f"shard {s} ({paths[s]})" for s in missing)
            raise FileNotFoundError(f"missing shard file{_plural(missing)}: {names}")
        probe = lodex.Index(manifest["dim"], manifest["bits"], manifest["use_qjl"], manifest["seed"])
        self = cls.__new__(cls)
        self._setup(client, probe, timeout)
        self._place([("file", path) for path in paths], rows=[s["rows"] for s in shards], progress=progress)
        # A shard file replaced since the save would no longer match the manifest.
        for s, (config, size) in sorted(self._call("describe", {s: () for s in range(len(paths))}).items()):
            if config != probe.config or size != shards[s]["rows"]:
                raise ValueError(
                    f"shard {s} ({paths[s]}) holds {size} rows with {config}; "
                    f"the manifest says {shards[s]['rows']} rows with {probe.config}"
                )
        return self


# ---------------------------------------------------------------------------
# The manifest.


def _write_atomically(path: str, data: bytes) -> None:
    """Replaces `path` by `data` so that a crash leaves the old file or the new one, never a mix."""
    temporary = f"{path}.{secrets.token_hex(4)}.tmp"
    try:
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
    # The rename itself is durable only once the directory is.
    descriptor = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _read_manifest(path: str) -> dict[str, Any]:
    with open(path, "rb") as f:
        text = f.read()

    def invalid(why: str) -> ValueError:
        return ValueError(f"invalid manifest {path}: {why}")

    try:
        manifest = json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise invalid("not JSON") from exc
    if not isinstance(manifest, dict) or manifest.get("format") != MANIFEST_FORMAT:
        raise invalid(f"format is not {MANIFEST_FORMAT!r}")
    if manifest.get("version") != MANIFEST_VERSION:
        raise invalid(f"version {manifest.get('version')!r}; this lodex_dask reads version {MANIFEST_VERSION}")
    if manifest.get("routing") != ROUTING:
        raise invalid(f"routing {manifest.get('routing')!r}; this lodex_dask routes by {ROUTING!r}")
    for key, kind in (("dim", int), ("bits", int), ("use_qjl", bool), ("seed", int)):
        if type(manifest.get(key)) is not kind:
            raise invalid(f"{key} missing or not {kind.__name__}")
    shards = manifest.get("shards")
    if not isinstance(shards, list) or not shards:
        raise invalid("no shard list")
    if manifest.get("shard_count") != len(shards):
        raise invalid(f"shard_count {manifest.get('shard_count')!r}, but {len(shards)} shards are listed")
    for s, shard in enumerate(shards):
        if not (
            isinstance(shard, dict)
            and isinstance(shard.get("file"), str)
            and SHARD_FILE.fullmatch(shard["file"])
            and type(shard.get("rows")) is int
            and shard["rows"] >= 0
        ):
            raise invalid(f"shard {s} needs a shard file name and a row count")
    return manifest

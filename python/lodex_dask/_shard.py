"""One shard on its worker: a lodex.Index inside a Dask actor, and the checks that a shard read
from a file is the one the manifest puts in its place.

This code runs on the workers. No method lets a lodex.InternalFault out: it travels home as a
CarriedFault, an ordinary exception Dask hands back at once.
"""

from __future__ import annotations

import functools
import hashlib
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ParamSpec, TypeVar

import numpy as np
from numpy.typing import NDArray

import lodex

from ._errors import CarriedFault
from ._routing import route

# The .ldx layout the id check reads: a 52-byte header, then the u64 ids of every row, in
# little-endian order.
IDS_OFFSET = 52
# Ids checked at a time: the check's memory stays small for a shard of any size.
ID_CHUNK = 1 << 20


@dataclass(frozen=True)
class NewShard:
    config: dict[str, Any]


@dataclass(frozen=True)
class SavedShard:
    """A shard file and what the manifest says of it: its place among `shards`, its row count and
    parameters, and (checked only when given) its sha256."""

    path: str
    position: int
    shards: int
    rows: int
    config: dict[str, Any]
    sha256: str | None = None


def sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def _misrouted(path: str, rows: int, position: int, shards: int) -> tuple[int, int] | None:
    """The first id of the file's `rows` rows that routes to a shard other than `position`, and that shard."""
    with open(path, "rb") as f:
        f.seek(IDS_OFFSET)
        for start in range(0, rows, ID_CHUNK):
            ids = np.fromfile(f, dtype="<u8", count=min(ID_CHUNK, rows - start))
            where = route(ids, shards)
            wrong = np.flatnonzero(where != position)
            if len(wrong):
                return int(ids[wrong[0]]), int(where[wrong[0]])
    return None


def _load(source: SavedShard) -> lodex.Index:
    """The shard's Index, once it is known to be the one saved in its place (else ValueError)."""
    where = f"shard {source.position} ({source.path})"
    if source.sha256 is not None:
        digest = sha256(source.path)
        if digest != source.sha256:
            raise ValueError(f"{where}: sha256 {digest}, the manifest says {source.sha256}: the file changed since its save")
    index = lodex.Index.load(source.path)
    if index.config != source.config or index.size != source.rows:
        raise ValueError(
            f"{where} holds {index.size} rows with {index.config}; "
            f"the manifest says {source.rows} rows with {source.config}"
        )
    # Row counts alone cannot tell two shards of equal size apart, nor a save whose shard list
    # was shortened; every id routes to one place only.
    misrouted = _misrouted(source.path, index.size, source.position, source.shards)
    if misrouted is not None:
        raise ValueError(
            f"{where} holds id {misrouted[0]}, which routes to shard {misrouted[1]} of {source.shards}: "
            "its file is not the one saved in that place"
        )
    return index


P = ParamSpec("P")
R = TypeVar("R")


def _carries_faults(method: Callable[P, R]) -> Callable[P, R]:
    @functools.wraps(method)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        try:
            return method(*args, **kwargs)
        except lodex.InternalFault as fault:
            raise CarriedFault(str(fault)) from None

    return call


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # a platform without affinity masks
        return os.cpu_count() or 1


class Shard:
    """One shard's Index, on the worker at address `home`. Dask runs one actor call at a time
    per worker, so the shards of one worker never compete for its cores."""

    @_carries_faults
    def __init__(self, home: str, threads: int, source: NewShard | SavedShard) -> None:
        from distributed import get_worker

        # Dask marks the actors of a lost worker as failed. Were it ever to
        # rebuild one elsewhere instead, that shard would be silently empty.
        here = get_worker().address
        if here != home:
            raise RuntimeError(f"shard built on {here}, not on its worker {home}: its rows are lost")
        self.index = _load(source) if isinstance(source, SavedShard) else lodex.Index(**source.config)
        # The worker's share of the machine; None (the whole pool) when that is all of it.
        self.threads = threads if threads < _cpus() else None
        self.staged: dict[str, tuple[NDArray[np.uint64], NDArray[np.float32]]] = {}
        self.discarded: set[str] = set()  # batches given up: a piece arriving late is dropped

    @_carries_faults
    def size(self) -> int:
        return self.index.size

    @_carries_faults
    def contains(self, key: int) -> bool:
        return key in self.index

    @_carries_faults
    def stage(self, token: str, rows: int, start: int, ids: NDArray[np.uint64], vectors: NDArray[np.float32]) -> None:
        """Puts a piece of a batch aside; nothing reaches the index before `commit`."""
        if token in self.discarded:
            return
        if token not in self.staged:
            dim = self.index.config["dim"]
            self.staged[token] = (np.empty(rows, dtype=np.uint64), np.empty((rows, dim), dtype=np.float32))
        staged_ids, staged_vectors = self.staged[token]
        staged_ids[start : start + len(ids)] = ids
        staged_vectors[start : start + len(ids)] = vectors

    @_carries_faults
    def commit(self, token: str) -> int:
        """Adds a staged batch with one Index.add_batch: all of it or, when that fails, none."""
        ids, vectors = self.staged.pop(token)
        self.index.add_batch(ids, vectors)
        return len(ids)

    @_carries_faults
    def discard(self, token: str) -> None:
        self.staged.pop(token, None)
        self.discarded.add(token)

    @_carries_faults
    def search_batch(
        self, queries: NDArray[np.float32], k: int, allow: NDArray[np.uint64] | None
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        # Arrays rebuilt from Dask's messages may start at any byte; the Index
        # reads floats in place and needs them at float alignment.
        queries = np.require(queries, requirements=["C_CONTIGUOUS", "ALIGNED"])
        return self.index.search_batch(queries, k, allow=allow, threads=self.threads)

    @_carries_faults
    def remove(self, ids: NDArray[np.uint64]) -> int:
        return self.index.remove(ids)

    @_carries_faults
    def save(self, path: str) -> tuple[int, str]:
        """Writes the shard's file; its row count and sha256, for the manifest."""
        # One actor call at a time: no batch lands between the save and the count.
        self.index.save(path)
        return self.index.size, sha256(path)

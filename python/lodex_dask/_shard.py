"""One shard on its worker: a lodex.Index inside a Dask actor, and the checks that a shard read
from a file is the one the manifest puts in its place.

This code runs on the workers. No method lets a lodex.InternalFault out: it travels home as a
CarriedFault, an ordinary exception Dask hands back at once.
"""

from __future__ import annotations

import functools
import hashlib
import math
import os
import struct
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, BinaryIO, ParamSpec, TypeVar

import numpy as np
from numpy.typing import NDArray

import lodex

from ._errors import CarriedFault
from ._routing import route

# Where a file's u64 ids start, by its magic: right after the 52-byte header of an .ldx file; at
# the offset a mappable file's header holds at byte 72. Either way n little-endian ids follow.
LDX_MAGIC = b"LDXI"
LDX_IDS_OFFSET = 52
MAPPABLE_MAGIC = b"LDXM"
MAPPABLE_IDS_FIELD = 72
# Originals files a shard keeps mapped for re-ranking, the ones used last.
ORIGINALS_KEPT = 4
# Ids checked at a time: the check's memory stays small for a shard of any size.
ID_CHUNK = 1 << 20
# Ids a mapped load checks: one 4 KiB read. A file in another shard's place (or under another
# shard count) has about half its ids, or more, routing elsewhere: 512 of them never all miss.
ID_SAMPLE = 512


@dataclass(frozen=True)
class NewShard:
    config: dict[str, Any]
    options: dict[str, Any]  # metric, rotation, center: Index's keyword-only parameters


@dataclass(frozen=True)
class SavedShard:
    """A shard file and what the manifest says of it: its place among `shards`, its row count,
    parameters and (when recorded) byte length, and (checked only when given) its sha256.

    `mmap` serves the file from a read-only map; `verify_ids` checks every id's shard rather
    than the first ID_SAMPLE ids' (see _load)."""

    path: str
    position: int
    shards: int
    rows: int
    config: dict[str, Any]
    options: dict[str, Any]
    sha256: str | None = None
    size: int | None = None
    mmap: bool = False
    warm: bool = False
    verify_ids: bool = True


def sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def _ids_offset(f: BinaryIO) -> int:
    head = f.read(MAPPABLE_IDS_FIELD + 8)
    if head[:4] == MAPPABLE_MAGIC and len(head) == MAPPABLE_IDS_FIELD + 8:
        return int(struct.unpack_from("<Q", head, MAPPABLE_IDS_FIELD)[0])
    return LDX_IDS_OFFSET  # Index.load has already refused anything that is neither format


def _misrouted(path: str, rows: int, position: int, shards: int) -> tuple[int, int] | None:
    """The first id of the file's `rows` rows that routes to a shard other than `position`, and that shard."""
    with open(path, "rb") as f:
        f.seek(_ids_offset(f))
        for start in range(0, rows, ID_CHUNK):
            ids = np.fromfile(f, dtype="<u8", count=min(ID_CHUNK, rows - start))
            where = route(ids, shards)
            wrong = np.flatnonzero(where != position)
            if len(wrong):
                return int(ids[wrong[0]]), int(where[wrong[0]])
    return None


def options_of(index: lodex.Index) -> dict[str, Any]:
    center = index.center
    return {"metric": index.metric, "rotation": index.rotation, "center": None if center is None else center.tolist()}


def _load(source: SavedShard) -> lodex.Index:
    """The shard's Index, once it is known to be the one saved in its place (else ValueError).

    A file read into memory has had every byte read already, so reading its ids again to check
    their shard costs little more. A mapped file is the opposite: opening it reads its header
    only, and a restarted worker should be serving again at once. There the checks are what the
    header holds (parameters, row count), the file's length against the manifest's, and the
    shard of the first ID_SAMPLE ids (one page): a file in the wrong place fails them all but
    surely, and `verify` (which reads everything) checks every id.
    """
    where = f"shard {source.position} ({source.path})"
    if source.sha256 is not None:
        digest = sha256(source.path)
        if digest != source.sha256:
            raise ValueError(
                f"{where}: sha256 {digest}, the manifest says {source.sha256}: the file changed since its save"
            )
    # A damaged file fails as Index.load says first; one that loads must still have its length.
    index = lodex.Index.load(source.path, mmap=True, warm=source.warm) if source.mmap else lodex.Index.load(source.path)
    if source.size is not None and os.path.getsize(source.path) != source.size:
        raise ValueError(
            f"{where} is {os.path.getsize(source.path)} bytes long, the manifest says {source.size}: "
            "the file changed since its save"
        )
    if index.config != source.config or index.size != source.rows or options_of(index) != source.options:
        found = {**index.config, **options_of(index)}
        expected = {**source.config, **source.options}
        raise ValueError(
            f"{where} holds {index.size} rows with {found}; the manifest says {source.rows} rows with {expected}"
        )
    # Row counts alone cannot tell two shards of equal size apart, nor a save whose shard list
    # was shortened; every id routes to one place only.
    checked = index.size if source.verify_ids else min(index.size, ID_SAMPLE)
    misrouted = _misrouted(source.path, checked, source.position, source.shards)
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
        if isinstance(source, SavedShard):
            self.index = _load(source)
        else:
            self.index = lodex.Index(**source.config, **_index_options(source.options))
        # The worker's share of the machine; None (the whole pool) when that is all of it.
        self.threads = threads if threads < _cpus() else None
        self.staged: dict[str, tuple[NDArray[np.uint64], NDArray[np.float32]]] = {}
        self.discarded: set[str] = set()  # batches given up: a piece arriving late is dropped
        # Re-ranking sources by path, each with the file's identity when it was mapped.
        self.originals: dict[str, tuple[tuple[int, ...], NDArray[Any]]] = {}

    @_carries_faults
    def center_on(self, options: dict[str, Any]) -> None:
        """Rebuilds the still empty index with the centre its coordinator fixed from the first batch."""
        if self.index.size:
            raise RuntimeError("the shard holds rows: its centre can no longer change")
        self.index = lodex.Index(**self.index.config, **_index_options(options))

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
    def add_nothing(self) -> None:
        """Index.add_batch of no rows: what it raises for a read-only map, before any row travels."""
        self.index.add_batch(np.empty(0, dtype=np.uint64), np.empty((0, self.index.config["dim"]), dtype=np.float32))

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

    def _threads(self, threads: int | None) -> int | None:
        return self.threads if threads is None else threads

    @_carries_faults
    def search_batch(
        self, queries: NDArray[np.float32], k: int, allow: NDArray[np.uint64] | None, threads: int | None = None
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        # Arrays rebuilt from Dask's messages may start at any byte; the Index
        # reads floats in place and needs them at float alignment.
        queries = np.require(queries, requirements=["C_CONTIGUOUS", "ALIGNED"])
        return self.index.search_batch(queries, k, allow=allow, threads=self._threads(threads))

    @_carries_faults
    def search_range(
        self, queries: NDArray[np.float32], threshold: float, allow: NDArray[np.uint64] | None, threads: int | None
    ) -> tuple[NDArray[np.uint64], NDArray[np.uint64], NDArray[np.float32]]:
        queries = np.require(queries, requirements=["C_CONTIGUOUS", "ALIGNED"])
        return self.index.search_range(queries, threshold, allow=allow, threads=self._threads(threads))

    def _originals(self, path: str) -> NDArray[Any]:
        """The .npy file at `path`, memory-mapped once and mapped again when the file is replaced."""
        status = os.stat(path)
        identity = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)
        known = self.originals.get(path)
        if known is None or known[0] != identity:
            self.originals.pop(path, None)
            if len(self.originals) >= ORIGINALS_KEPT:  # let go of the map used longest ago
                del self.originals[next(iter(self.originals))]
            known = (identity, np.load(path, mmap_mode="r", allow_pickle=False))
        else:
            del self.originals[path]  # kept in order of use: it goes back at the end
        self.originals[path] = known
        return known[1]

    @_carries_faults
    def exact_scores(
        self, queries: NDArray[np.float32], candidates: list[NDArray[np.uint64]], path: str, threads: int | None
    ) -> tuple[int, list[NDArray[np.float32]]]:
        """Each query's exact score for each of its candidate ids here (query i's are candidates[i]),
        as Index's re-ranking computes it from the originals at `path`; and how many rows those hold.

        The scores come from Index itself: a search allowed only the candidates re-ranks every one
        of them. An allowed search costs a pass over the shard's ids, so queries go in groups
        sharing one allow list (their candidates together); but each query of a group then
        scores the whole group's candidates, so groups stay near the size that balances the two
        costs. An id past the originals' rows gets NaN: the client names the first such id, in
        the order one Index meets it.
        """
        originals = self._originals(path)
        rows = int(originals.shape[0]) if originals.ndim >= 1 else 0
        queries = np.require(queries, requirements=["C_CONTIGUOUS", "ALIGNED"])
        every = max(self.index.size, 1)  # at least the rows of any set of ids here
        per_query = max(1.0, sum(map(len, candidates)) / max(len(candidates), 1))
        # About 2 ns per id passed against 1 ns per coordinate of an exact score.
        group = max(1, int(math.sqrt(2 * every / (per_query * self.index.config["dim"]))))
        found: list[NDArray[np.float32]] = [np.full(len(wanted), np.nan, dtype=np.float32) for wanted in candidates]
        for start in range(0, len(candidates), group):
            wanted = candidates[start : start + group]
            known = np.unique(np.concatenate(wanted))
            known = known[known < rows]
            if not len(known):
                continue
            ids, exact = self.index.search_batch(
                queries[start : start + group], every, allow=known, threads=self._threads(threads),
                rerank=originals, candidates=every,
            )
            for row_ids, row_exact, want, scores in zip(ids, exact, wanted, found[start : start + group]):
                # Every row of an id has the id's one exact score: any of them will do.
                order = np.argsort(row_ids, kind="stable")
                at = np.minimum(np.searchsorted(row_ids, want, sorter=order), len(order) - 1)
                hit = row_ids[order[at]] == want
                scores[hit] = row_exact[order[at[hit]]]
        return rows, found

    @_carries_faults
    def get(self, ids: NDArray[np.uint64]) -> NDArray[np.float32] | int:
        """The rows of `ids`, or the first id no row has (the client names the first over all shards)."""
        try:
            return self.index.get(ids)
        except KeyError as missing:
            return int(missing.args[0])

    @_carries_faults
    def read_only(self) -> bool:
        return self.index.read_only
    @_carries_faults
    def remove(self, ids: NDArray[np.uint64]) -> int:
        return self.index.remove(ids)

    @_carries_faults
    def save(self, path: str, mappable: bool) -> tuple[int, str, int]:
        """Writes the shard's file; its row count, sha256 and length, for the manifest."""
        # One actor call at a time: no batch lands between the save and the count.
        self.index.save(path, mappable=mappable)
        return self.index.size, sha256(path), os.path.getsize(path)


def _index_options(options: dict[str, Any]) -> dict[str, Any]:
    """Index's keyword arguments from a manifest's options (the centre travels as a list)."""
    center = options["center"]
    return {**options, "center": None if center is None else np.asarray(center, dtype=np.float32)}

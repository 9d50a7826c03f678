"""The sharded index: the coordinator that checks arguments, moves arrays to the shards, merges
their answers and keeps the files. Every score comes from a shard; nothing here scores a row.
"""

from __future__ import annotations

import operator
import os
import secrets
import time
from collections import deque
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, Protocol

import numpy as np
from numpy.typing import NDArray

import lodex

from . import _arguments as check
from . import _manifest
from ._errors import LostShardsError, PartialBatchError, ShardTimeoutError, arrived, numbers, plural
from ._merge import merge_ranges, merge_top_k, rank_candidates
from ._progress import progress_bar
from ._routing import route, split
from ._shard import NewShard, SavedShard, Shard, options_of

if TYPE_CHECKING:
    from distributed import Client

Ids = Sequence[int] | NDArray[np.integer[Any]]

DEFAULT_TIMEOUT = 120.0

# Rows travel in messages of about this many bytes, so a large batch streams
# (and shows progress) instead of travelling as one copy of the whole batch.
CHUNK_BYTES = 16 << 20
# Rounds of pieces that may be on their way at once.
CHUNKS_IN_FLIGHT = 3


class _Pending(Protocol):
    """What Dask hands back for an actor call."""

    def done(self) -> bool: ...
    def result(self, timeout: float | None = None) -> Any: ...


Started = dict[int, "_Pending | BaseException"]


def _checked(dim: int, bits: int, use_qjl: bool, seed: int, **options: Any) -> lodex.Index:
    """An empty Index of these parameters: its constructor is the one authority on valid ones.

    The coordinator keeps it to check search_range's arguments with Index's own code."""
    return lodex.Index(dim, bits, use_qjl, seed, **options)


def _site(shard: int, source: NewShard | SavedShard) -> str:
    return f"loading shard {shard} from {source.path}" if isinstance(source, SavedShard) else f"building shard {shard}"


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
        metric: str = "ip",
        rotation: str = "hadamard",
        center: NDArray[np.float32] | Literal["mean"] | None = None,
        timeout: float = DEFAULT_TIMEOUT,
    ) -> None:
        probe = _checked(dim, bits, use_qjl, seed, metric=metric, rotation=rotation, center=center)
        count = operator.index(shards)
        if count < 1:
            raise ValueError(f"shards must be at least 1, got {count}")
        self._setup(client, probe, timeout, read_only=False)
        # center="mean" (the probe took nothing else that is a str): the shards start without a
        # centre and get the one the first batch fixes, the same for all of them.
        self._mean_pending = isinstance(center, str)
        self._place([NewShard(self._config, self._options)] * count, rows=[0] * count, progress=False)

    def _setup(
        self, client: Client, probe: lodex.Index, timeout: float, read_only: bool, options: dict[str, Any] | None = None
    ) -> None:
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, got {timeout!r}")
        self._client = client
        self._probe = probe
        self._config: dict[str, Any] = dict(probe.config)
        self._options = options_of(probe) if options is None else options
        self._read_only = read_only
        self._timeout = float(timeout)
        self._lost: tuple[int, ...] = ()
        self._mean_pending = False

    def _place(self, sources: Sequence[NewShard | SavedShard], rows: list[int], progress: bool | None) -> None:
        """Builds one shard per source, round-robin over the workers, and waits for all of them.

        The first shard to fail fails the whole at once (the others are let go).
        """
        from distributed import as_completed

        workers = self._workers()
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        addresses = sorted(workers)
        self._homes = [addresses[i % len(addresses)] for i in range(len(sources))]
        tag = secrets.token_hex(4)
        self._futures = [
            self._client.submit(
                Shard,
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
        position = {future.key: i for i, future in enumerate(self._futures)}
        actors: list[Any] = [None] * len(sources)
        finished = as_completed(self._futures, timeout=self._timeout)  # type: ignore[no-untyped-call]
        try:
            with progress_bar(progress, sum(rows), "loading shards") as bar:
                for _ in sources:
                    try:
                        future = next(finished)
                    except TimeoutError as exc:
                        late = [i for i, actor in enumerate(actors) if actor is None]
                        message = f"shard{plural(late)} {numbers(late)} not ready within {self._timeout:g} s"
                        raise ShardTimeoutError(message, late) from exc
                    i = position[future.key]
                    try:
                        actors[i] = future.result()
                    except Exception as exc:
                        failure = arrived(exc)
                        failure.add_note(f"while {_site(i, sources[i])} on {self._homes[i]}")
                        if failure is exc:
                            raise
                        raise failure from exc
                    bar.update(rows[i])
        except BaseException:
            # Let go of every shard of a start that failed: none may hold a worker's memory.
            self._client.cancel(self._futures)  # type: ignore[no-untyped-call]
            raise
        self._actors = actors

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
                failures[shard] = arrived(exc)
        return answers, failures

    def _raise(self, failures: dict[int, BaseException]) -> None:
        """Raises what the failures amount to: lost shards first, then time-outs, then a shard's own error."""
        lost = self._check_lost(failures)
        if lost:
            raise LostShardsError(self._lost_message(lost), lost) from next(iter(failures.values()))
        late = sorted(s for s, exc in failures.items() if isinstance(exc, TimeoutError))
        if late:
            message = f"shard{plural(late)} {numbers(late)} did not answer within {self._timeout:g} s"
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
            f"lost shard{plural(lost)} {numbers(lost)} of {len(self._homes)}: worker{plural(workers)} "
            f"{', '.join(workers)} gone or unreachable; load the last save with ShardedIndex.load"
        )

    # -- the Index surface ----------------------------------------------------

    def add_batch(self, ids: Ids, vectors: NDArray[np.float32], *, progress: bool | None = None) -> None:
        """Add one row per id from a C-contiguous float32 array of shape (n, dim), as Index.add_batch.

        The arguments are checked as Index checks them before any shard is contacted. The rows then
        travel to their shards in pieces (followed by a progress bar when `progress` is true, or by
        default on a terminal for a million rows or more, whenever tqdm is installed) and are put
        aside there: a failure while they travel changes no shard. Last, every shard adds its rows
        with one Index.add_batch, which takes all of them or none. Should that step fail on some
        shards only, PartialBatchError names exactly the shards that took their rows (`applied`)
        and the others.
        """
        id_values, rows = lodex._arguments.to_batch(ids, vectors, self._config["dim"])
        if self._read_only:
            # Every shard is a read-only map: its Index refuses (naming its file) before a row travels.
            self._call("add_nothing", {0: ()})
        if self._mean_pending and len(id_values):
            self._fix_center(lodex._arguments.first_batch_mean(rows, self.metric))
        by_shard = split(route(id_values, len(self._homes)), len(self._homes))
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
            f"add_batch reached shards {numbers(sorted(answers))} but not {numbers(sorted(failures))}: "
            f"{type(first).__name__}: {first}",
            sorted(failures),
            sorted(answers),
            unanswered,
        ) from first

    def _fix_center(self, center: NDArray[np.float32]) -> None:
        """Gives every shard (all still empty) the centre the first batch fixed, once for all of them,
        as one Index would fix it from that batch."""
        probe = _checked(**self._config, metric=self.metric, rotation=self.rotation, center=center)
        options = options_of(probe)
        self._call("center_on", {s: (options,) for s in range(self.shards)})
        self._probe, self._options, self._mean_pending = probe, options, False

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
        with progress_bar(progress, len(ids), "adding rows") as bar:
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
        self,
        queries: NDArray[np.float32],
        k: int,
        *,
        allow: Ids | None = None,
        threads: int | None = None,
        rerank: str | os.PathLike[str] | None = None,
        candidates: int | None = None,
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """The k best rows of every query over all shards: (ids, scores), each of shape (n, m).

        As Index.search_batch: m = min(k, searchable rows), each row sorted best first (by
        descending score; ascending for "l2"), uint64 ids and float32 scores; `allow` limits the
        search to the rows with those ids; `threads` bounds each shard's threads (by default a
        shard uses its worker's share of the machine).

        `rerank` is the path of a .npy file of the original vectors (row `id` the original of
        the row with that id) that every worker can open; each maps it (np.load with
        mmap_mode="r") and reads only the rows it re-ranks. The best `candidates` rows per query
        (default 4 * k) by compressed score are first found over all shards, exactly as one
        Index would find them; each shard then scores its share of them exactly, and the best k
        by that score come back with it: the answer of one Index holding every row, given the
        same originals.
        """
        args = check.search(self._probe, queries, k, allow, threads, rerank, candidates)
        array = np.ascontiguousarray(args.queries)
        if args.rerank is None:
            wanted = args.k
        else:  # first the candidates, as one Index would choose them
            wanted = args.candidates if args.candidates is not None else min(4 * args.k, (1 << 64) - 1)
        calls = self._calls(args.allow, lambda part: (array, wanted, part, args.threads))
        answers = self._call("search_batch", calls)
        found = merge_top_k([answers[s] for s in range(self.shards)], wanted, self.metric)
        return found if args.rerank is None else self._rerank(array, found[0], args.k, args.rerank, args.threads)

    def _calls(self, allowed: NDArray[np.uint64] | None, make: Any) -> dict[int, tuple[Any, ...]]:
        """One call per shard; with `allow`, a shard gets only the allowed ids that live in it."""
        if allowed is None:
            return {s: make(None) for s in range(self.shards)}
        by_shard = split(route(allowed, self.shards), self.shards)
        return {s: make(allowed[rows]) for s, rows in enumerate(by_shard)}

    def _rerank(
        self, queries: NDArray[np.float32], found: NDArray[np.uint64], k: int, path: str, threads: int | None
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """The candidates `found` (per query, in compressed order) scored exactly by the shards
        holding them, and the best k of each query by that score."""
        exact = np.full(found.shape, np.nan, dtype=np.float32)
        if found.size:
            where = route(found.ravel(), self.shards).reshape(found.shape)
            mine = {s: where == s for s in range(self.shards)}
            calls = {
                s: (queries, [row_ids[row_mask] for row_ids, row_mask in zip(found, mask)], path, threads)
                for s, mask in mine.items()
                if mask.any()
            }
            answers = self._call("exact_scores", calls)
            rows = min(r for r, _ in answers.values())
            for s, (_, scores) in answers.items():
                for i, row_scores in enumerate(scores):
                    exact[i, mine[s][i]] = row_scores
            # As Index: the first candidate, query by query, that the originals have no row for.
            past = np.flatnonzero(found.ravel() >= rows)
            if len(past):
                raise ValueError(f"rerank has no row for id {found.ravel()[past[0]]}: it holds {rows} rows")
        return rank_candidates(found, exact, k, self.metric)

    def search_range(
        self,
        queries: NDArray[np.float32],
        threshold: float,
        *,
        allow: Ids | None = None,
        threads: int | None = None,
    ) -> tuple[NDArray[np.uint64], NDArray[np.uint64], NDArray[np.float32]]:
        """Every row scoring at least `threshold` (at most, for "l2") over all shards, as
        Index.search_range: (lims, ids, scores), query i's rows at lims[i]:lims[i + 1], best
        first (equal scores in shard order)."""
        thread_count = None if threads is None else lodex._arguments.to_u64(threads, "threads")
        # The empty Index of the same parameters checks the rest as a shard's would, at once.
        self._probe.search_range(queries, threshold, allow=allow)
        array = np.ascontiguousarray(queries)
        allowed = None if allow is None else lodex._arguments.convert_ids(allow, "allow")
        level = float(threshold)  # the probe has converted it
        answers = self._call("search_range", self._calls(allowed, lambda part: (array, level, part, thread_count)))
        return merge_ranges([answers[s] for s in range(self.shards)], len(array), self.metric)

    def search(self, query: NDArray[np.float32], k: int) -> list[tuple[int, float]]:
        """The k stored rows scoring highest against `query`, as (id, score), best first (as Index.search)."""
        self._probe.search(query, k)  # Index.search's own checks, by the empty Index of these parameters
        ids, scores = self.search_batch(np.ascontiguousarray(query).reshape(1, -1), k)
        return list(zip(ids[0].tolist(), scores[0].tolist()))

    def get(self, ids: Ids) -> NDArray[np.float32]:
        """The decoded approximation of the first row of each id, shape (len(ids), dim) (as
        Index.get; KeyError names the first listed id that no row has)."""
        values = lodex._arguments.convert_ids(ids, "ids")
        by_shard = split(route(values, self.shards), self.shards)
        answers = self._call("get", {s: (values[rows],) for s, rows in enumerate(by_shard) if len(rows)})
        rows_out = np.empty((len(values), self._config["dim"]), dtype=np.float32)
        missing = []
        for s, answer in answers.items():
            rows = by_shard[s]
            if isinstance(answer, int):  # the shard's first missing id: its first place in the list
                missing.append(rows[np.flatnonzero(values[rows] == answer)[0]])
            else:
                rows_out[rows] = answer
        if missing:
            raise KeyError(int(values[min(missing)]))
        return rows_out

    def remove(self, ids: Ids) -> int:
        """Remove every row whose id is listed; return how many rows went (as Index.remove)."""
        values = lodex._arguments.convert_ids(ids, "ids")
        by_shard = split(route(values, len(self._homes)), len(self._homes))
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
            value = lodex._arguments.to_u64(key, "key")
        except (TypeError, OverflowError):
            return False
        shard = int(route(np.array([value], dtype=np.uint64), len(self._homes))[0])
        return bool(self._call("contains", {shard: (value,)})[shard])

    @property
    def config(self) -> dict[str, Any]:
        """A new dict of the four construction parameters, as Index.config."""
        return dict(self._config)

    @property
    def metric(self) -> str:
        """The metric searches score by: "ip", "cosine" or "l2"."""
        return str(self._options["metric"])

    @property
    def rotation(self) -> str:
        """The rotation rows are coded with: "hadamard" or "general"."""
        return str(self._options["rotation"])

    @property
    def center(self) -> NDArray[np.float32] | None:
        """A new float32 array of the centre, or None."""
        center = self._options["center"]
        return None if center is None else np.asarray(center, dtype=np.float32)

    @property
    def read_only(self) -> bool:
        """Whether the shards are served from read-only memory maps (`load(..., mmap=True)`)."""
        return self._read_only

    @property
    def shards(self) -> int:
        """Number of shards."""
        return len(self._homes)

    @property
    def shard_workers(self) -> tuple[str, ...]:
        """The address of the worker holding each shard."""
        return tuple(self._homes)

    def __repr__(self) -> str:
        c = self._config
        qjl = "true" if c["use_qjl"] else "false"
        # The metric and the rotation only when they are not the defaults, as Index prints them.
        extra = "" if self.metric == "ip" else f", metric={self.metric}"
        extra += "" if self.rotation == "hadamard" else f", rotation={self.rotation}"
        extra += ", center=mean" if self._mean_pending else ""
        return f"lodex_dask.ShardedIndex(dim={c['dim']}, bits={c['bits']}, shards={self.shards}, use_qjl={qjl}{extra})"

    # -- files ------------------------------------------------------------------

    def save(self, directory: str, *, mappable: bool = False, keep_previous: bool = False) -> None:
        """Write one .ldx file per shard into `directory`, then the manifest that names them.

        One save at a time writes into a directory, whatever process or machine runs it: a save
        waits up to `timeout` seconds for another one to finish (then raises TimeoutError), so
        concurrent saves end with the last one whole. Each shard's worker writes its file
        (atomically, as Index.save) under a name new to this save; the manifest, with each file's
        row count, length and sha256, is replaced last, atomically, and only then are the shard
        files it does not name deleted. A save that fails part-way leaves the previous one whole.
        The workers must be able to write `directory` under the same path (one machine, or a
        shared file system).

        `mappable` writes files that `load(..., mmap=True)` serves from read-only maps (as
        Index.save). `keep_previous` spares the files of the save being replaced: processes that
        still serve them from maps (on other hosts of a network file system, where deleting a
        mapped file can kill its readers) keep them until the next save, which deletes them.
        """
        if self._mean_pending:
            self._probe.to_bytes()  # raises Index's own refusal of a centre not fixed yet
        directory = check.directory(directory)
        os.makedirs(directory, exist_ok=True)
        with _manifest.save_lock(directory, self._timeout):
            previous = _manifest.listed(directory) if keep_previous else []
            generation = secrets.token_hex(4)
            files = [_manifest.shard_file(s, len(self._homes), generation) for s in range(len(self._homes))]
            flag = bool(mappable)
            try:
                saved = self._call(
                    "save", {s: (os.path.join(directory, name), flag) for s, name in enumerate(files)}
                )
            except BaseException:
                _manifest.remove_quietly(directory, files)
                raise
            listed = [saved[s] for s in range(len(files))]
            _manifest.write(directory, _manifest.build(self._config, self._options, flag, files, listed))
            _manifest.remove_unlisted(directory, [*files, *previous])

    @classmethod
    def load(
        cls,
        client: Client,
        directory: str,
        *,
        timeout: float = DEFAULT_TIMEOUT,
        progress: bool | None = None,
        verify: bool = False,
        mmap: bool = False,
        warm: bool = False,
    ) -> ShardedIndex:
        """Read a sharded index that `save` wrote; each shard is read by the worker that will hold it.

        Shards are spread over the cluster's current workers, whatever their number. The workers
        must be able to read `directory` under the same path. Raises ValueError for a manifest that
        `save` did not write, or for a shard file that is not the one saved in its place (its
        parameters, row count or length differ, or one of its ids routes to another shard), and
        FileNotFoundError naming any missing shard file. A shard file that fails to load raises
        what Index.load raises, noting the shard and file. With `verify`, each worker also checks
        its file's sha256 against the manifest's (reading the whole file). A progress bar follows
        the shards as they load when `progress` is true (by default, on a terminal for a million
        rows or more, whenever tqdm is installed).

        With `mmap` (files saved with mappable=True), each worker serves its shard from a
        read-only map (Index.load(path, mmap=True, warm=warm)): loading reads each file's header
        and first page of ids only, so a restarted worker serves again at once. The check that
        every id lives in its shard would read every id; a mapped load checks the header, the
        file's length and the first 512 ids instead, and every id only with `verify`. A mapped index
        searches as any other; add_batch and remove raise Index's ValueError and change nothing.
        """
        directory = check.directory(directory)
        manifest = _manifest.read(directory)
        shards = manifest["shards"]
        paths = [os.path.join(directory, shard["file"]) for shard in shards]
        missing = [s for s, path in enumerate(paths) if not os.path.isfile(path)]
        if missing:
            names = ", ".join(f"shard {s} ({paths[s]})" for s in missing)
            raise FileNotFoundError(f"missing shard file{plural(missing)}: {names}")
        _manifest.check_names(directory, manifest)
        if verify and manifest["version"] < 2:
            raise ValueError(f"the manifest in {directory} (version 1) records no checksums to verify")
        if mmap and not manifest.get("mappable", False):
            raise ValueError(f"the shards in {directory} were not saved with mappable=True: they cannot be mapped")
        options = _manifest.options(manifest)
        center = None if options["center"] is None else np.asarray(options["center"], dtype=np.float32)
        try:
            probe = _checked(**_manifest.config(manifest), **{**options, "center": center})
            kept = None
        except ValueError as refused:
            if not str(refused).startswith("center has norm"):
                raise
            # A cosine centre longer than 1, saved before Index refused one: its shard files still
            # load, so the probe (which only checks arguments) goes without it and the options keep it.
            probe = _checked(**_manifest.config(manifest), **{**options, "center": None})
            kept = options
        self = cls.__new__(cls)
        self._setup(client, probe, timeout, read_only=bool(mmap), options=kept)
        sources = [
            SavedShard(
                path, s, len(paths), shard["rows"], self._config, self._options,
                sha256=shard["sha256"] if verify else None,
                size=shard.get("bytes"),
                mmap=bool(mmap),
                warm=bool(warm),
                verify_ids=verify or not mmap,
            )
            for s, (path, shard) in enumerate(zip(paths, shards))
        ]
        self._place(sources, rows=[s["rows"] for s in shards], progress=progress)
        return self

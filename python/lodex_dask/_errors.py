"""The errors a ShardedIndex raises on the client, and the carrier that brings a shard's fault home.

Every class here crosses process boundaries by pickle, so each rebuilds from its own arguments.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import lodex


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


class CarriedFault(Exception):
    """A lodex.InternalFault raised in a shard, on its way to the client.

    InternalFault derives from BaseException, which Dask does not hand back: a worker passes on
    only an Exception, and a future whose error is anything else never resolves, so the caller
    would wait out the whole time-out. The shard raises this instead; the client raises the
    fault itself again (`fault`), so a ShardedIndex fails with the type one Index would.
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)

    def fault(self) -> lodex.InternalFault:
        return lodex.InternalFault(str(self))


def arrived(exc: BaseException) -> BaseException:
    """The exception a shard raised, as one Index would have raised it."""
    return exc.fault() if isinstance(exc, CarriedFault) else exc


def numbers(shards: Sequence[int]) -> str:
    return ", ".join(str(s) for s in shards) or "none"


def plural(items: Sequence[object]) -> str:
    return "s" if len(items) > 1 else ""

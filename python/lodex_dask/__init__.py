"""A lodex index split into shards held by Dask workers: rows routed by id, searches scattered and merged.

A thin coordinator: each shard is an ordinary `lodex.Index` inside a Dask actor, and every score comes
from a shard. This package only checks arguments, moves arrays, merges top-k lists and keeps the files.
Dask itself is imported only when a ShardedIndex needs it.
"""

from ._errors import LostShardsError, PartialBatchError, ShardError, ShardTimeoutError
from ._index import ShardedIndex
from ._merge import merge_top_k as merge_top_k  # public (the benchmarks time it), not in __all__
from ._routing import route

__all__ = ["LostShardsError", "PartialBatchError", "ShardError", "ShardTimeoutError", "ShardedIndex", "route"]

# The public classes are pickled, printed and documented under the package's name, not under
# the private module that defines them.
for _public in (LostShardsError, PartialBatchError, ShardError, ShardTimeoutError, ShardedIndex):
    _public.__module__ = __name__
del _public

# Type information for the compiled `lodex` extension module. It is installed
# beside the shared library, so type checkers read it in place of the binary.
# `_Config` and `_Ids` exist only here: import them under TYPE_CHECKING.

from collections.abc import Sequence
from typing import Any, TypeAlias, TypedDict, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["Index"]

# ids are unsigned 64-bit: any sequence of ints, or a 1-D integer array.
_Ids: TypeAlias = Sequence[int] | NDArray[np.integer[Any]]

class _Config(TypedDict):
    dim: int
    bits: int
    use_qjl: bool
    seed: int

@final
class Index:
    """Compressed vector index: 2-5 bits per coordinate, exact-scan top-k inner-product search."""

    def __new__(cls, dim: int, bits: int, use_qjl: bool, seed: int) -> Index:
        """Build an empty index; `dim` a power of two, `bits` 2 to 5."""

    def add_batch(self, ids: _Ids, vectors: NDArray[np.float32]) -> None:
        """Add one row per id from a C-contiguous float32 array of shape (n, dim)."""

    def search(self, query: NDArray[np.float32], k: int) -> list[tuple[int, float]]:
        """The k stored rows scoring highest against `query`, as (id, score), best first."""

    def save(self, path: str) -> None:
        """Write the index to one .ldx file at `path`."""

    @staticmethod
    def load(path: str) -> Index:
        """Read an index from a .ldx file written by `save`."""

    @property
    def size(self) -> int:
        """Number of stored vectors."""

    @property
    def config(self) -> _Config:
        """A new dict of the four construction parameters."""

    def __repr__(self) -> str: ...

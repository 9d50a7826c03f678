# Type information for the compiled `lodex` extension module. It is installed
# beside the shared library, so type checkers read it in place of the binary.
# `_Config`, `_Ids` and `_Arguments` exist only here: import them under TYPE_CHECKING.

from collections.abc import Buffer, Sequence
from typing import Any, Literal, TypeAlias, TypedDict, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["Index"]

__version__: str

# ids are unsigned 64-bit: any sequence of ints, or a 1-D integer array.
_Ids: TypeAlias = Sequence[int] | NDArray[np.integer[Any]]
_Metric: TypeAlias = Literal["ip", "cosine", "l2"]
_Rotation: TypeAlias = Literal["hadamard", "general"]

class _Config(TypedDict):
    dim: int
    bits: int
    use_qjl: bool
    seed: int

class InternalFault(BaseException):
    """A broken internal invariant (a corrupted file's row outside it, say); never an ordinary error."""

def _from_bytes(data: Buffer) -> Index: ...
def simd_level() -> str:
    """The vector instruction level searches run at ("scalar", "avx2", ..., "neondot")."""

@final
class _Arguments:
    """The type of lodex._arguments: Index's argument converters, for lodex_dask (private)."""

    @staticmethod
    def to_u64(obj: object, name: str) -> int: ...
    @staticmethod
    def to_path(obj: object, name: str) -> str: ...
    @staticmethod
    def convert_ids(obj: object, name: str) -> NDArray[np.uint64]: ...
    @staticmethod
    def as_float32_array(obj: object, ndim: int, name: str) -> NDArray[np.float32]: ...
    @staticmethod
    def as_row_major_matrix(obj: object, name: str) -> NDArray[np.float32]: ...
    @staticmethod
    def to_batch(ids: object, vectors: object, dim: int) -> tuple[NDArray[np.uint64], NDArray[np.float32]]: ...
    @staticmethod
    def first_batch_mean(vectors: object, metric: _Metric) -> NDArray[np.float32]: ...

_arguments: _Arguments

@final
class Index:
    """Compressed vector index: 2-5 bits per coordinate, exact-scan top-k inner-product search."""

    def __new__(
        cls,
        dim: int,
        bits: int,
        use_qjl: bool,
        seed: int,
        *,
        metric: _Metric = "ip",
        rotation: _Rotation = "hadamard",
        center: NDArray[np.float32] | Literal["mean"] | None = None,
    ) -> Index:
        """Build an empty index; `bits` 2 to 5, `dim` a power of two (any for rotation="general").

        metric: "ip" (inner product), "cosine" or "l2" (squared distance, smallest first).
        center: a float32 vector of length dim subtracted from every row before coding (for
        "cosine", of norm at most 1: a mean of unit rows), or "mean": the mean of the first
        add_batch's rows (at least 2) as the metric sees them, fixed then and kept from then on.
        """

    def add_batch(self, ids: _Ids, vectors: NDArray[np.float32]) -> None:
        """Add one row per id from a C-contiguous float32 array of shape (n, dim)."""

    def search(self, query: NDArray[np.float32], k: int) -> list[tuple[int, float]]:
        """The k stored rows scoring highest against `query`, as (id, score), best first."""

    def save(self, path: str, *, mappable: bool = False) -> None:
        """Write the index to one .ldx file at `path`; `mappable=True` writes the layout `load(path, mmap=True)` serves."""

    @staticmethod
    def load(path: str, *, mmap: bool = False, warm: bool = False) -> Index:
        """Read an index from a .ldx file written by `save`.

        `mmap=True` serves a file saved with `mappable=True` from a read-only
        shared memory map (the open reads the header only; `read_only` is
        true); `warm=True` reads every page in before returning.
        """

    def search_batch(
        self,
        queries: NDArray[np.float32],
        k: int,
        *,
        allow: _Ids | None = None,
        threads: int | None = None,
        rerank: NDArray[np.float32] | None = None,
        candidates: int | None = None,
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """The k best rows of every query: (ids, scores), each of shape (n, min(k, searchable rows))."""

    def remove(self, ids: _Ids) -> int:
        """Remove every row whose id is listed; return how many rows went."""

    def get(self, ids: _Ids) -> NDArray[np.float32]:
        """The decoded approximation of the first row of each id, shape (len(ids), dim)."""

    def to_bytes(self, *, mappable: bool = False) -> bytes:
        """The .ldx file's bytes, as `save(path, mappable=mappable)` would write them."""

    @staticmethod
    def from_bytes(data: Buffer) -> Index:
        """An index from .ldx bytes, checked as load checks a file."""

    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def search_range(
        self,
        queries: NDArray[np.float32],
        threshold: float,
        *,
        allow: _Ids | None = None,
        threads: int | None = None,
    ) -> tuple[NDArray[np.uint64], NDArray[np.uint64], NDArray[np.float32]]:
        """Every row scoring at least `threshold` (at most, for "l2"): (lims, ids, scores), query i's at lims[i]:lims[i+1]."""

    @property
    def size(self) -> int:
        """Number of stored vectors."""

    @property
    def config(self) -> _Config:
        """A new dict of the four construction parameters."""

    @property
    def metric(self) -> _Metric:
        """The metric searches score by."""

    @property
    def rotation(self) -> _Rotation:
        """The rotation rows are coded with."""

    @property
    def center(self) -> NDArray[np.float32] | None:
        """A new float32 array of the centre, or None."""

    @property
    def read_only(self) -> bool:
        """Whether the index is served from a read-only memory map (`load(path, mmap=True)`)."""

    def __repr__(self) -> str: ...
    def __bool__(self) -> bool: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...

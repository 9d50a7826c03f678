"""Nearest images in Fashion-MNIST at their own 784 dimensions.

784 is not a power of two: rotation="general" codes the pixels as they are
instead of zero-padding them to 1024 (a quarter fewer bytes per row, a faster
scan), and center= subtracts the mean image before coding, so that the codes
spend their bits on how images differ rather than on what they share. The
metric is "l2", squared Euclidean distance, smallest first.

The images come from the Debian package dataset-fashion-mnist
(`apt-get install dataset-fashion-mnist`, files in /usr/share/datasets/fashion-mnist);
without it the example says so and exits.

    python examples/fashion_mnist.py [--rows N] [--queries N]
"""

import argparse
import gzip
import pathlib
import sys

import numpy as np
from numpy.typing import NDArray

import lodex

DATA = pathlib.Path("/usr/share/datasets/fashion-mnist")
CLASSES = ["T-shirt/top", "trouser", "pullover", "dress", "coat", "sandal", "shirt", "sneaker", "bag", "ankle boot"]


def read_idx(stem: str) -> NDArray[np.uint8]:
    """An idx file of unsigned bytes: a 4-byte magic whose last byte is the rank, one big-endian u32 per axis."""
    raw = gzip.decompress((DATA / f"{stem}.gz").read_bytes())
    rank = raw[3]
    shape = tuple(int(n) for n in np.frombuffer(raw, dtype=">u4", count=rank, offset=4))
    return np.frombuffer(raw, dtype=np.uint8, offset=4 + 4 * rank).reshape(shape)


def pixels(stem: str, count: int) -> NDArray[np.float32]:
    """The first `count` images as rows of 784 float32 values in 0..1."""
    return (read_idx(stem)[:count].reshape(-1, 784) / 255).astype(np.float32)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=60_000, help="training images to index (at most 60,000)")
    parser.add_argument("--queries", type=int, default=1_000, help="test images to look up (at most 10,000)")
    args = parser.parse_args()
    if not (DATA / "train-images-idx3-ubyte.gz").exists():
        print(f"Fashion-MNIST is not in {DATA}: install it with `apt-get install dataset-fashion-mnist`.")
        return

    images = pixels("train-images-idx3-ubyte", args.rows)
    labels = read_idx("train-labels-idx1-ubyte")[: args.rows]
    queries = pixels("t10k-images-idx3-ubyte", args.queries)
    query_labels = read_idx("t10k-labels-idx1-ubyte")[: args.queries]

    mean = images.mean(axis=0).astype(np.float32)
    index = lodex.Index(784, 4, False, 0, metric="l2", rotation="general", center=mean)
    index.add_batch(np.arange(len(images)), images)
    print(index)

    ids, distances = index.search_batch(queries, 10)
    # The exact ten nearest, for comparison: |x|^2 - 2<q, x> ranks as |q - x|^2 does.
    exact = np.argsort((images**2).sum(axis=1)[None, :] - 2 * queries @ images.T, axis=1)[:, :10]
    recall = np.mean([len(set(a.tolist()) & set(b.tolist())) / 10 for a, b in zip(ids, exact)])
    agree = np.mean(labels[ids.astype(np.int64)] == query_labels[:, None])
    print(f"recall@10 against exact L2: {recall:.3f}; neighbours of the query's class: {agree:.1%}")
    first = ids[0].astype(np.int64)
    print(f"query 0, a {CLASSES[query_labels[0]]}: nearest are "
          f"{', '.join(CLASSES[c] for c in labels[first[:5]])} (squared distances {np.round(distances[0, :5], 1)})")

    # Every image within a distance of query 0 (its tenth neighbour's): a range search.
    lims, near, near_distances = index.search_range(queries[:1], float(distances[0, 9]))
    print(f"{lims[1]} images within squared distance {distances[0, 9]:.1f} of query 0")
    if recall < 0.7 or lims[1] < 10:
        sys.exit(f"unexpected: recall@10 {recall:.3f}, {lims[1]} images in range")


if __name__ == "__main__":
    main()

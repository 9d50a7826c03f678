import numpy as np
import pytest

import lodex


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def make_index(dim=16, bits=4, use_qjl=False, seed=7, rows=0, rng=None):
    index = lodex.Index(dim, bits, use_qjl, seed)
    if rows:
        rng = rng or np.random.default_rng(99)
        data = rng.standard_normal((rows, dim)).astype(np.float32)
        index.add_batch(list(range(rows)), data)
    return index

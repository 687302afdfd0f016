import numpy as np
import pytest

import vexal


def exact(base, queries, k):
    d = ((queries[:, None, :] - base[None, :, :]) ** 2).sum(axis=2)
    return np.argsort(d, axis=1, kind="stable")[:, :k]


@pytest.mark.parametrize("kind", ["hnsw", "ivf"])
def test_bare_index_against_brute_force(kind, tmp_path):
    rng = np.random.default_rng(5)
    base = rng.standard_normal((3000, 24)).astype(np.float32)
    queries = rng.standard_normal((50, 24)).astype(np.float32)
    index = vexal.Index(24, kind=kind, nlist=16, nprobe=16)
    ids = index.add(base, ids=np.arange(100, 3100))
    assert len(index) == 3000 and ids[0] == 100
    got, dist = index.search(queries, k=10, ef=128)
    truth = exact(base, queries, 10) + 100
    recall = np.mean([len(set(g) & set(t)) / 10 for g, t in zip(got, truth)])
    assert recall > 0.95
    assert (np.diff(dist, axis=1) >= 0).all()
    want = ((base[got[0] - 100] - queries[0]) ** 2).sum(axis=1)
    assert np.allclose(dist[0], want, rtol=1e-4)

    path = str(tmp_path / "i.vxi")
    index.save(path)
    again = vexal.Index.load(path)
    assert again.dim == 24 and len(again) == 3000
    got2, dist2 = again.search(queries, k=10, ef=128)
    assert np.array_equal(got, got2) and np.array_equal(dist, dist2)
    # Queries shared among threads answer row for row as on one thread.
    got3, dist3 = again.search(queries, k=10, threads=3)
    assert np.array_equal(got, got3) and np.array_equal(dist, dist3)
    with pytest.raises(vexal.Error):
        vexal.Index.load(str(tmp_path / "nothing"))


def test_short_rows_and_refused_input():
    index = vexal.Index(4)
    ids = index.add(np.eye(4))
    assert ids.tolist() == [1, 2, 3, 4]
    got, dist = index.search(np.eye(4)[:2], k=6)
    assert got.shape == (2, 6) and got[0, 0] == 1 and got[1, 0] == 2
    assert (got[:, 4:] == 0).all() and np.isinf(dist[:, 4:]).all()
    with pytest.raises(ValueError):
        index.add(np.ones((2, 3)))
    with pytest.raises(ValueError):
        index.add(np.ones((2, 4)), ids=[1])
    with pytest.raises(ValueError):
        vexal.Index(4, kind="annoy")
    index.close()
    with pytest.raises(vexal.Error):
        index.search(np.ones(4))

import numpy as np
import pytest

import vexal
from vexal import field


def brute_force(vectors, ids, query, k):
    d = ((vectors - query) ** 2).sum(axis=1)
    order = np.argsort(d, kind="stable")[:k]
    return ids[order], d[order]


@pytest.fixture
def tagged():
    rng = np.random.default_rng(7)
    vectors = rng.random((300, 6), dtype=np.float32)
    meta = [{"label": i % 10, "score": i / 4, "name": f"item{i % 7}", "even": i % 2 == 0}
            for i in range(300)]
    db = vexal.Database()
    c = db.create_collection("t", 6, index="flat")
    ids = c.add(vectors, meta)
    yield c, vectors, ids, meta
    db.close()


def test_round_trip_of_vectors_and_metadata(tagged):
    c, vectors, ids, meta = tagged
    assert ids.tolist() == list(range(1, 301)) and len(c) == 300
    v, m = c.get(17)
    assert np.array_equal(v, vectors[16]) and m == meta[16]
    assert type(m["label"]) is int and type(m["score"]) is float and type(m["even"]) is bool
    seen = [(i, m) for i, _, m in c]
    assert [i for i, _ in seen] == ids.tolist() and seen[5][1] == meta[5]
    big = {"huge": 2**62, "neg": -5, "text": "ünïcode ✓", "f": -1e300}
    c.upsert([3], vectors[:1] * 2, [big])
    v, m = c.get(3)
    assert np.array_equal(v, vectors[0] * 2) and m == big


FILTERS = [
    ({"label": 3}, lambda m: m["label"] == 3),
    ({"label": 3, "even": False}, lambda m: m["label"] == 3 and not m["even"]),
    ({"name": "ITEM2"}, lambda m: m["name"] == "item2"),
    (field("score") >= 50.0, lambda m: m["score"] >= 50),
    (field("score") < 10.0, lambda m: m["score"] < 10),
    (field("label") > 7, lambda m: m["label"] > 7),
    (field("label") <= 1, lambda m: m["label"] <= 1),
    (field("label") != 4, lambda m: m["label"] != 4),
    ((field("label") == 1) | (field("label") == 2), lambda m: m["label"] in (1, 2)),
    ((field("label") == 1) & (field("even") == False), lambda m: m["label"] == 1 and not m["even"]),
    (~(field("name") == "item0"), lambda m: m["name"] != "item0"),
    (field("missing") == 1, lambda m: False),
    (field("missing") != 1, lambda m: True),
]


@pytest.mark.parametrize("flt,predicate", FILTERS, ids=[repr(f) for f, _ in FILTERS])
def test_every_filter_form_matches_brute_force(tagged, flt, predicate):
    c, vectors, ids, meta = tagged
    keep = np.array([predicate(m) for m in meta])
    query = np.full(6, 0.5, dtype=np.float32)
    got_ids, got_d = c.search(query, k=20, filter=flt)
    want_ids, want_d = brute_force(vectors[keep], ids[keep], query, 20)
    n = len(want_ids)
    assert got_ids[0, :n].tolist() == want_ids.tolist()
    assert np.allclose(got_d[0, :n], want_d, rtol=1e-5)
    assert (got_ids[0, n:] == 0).all() and np.isinf(got_d[0, n:]).all()
    assert sorted(i for i, _, _ in c.records(flt)) == ids[keep].tolist()


def test_many_queries_equal_one_at_a_time():
    rng = np.random.default_rng(3)
    with vexal.Database() as db:
        c = db.create_collection("g", 16)
        c.add(rng.standard_normal((2000, 16)))
        c.build_index()
        assert c.stats()["index_active"]
        queries = rng.standard_normal((40, 16)).astype(np.float32)
        ids, dist = c.search(queries, k=7, filter=field("x") != 1)
        assert ids.shape == dist.shape == (40, 7) and ids.dtype == np.uint64 and dist.dtype == np.float32
        for i, q in enumerate(queries):
            one_ids, one_d = c.search(q, k=7, filter=field("x") != 1)
            assert np.array_equal(one_ids[0], ids[i]) and np.array_equal(one_d[0], dist[i])
        # Shared among threads, by brute force too, and a query with a NaN
        # comes back as an empty row.
        queries[3, 5] = np.nan
        for index in (True, False):
            if not index:
                c = db.create_collection("flat", 16, index="flat")
                c.add(rng.standard_normal((500, 16)))
            many_ids, many_d = c.search(queries, k=7, threads=2)
            assert (many_ids[3] == 0).all() and np.isinf(many_d[3]).all()
            for i in (0, 17, 39):
                one_ids, one_d = c.search(queries[i], k=7)
                assert np.array_equal(one_ids[0], many_ids[i]) and np.array_equal(one_d[0], many_d[i])


def test_delete_and_delete_where(tagged):
    c, vectors, ids, meta = tagged
    assert c.delete([1, 2, 2, 9999]) == 2
    assert c.delete(5) == 1
    with pytest.raises(vexal.NotFoundError, match="get 1: Not found"):
        c.get(1)
    assert c.delete_where({"label": 0}) == 29
    assert len(c) == 300 - 3 - 29
    assert c.search(vectors[9], k=5, filter={"label": 0})[0].tolist() == [[0] * 5]


def test_upsert_keeps_or_creates_ids(tagged):
    c, vectors, ids, meta = tagged
    c.upsert([305, 10], np.ones((2, 6)), [{"new": True}, None])
    assert c.get(305)[1] == {"new": True} and c.get(10)[1] == meta[9]
    assert len(c) == 301 and not any(i in (301, 302, 303, 304) for i, _, _ in c)
    c.delete(7)
    with pytest.raises(vexal.NotFoundError):
        c.upsert(7, np.ones(6))
    assert len(c) == 300


def test_shapes_and_types_refused_before_writing(tagged):
    c = tagged[0]
    bad = [np.ones((3, 5)), np.ones((2, 3, 6)), [[1, 2]], np.array([["a"] * 6]), [[1, 2, 3, 4, 5, np.nan]],
           [[1e39] * 6], np.ones((1, 6), dtype=complex)]
    for vectors in bad:
        with pytest.raises(ValueError):
            c.add(vectors)
    for meta in [[{"x": [1]}], [{"x": 1}, {"y": 2}], [{"": 1}], [{"x": 2**64}], ["label"]]:
        with pytest.raises(ValueError):
            c.add(np.ones((1, 6)), meta)
    with pytest.raises(ValueError):
        c.search(np.ones(5))
    with pytest.raises(ValueError):
        c.search(np.ones(6), k=0)
    with pytest.raises(ValueError):
        c.search(np.ones(6), filter=["label"])
    with pytest.raises(ValueError):
        c.search(np.ones(6), filter=field("x") == [1])
    assert len(c) == 300
    assert c.add(np.ones((2, 6), dtype=np.float64)).tolist() == [301, 302]  # converted


def test_errors_carry_the_library_text():
    with vexal.Database() as db:
        db.create_collection("a", 3)
        with pytest.raises(vexal.AlreadyExistsError):
            db.create_collection("a", 3)
        with pytest.raises(vexal.InvalidArgumentError, match="Invalid argument"):
            db.create_collection("a/b", 3)
        with pytest.raises(vexal.NotFoundError, match="'nope'"):
            db.collection("nope")
        with pytest.raises(vexal.NotFoundError):
            db.drop_collection("nope")
        empty = db.create_collection("e", 3)
        with pytest.raises(vexal.Error) as info:
            empty.build_index()
        assert info.value.status < 0 and str(info.value).startswith("build_index: ")
        db.drop_collection("e")
        with pytest.raises(vexal.Error):
            len(empty)
        with pytest.raises(ValueError):
            db.create_collection("m", 3, metric="manhattan")
        assert db.collections() == ["a"] and "a" in db
    with pytest.raises(vexal.Error, match="closed"):
        db.collections()


def test_persistence_through_close_and_reopen(tmp_path):
    rng = np.random.default_rng(11)
    vectors = rng.random((500, 8), dtype=np.float32)
    path = str(tmp_path / "db")
    with vexal.Database(path) as db:
        c = db.create_collection("p", 8, metric="cosine")
        c.add(vectors, [{"k": i} for i in range(500)])
        c.build_index()
        before = c.search(vectors[:10], k=5)
        db.create_collection("gone", 8)
        db.drop_collection("gone")
    with vexal.Database(path, read_only=True) as db:
        assert db.collections() == ["p"]
        c = db["p"]
        assert len(c) == 500 and c.get(42)[1] == {"k": 41}
        assert np.array_equal(c.get(42)[0], vectors[41])
        after = c.search(vectors[:10], k=5)
        assert np.array_equal(before[0], after[0]) and np.array_equal(before[1], after[1])
        with pytest.raises(vexal.ReadOnlyError):
            db.sync()
        with pytest.raises(vexal.ReadOnlyError):
            c.add(vectors[:1])
        assert len(c) == 500
    with vexal.Database(path) as db:
        with pytest.raises(vexal.BusyError):
            vexal.Database(path)
    with pytest.raises(vexal.Error):
        vexal.Database(str(tmp_path / "absent"), read_only=True)


def test_index_parameters_and_search_width():
    rng = np.random.default_rng(5)
    vectors = rng.random((400, 8), dtype=np.float32)
    with vexal.Database() as db:
        lists = db.create_collection("lists", 8, index="ivf", nlist=8)
        ids = lists.add(vectors)
        lists.build_index()
        assert lists.stats()["index"] == "ivf" and lists.stats()["index_active"]
        # Every list probed: the exact answer.
        got, dist = lists.search(vectors[3], k=5, nprobe=8)
        want, want_d = brute_force(vectors, ids, vectors[3], 5)
        assert got[0].tolist() == want.tolist()
        with pytest.raises(ValueError):
            lists.search(vectors[3], k=5, ef=32)
        graph = db.create_collection("graph", 8, M=6, ef_construction=40)
        graph.add(vectors)
        graph.build_index()
        assert graph.search(vectors[9], k=1, ef=100)[0][0, 0] == 10
        with pytest.raises(ValueError):
            db.create_collection("bad", 8, index="hnsw", nlist=4)
        with pytest.raises(ValueError):
            graph.search(vectors[0], k=1, ef=0)

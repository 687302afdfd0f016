"""What the Python layer adds to a search: Fashion-MNIST through the HNSW
graph, k 10, one query per call, against the bare C call made through ctypes
with every argument prepared beforehand.

    VEXAL_LIBRARY=build/libvexal.so PYTHONPATH=python /usr/bin/python3 bench/python_overhead.py [--base N] [--queries N]
"""
import argparse
import gzip
import time

import numpy as np

import vexal
from vexal._lib import SEARCH_HIT, address, lib, vx_search_options

FASHION = "/usr/share/datasets/fashion-mnist"


def idx_images(name):
    with gzip.open(f"{FASHION}/{name}") as f:
        data = f.read()
    n, rows, cols = (int.from_bytes(data[i:i + 4], "big") for i in (4, 8, 12))
    return np.frombuffer(data, dtype=np.uint8, offset=16).reshape(n, rows * cols).astype(np.float32)


def best_of(runs, fn):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", type=int, default=60000)
    ap.add_argument("--queries", type=int, default=2000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    base = idx_images("train-images-idx3-ubyte.gz")[: args.base]
    queries = idx_images("t10k-images-idx3-ubyte.gz")[: args.queries]
    db = vexal.Database()
    c = db.create_collection("fashion", base.shape[1])
    t0 = time.perf_counter()
    c.add(base)
    c.build_index()
    print(f"{len(base)} vectors of dimension {base.shape[1]}, graph built in {time.perf_counter() - t0:.1f} s")

    k = 10
    opt = vx_search_options(k=k)
    hits = np.zeros(k, dtype=SEARCH_HIT)
    handle, out, search = c._handle, address(hits), lib.vx_collection_search
    rows = [address(queries) + i * queries.strides[0] for i in range(len(queries))]

    def bare_c():
        for r in rows:
            search(handle, r, opt, out)

    def python_one_per_call():
        for q in queries:
            c.search(q, k=k)

    def python_all_at_once():
        c.search(queries, k=k)

    bare_c(), python_one_per_call()  # warm the caches
    t_c = best_of(args.runs, bare_c)
    t_one = best_of(args.runs, python_one_per_call)
    t_all = best_of(args.runs, python_all_at_once)
    nq = len(queries)
    print(f"bare C call:            {t_c / nq * 1e6:8.1f} us per query")
    print(f"Python, one per call:   {t_one / nq * 1e6:8.1f} us per query  (+{(t_one / t_c - 1) * 100:.1f} %)")
    print(f"Python, {nq} per call: {t_all / nq * 1e6:8.1f} us per query  (+{(t_all / t_c - 1) * 100:.1f} %)")
    ids_all, _ = c.search(queries, k=k)
    assert all(np.array_equal(ids_all[i], c.search(queries[i], k=k)[0][0]) for i in range(0, nq, 97))


if __name__ == "__main__":
    main()

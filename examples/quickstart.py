"""quickstart.py - the C quick start in Python: an in-memory database with one
collection of 8-dimensional vectors tagged with a shade, an HNSW index, and
searches with and without a metadata filter."""
import numpy as np

import vexal

rng = np.random.default_rng(42)
shades = ["red", "green", "blue"]

print(vexal.library_version())
with vexal.Database() as db:  # vexal.Database("dir") keeps it on disk
    points = db.create_collection("colours", dim=8)  # l2 and HNSW by default
    vectors = rng.random((1000, 8), dtype=np.float32)
    ids = points.add(vectors, [{"shade": shades[i % 3], "n": i} for i in range(1000)])
    points.build_index()
    print(f"{len(points)} vectors, index {points.stats()['index']}")

    query = rng.random(8, dtype=np.float32)
    hit_ids, distances = points.search(query, k=5)
    print("nearest five:")
    for i, d in zip(hit_ids[0], distances[0]):
        print(f"  id {i:4d}  distance {d:8.4f}  shade {points.get(i)[1]['shade']}")

    hit_ids, distances = points.search(query, k=5, filter={"shade": "blue"})
    print("nearest five blue ones:", hit_ids[0].tolist())

    # Conditions combine with &, | and ~.
    recent_green = (vexal.field("shade") == "green") & (vexal.field("n") >= 500)
    hit_ids, _ = points.search(rng.random((3, 8)), k=2, filter=recent_green)
    print("two green ones with n >= 500 for each of three queries:", hit_ids.tolist())

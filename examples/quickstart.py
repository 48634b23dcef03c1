"""Build a small store, then read it back: the main job of kalvex in twenty lines."""
import os
import tempfile

import kalvex

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "users.klvx")

    with kalvex.KalvWriter(path) as writer:  # builds atomically when the block ends
        writer["user:alice"] = {"name": "Alice", "age": 30, "tags": ["admin"]}
        writer.add({"name": "Bob", "age": 40}, "user:bob", "email:bob@example.org")
        writer["user:carol"] = {"name": "Alice", "age": 30, "tags": ["admin"]}  # stored once

    with kalvex.KalvReader(path) as reader:  # a read-only Mapping over the memory-mapped file
        print("reader['user:bob'] =", reader["user:bob"])
        print("'user:dave' in reader =", "user:dave" in reader)
        print("reader.prefix('user:') keys =", [key for key, _ in reader.prefix("user:")])
        print("len(reader) =", len(reader), "keys;", len(reader.objects()), "distinct objects")
        print("verify() =", reader.verify())

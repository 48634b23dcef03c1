"""Build a small store, then read it back: the main job of kalvex in twenty lines."""
import os
import tempfile

from kalvex import _kalvex

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "users.klvx")

    writer = _kalvex._KalvWriter()
    alice = writer.add_object_raw(b"\x82\xa4name\xa5Alice\xa3age\x1e")  # msgpack bytes
    bob = writer.add_object_raw(b"\x82\xa4name\xa3Bob\xa3age\x28")
    writer.add_key("user:alice", alice)
    writer.add_key("user:bob", bob)
    writer.add_key("email:alice@example.org", alice)  # two keys, one stored object
    writer.build(path)  # atomic: temporary file, fsync, rename; prints one summary line

    with _kalvex._KalvReader(path) as reader:
        print("get_raw('user:bob') =", reader.get_raw("user:bob"))
        print("exists('user:carol') =", reader.exists("user:carol"))
        print("prefix_raw('user:') keys =", [key for key, _ in reader.prefix_raw("user:")])
        print("distinct objects =", len(reader.objects_raw()))
        print("stats =", reader.stats())
        print("verify() =", reader.verify())

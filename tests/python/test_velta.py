"""The velta package against a real libvelta.so (path in argv[1]).

Misuse must raise, never crash the interpreter: a crash ends this process
and fails the CTest entry outright.
"""
import errno
import os
import random
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import velta  # noqa: E402

LIB = sys.argv.pop(1) if len(sys.argv) > 1 else None


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        velta.load_library(LIB)

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.tmp.name, "s.vl")

    def tearDown(self):
        self.tmp.cleanup()

    def files(self):
        """Every file of the scratch directory with its bytes."""
        out = {}
        for name in os.listdir(self.tmp.name):
            with open(os.path.join(self.tmp.name, name), "rb") as f:
                out[name] = f.read()
        return out

    def test_versions_and_edits(self):
        with velta.Engine() as e:
            doc = e.create("notes", b"hello, world")
            doc.update(7, 5, b"velta")
            self.assertEqual(doc.read(), b"hello, velta")
            self.assertEqual(doc.read(version=0), b"hello, world")
            self.assertEqual(len(doc.versions), 2)
            with self.assertRaises(velta.RefusedError):
                doc.update(100, 0, b"x")
            self.assertEqual(e.stats()["bytes_ingested"], 12)

    def test_pythonic_surface(self):
        with velta.Engine() as e:
            doc = e.create("notes", "héllo")          # str is UTF-8
            doc.append(" world")
            self.assertEqual(len(doc), len("héllo world".encode()))
            self.assertEqual(doc.versions[-1].text(), "héllo world")
            self.assertEqual(doc[0][0:1], b"h")
            self.assertEqual(doc.versions[1][-5:], b"world")
            self.assertEqual(bytes(doc[0]), "héllo".encode())
            self.assertEqual([v.index for v in doc.versions], [0, 1])
            self.assertIn("notes", e)
            self.assertNotIn("other", e)
            self.assertNotIn(42, e)
            self.assertEqual([o.name for o in e], ["notes"])
            self.assertIs(e["notes"], doc)            # one handle per object
            self.assertEqual(doc.history(0, 1), [])
            self.assertEqual(doc.history(6, 5), [1])

    def test_search_reports_names_and_positions(self):
        with velta.Engine() as e:
            e.create("a", b"one two one")
            e.create("b", "none")
            self.assertEqual(e.search(b"one"), [("a", 0), ("a", 8), ("b", 1)])
            self.assertEqual(e.search("one", max_hits=1), [("a", 0)])
            e.create("many", b"x" * 5000)
            self.assertEqual(len(e.search(b"x")), 5000)   # grows past one buffer

    def test_store_round_trip_and_commit_race(self):
        path = self.path
        with velta.Engine() as e:
            e.create("doc", b"first text")
            e.save(path)
        with velta.Engine(path) as a, velta.Engine(path) as b:
            a["doc"].update(0, 5, b"FIRST")
            b["doc"].update(0, 5, b"other")
            a.commit()
            with self.assertRaises(velta.GenerationError):
                b.commit()
        with velta.Engine(path) as e:
            self.assertEqual(e["doc"].read(), b"FIRST text")
        with self.assertRaises(OSError):
            velta.Engine(os.path.join(self.tmp.name, "missing.vl"))
        velta.verify(path)
        self.assertEqual(velta.store_format(path), velta.format_version())

    def test_merge_conflict_raises(self):
        with velta.Engine() as e:
            doc = e.create("m", b"abcdef")
            doc.update(1, 2, b"XX")          # version 1: aXXdef
            doc.update(1, 2, b"bc")          # version 2: abcdef again
            doc.update(2, 2, b"YY")          # version 3: abYYef
            with self.assertRaises(velta.ConflictError) as cm:
                doc.merge(0, 1)
            self.assertTrue(cm.exception.report.conflict)
            self.assertEqual(len(doc.versions), 4)   # nothing applied

    def test_handles_die_with_engine_and_object(self):
        e = velta.Engine()
        doc = e.create("doc", b"old text")
        version = doc.versions[0]
        e.delete("doc")
        fresh = e.create("doc", b"new text")
        for use in (lambda: doc.read(), lambda: len(doc), lambda: doc.update(0, 1, b"x"),
                    lambda: doc.name, lambda: version.read(), lambda: doc.delete()):
            with self.assertRaises(velta.ClosedError):
                use()
        self.assertEqual(fresh.read(), b"new text")
        e.close()
        e.close()                                    # twice is fine
        for use in (lambda: fresh.read(), lambda: len(e), lambda: e.create("x"),
                    lambda: e["doc"], lambda: e.search(b"x"), lambda: e.save(self.path)):
            with self.assertRaises(velta.ClosedError):
                use()
        self.assertIn("closed", repr(fresh))

    def test_bad_arguments_raise_never_wrap(self):
        with velta.Engine() as e:
            doc = e.create("doc", b"0123456789")
            self.assertEqual(doc.read(0, 2**40), b"0123456789")   # clamped
            self.assertEqual(doc.read(50), b"")
            value_errors = [
                lambda: doc.update(0, -1, b"x"), lambda: doc.update(-1, 0, b"x"),
                lambda: doc.read(-1), lambda: doc.read(0, -5), lambda: doc.read(2**64),
                lambda: doc.cut(0, -1), lambda: doc.trim(0), lambda: doc.trim(2**32),
                lambda: doc.history(0, 0), lambda: doc.history(-1, 2),
                lambda: e.search(b"x", max_hits=-1), lambda: e.search(b""),
                lambda: e.create("n" * 64), lambda: e.create(""), lambda: e.create("doc"),
                lambda: e.train(b"x", passes=-1), lambda: doc[0][0:10:2],
                lambda: velta.Engine("bad\0path"), lambda: e.save(""),
            ]
            for i, call in enumerate(value_errors):
                with self.subTest(i=i), self.assertRaises(ValueError):
                    call()
            for bad in (2, -3, 2**32, 2**40):
                with self.subTest(version=bad), self.assertRaises(IndexError):
                    doc.read(version=bad)
            with self.assertRaises(IndexError):
                doc.merge(0, 7)
            for call in (lambda: doc.update("0", 1), lambda: doc.update(0, 1, 5),
                         lambda: e.create(None), lambda: doc.versions["x"],
                         lambda: doc.read(version=1.0), lambda: doc.update(True, 0)):
                with self.assertRaises(TypeError):
                    call()
            self.assertEqual(doc.read(), b"0123456789")          # nothing changed
            self.assertEqual(len(doc.versions), 1)

    def test_trim_and_binary_objects(self):
        with velta.Engine() as e:
            doc = e.create("doc", b"a")
            for c in b"bcd":
                doc.append(bytes([c]))
            newest = doc.versions[3]
            self.assertEqual(doc.trim(2), 2)
            self.assertEqual(doc.versions[0].read(), b"abc")
            with self.assertRaises(IndexError):
                newest.read()                        # index 3 is gone
            with self.assertRaises(IndexError):
                doc.versions[2]
            blob = e.create_binary("blob", bytes(range(256)) * 64, target_size=1024)
            self.assertTrue(blob.is_binary)
            self.assertFalse(doc.is_binary)
            self.assertEqual(blob.read(), bytes(range(256)) * 64)
            self.assertGreater(blob.chunk_count(), 1)

    def test_readonly_engine_writes_nothing(self):
        with velta.Engine() as e:
            e.create("doc", b"kept")
            e.save(self.path)
        before = self.files()
        with velta.Engine(self.path, readonly=True) as e:
            e["doc"].update(0, 4, b"lost")
            for call in (lambda: e.commit(), lambda: e.save(self.path)):
                with self.assertRaises(OSError) as cm:
                    call()
                self.assertEqual(cm.exception.errno, errno.EROFS)
        self.assertEqual(before, self.files())
        with velta.Engine(self.path) as e:
            self.assertEqual(e["doc"].read(), b"kept")

    def test_lock_and_inspection(self):
        with velta.Engine() as e:
            e.create("doc", b"x")
            e.save(self.path)
            with open(self.path + ".lock", "w") as f:
                f.write("1\n")
            self.assertTrue(velta.lock_held(self.path))
            e["doc"].append(b"y")
            with self.assertRaises(velta.LockedError):
                e.commit()
            velta.lock_break(self.path)
            e.commit()
        with self.assertRaises(OSError):
            velta.lock_break(self.path)
        self.assertEqual(velta.store_generation(self.path), 2)
        with self.assertRaises(ValueError):
            velta.Engine().commit()

    def test_random_edits_match_a_list_model(self):
        """Seeded random edits and misuses against a list of bytes versions;
        every version and slice must match after each step and after a
        commit and read-only reopen."""
        seed = int.from_bytes(os.urandom(4), "little")
        rng = random.Random(seed)
        model = [b"the keeper counted ninety steps"]
        with velta.Engine() as e:
            doc = e.create("doc", model[0])
            for step in range(150):
                cur = model[-1]
                pos = rng.randrange(len(cur) + 3)          # sometimes past the end
                delete = rng.choice([0, 1, 5, 2**63, -1])
                data = rng.choice([b"", b"tide", "fög", b"\x00\xff"])
                try:
                    doc.update(pos, delete, data)
                except (ValueError, IndexError):
                    self.assertTrue(pos > len(cur) or delete < 0, "seed %d" % seed)
                else:
                    raw = data.encode() if isinstance(data, str) else data
                    model.append(cur[:pos] + raw + cur[pos + delete:])
                v = rng.randrange(-len(model), len(model))
                a, b = sorted(rng.randrange(-5, len(model[v]) + 5) for _ in range(2))
                self.assertEqual(doc[v][a:b], model[v][a:b], "seed %d step %d" % (seed, step))
            e.save(self.path)
        with velta.Engine(self.path, readonly=True) as e:
            got = [bytes(v) for v in e["doc"].versions]
        self.assertEqual(got, model, "seed %d" % seed)

    def test_threads_take_turns(self):
        with velta.Engine() as e:
            docs = [e.create("d%d" % i, b"start") for i in range(4)]

            def work(doc):
                for i in range(200):
                    doc.append(b"%d," % i)
                    doc.read()
            threads = [threading.Thread(target=work, args=(d,)) for d in docs]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertTrue(all(len(d.versions) == 201 for d in docs))


if __name__ == "__main__":
    unittest.main()

"""The ctypes binding against a real libvelta.so (path in argv[1])."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import velta  # noqa: E402

LIB = sys.argv.pop(1) if len(sys.argv) > 1 else None


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        velta.load_library(LIB)

    def test_versions_and_edits(self):
        with velta.Engine() as e:
            doc = e.create("notes", b"hello, world")
            doc.update(7, 5, b"velta")
            self.assertEqual(doc.read(), b"hello, velta")
            self.assertEqual(doc.read(version=0), b"hello, world")
            self.assertEqual(doc.versions, 2)
            with self.assertRaises(velta.RefusedError):
                doc.update(100, 0, b"x")
            self.assertEqual(e.stats()["bytes_ingested"], 12)

    def test_search_reports_names_and_positions(self):
        with velta.Engine() as e:
            e.create("a", b"one two one")
            e.create("b", b"none")
            self.assertEqual(e.search(b"one"), [("a", 0), ("a", 8), ("b", 1)])

    def test_store_round_trip_and_commit_race(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "s.vl")
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
                velta.Engine(os.path.join(d, "missing.vl"))

    def test_merge_conflict_raises(self):
        with velta.Engine() as e:
            doc = e.create("m", b"abcdef")
            doc.update(1, 2, b"XX")          # version 1: aXXdef
            doc.update(1, 2, b"bc")          # version 2: abcdef again
            doc.update(2, 2, b"YY")          # version 3: abYYef
            with self.assertRaises(velta.ConflictError):
                doc.merge(0, 1)


if __name__ == "__main__":
    unittest.main()

"""The velta tool against a model: seeded random edits of a text, put one
version at a time, must read back version by version; log must report the
span each put changed; versions must share storage; every --json output
must parse; diff must be a patch that turns version A into version B.

Usage: cli_model_test.py VELTA_TOOL
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "velta"
SEED = int.from_bytes(os.urandom(4), "little")


def velta(*args, stdin=None, check=True):
    r = subprocess.run([TOOL, *args], input=stdin, capture_output=True)
    if check and r.returncode != 0:
        raise AssertionError("velta %s: exit %d: %s" % (" ".join(args), r.returncode,
                                                        r.stderr.decode(errors="replace")))
    return r


def span(a, b):
    """Common prefix, then removed and inserted lengths."""
    n = min(len(a), len(b))
    p = 0
    while p < n and a[p] == b[p]:
        p += 1
    s = 0
    while s < n - p and a[len(a) - 1 - s] == b[len(b) - 1 - s]:
        s += 1
    return p, len(a) - p - s, len(b) - p - s


def random_edit(rng, text):
    words = [b"keeper", b"light", b"harbour", b"\n", b"fog ", b"bell, ", b"tide"]
    pos = rng.randrange(len(text) + 1)
    cut = min(rng.randrange(40), len(text) - pos)
    new = b" ".join(rng.choice(words) for _ in range(rng.randrange(6)))
    return text[:pos] + new + text[pos + cut:]


class CliModelTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.store = os.path.join(self.dir, "s.vl")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_puts_match_model_and_share_storage(self):
        rng = random.Random(SEED)
        base = b"".join(b"line %d of the harbour log, wind and tide\n" % i for i in range(400))
        versions = [base]
        for _ in range(30):
            versions.append(random_edit(rng, versions[-1]))
        for text in versions:
            velta("put", self.store, "doc", "-", "--force", stdin=text)
        for v, text in enumerate(versions):
            self.assertEqual(velta("cat", self.store, "doc", "-v", str(v)).stdout, text,
                             "seed %d version %d" % (SEED, v))
        log = json.loads(velta("log", self.store, "doc", "--json").stdout)
        self.assertEqual(len(log), len(versions))
        for v in range(1, len(versions)):
            pos, removed, inserted = span(versions[v - 1], versions[v])
            self.assertEqual((log[v]["pos"], log[v]["removed"], log[v]["inserted"]),
                             (pos, removed, inserted), "seed %d version %d" % (SEED, v))
        info = json.loads(velta("info", self.store, "--json").stdout)
        self.assertEqual(info["history_bytes"], sum(len(t) for t in versions))
        # Spliced versions share chunks: far less than one copy per version.
        self.assertLess(info["token_bytes"], 6 * info["history_bytes"] // len(versions))
        velta("verify", self.store)

    def test_search_all_versions_matches_model(self):
        texts = [b"aaa tide aa", b"tide tide", b"no match", b"aa"]
        for t in texts:
            velta("put", self.store, "doc", "-", "--force", stdin=t)
        hits = json.loads(velta("search", self.store, "aa", "--all-versions", "--json").stdout)
        stored = [velta("cat", self.store, "doc", "-v", str(v)).stdout for v in range(4)]
        want = [(v, i) for v, t in enumerate(stored) for i in range(len(t)) if t.startswith(b"aa", i)]
        self.assertEqual([(h["version"], h["pos"]) for h in hits["hits"]], want)
        self.assertEqual(hits["total"], len(want))
        few = velta("search", self.store, "aa", "--all-versions", "-n", "2")
        self.assertEqual(len(few.stdout.splitlines()), 2)
        self.assertIn(b"%d more hits not shown" % (len(want) - 2), few.stderr)

    def test_json_outputs_parse_with_awkward_names(self):
        names = ['quote"name', "back\\slash", "tab\tname", "ünïcode"]
        for n in names:
            velta("put", self.store, n, "-", stdin=b"text for " + n.encode())
        listed = json.loads(velta("ls", self.store, "--json").stdout)
        self.assertEqual([o["name"] for o in listed], names)
        hits = json.loads(velta("search", self.store, "text", "--json").stdout)
        self.assertEqual([h["object"] for h in hits["hits"]], names)
        self.assertEqual(json.loads(velta("info", self.store, "--json").stdout)["objects"], 4)

    @unittest.skipUnless(shutil.which("patch"), "needs patch")
    def test_diff_patches_a_into_b(self):
        rng = random.Random(SEED + 2)
        a = b"".join(b"row %d\n" % i for i in range(60))
        b = a
        for _ in range(5):
            b = random_edit(rng, b)
        b += b"tail without newline"
        velta("put", self.store, "doc", "-", stdin=a)
        velta("put", self.store, "doc", "-", stdin=b)
        diff = velta("diff", self.store, "doc", "0", "1").stdout
        target = os.path.join(self.dir, "a.txt")
        with open(target, "wb") as f:
            f.write(a)
        r = subprocess.run(["patch", "-s", target], input=diff, capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr + diff)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b, "seed %d" % SEED)

    def test_failed_output_leaves_no_file(self):
        velta("put", self.store, "doc", "-", stdin=b"x")
        missing = os.path.join(self.dir, "no", "out.txt")
        r = velta("cat", self.store, "doc", "-o", missing, check=False)
        self.assertEqual(r.returncode, 5)
        self.assertEqual(sorted(os.listdir(self.dir)), ["s.vl", "s.vl.wal"])

    def test_mv_keeps_every_version(self):
        texts = [b"one", b"one two", b"one two three"]
        for t in texts:
            velta("put", self.store, "old", "-", stdin=t)
        velta("mv", self.store, "old", "new")
        self.assertEqual([velta("cat", self.store, "new", "-v", str(v)).stdout for v in range(3)],
                         texts)
        self.assertEqual(velta("cat", self.store, "old", check=False).returncode, 1)


if __name__ == "__main__":
    print("seed", SEED)
    unittest.main()

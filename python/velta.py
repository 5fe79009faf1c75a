"""velta: a ctypes binding over libvelta.so's flat interface.

Every function the binding calls is declared once, in header order, with its
argument and result types: ctypes' default `int` would truncate 64-bit
counts and pointers. Store-level failures raise OSError(errno); edit
refusals raise RefusedError, merge conflicts ConflictError, commit races
GenerationError and LockedError.

    with velta.Engine() as e:
        doc = e.create("notes", b"hello, world")
        doc.update(7, 5, b"velta")
        print(doc.read(version=0))      # b'hello, world'
        e.save("notes.vl")
"""

import ctypes
import ctypes.util
import os

__all__ = ["Engine", "Object", "RefusedError", "ConflictError", "GenerationError",
           "LockedError", "load_library"]

_u32, _u64, _int = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_int
_p, _cp = ctypes.c_void_p, ctypes.c_char_p


class RefusedError(ValueError):
    """An edit was refused: position out of range or not token-aligned."""


class ConflictError(RuntimeError):
    """A three-way merge found overlapping, different changes."""


class GenerationError(RuntimeError):
    """A commit lost the race: the store changed since it was opened."""


class LockedError(RuntimeError):
    """A commit could not take the store's lock file."""


class MergeReport(ctypes.Structure):
    _fields_ = [("ours_pos", _u64), ("ours_end", _u64), ("theirs_pos", _u64),
                ("theirs_end", _u64), ("ours_len", _u64), ("theirs_len", _u64),
                ("conflict", _u32), ("same", _u32), ("version", _u32)]


# (name, restype, argtypes), in header order.
_SIGNATURES = [
    ("vl_engine_new", _p, []),
    ("vl_engine_free", None, [_p]),
    ("vl_engine_objects", _u32, [_p]),
    ("vl_engine_object", _p, [_p, _int]),
    ("vl_create", _p, [_p, _cp, _cp, _u64]),
    ("vl_object_open", _p, [_p, _cp]),
    ("vl_delete", _int, [_p, _cp]),
    ("vl_read_version", _u64, [_p, _p, _u32, _u64, _u64, _p]),
    ("vl_update", _int, [_p, _p, _u64, _u64, _cp, _u64]),
    ("vl_cut", _int, [_p, _p, _u64, _u64]),
    ("vl_graft", _int, [_p, _p, _u64, _p, _u64, _u64]),
    ("vl_trim_history", _int, [_p, _p, _u32]),
    ("vl_save_ex", _int, [_p, _cp, _int]),
    ("vl_open", _p, [_cp]),
    ("vl_commit", _int, [_p, _cp, _u64]),
    ("vl_engine_generation", _u64, [_p]),
    ("vl_close", None, [_p]),
    ("vl_capi_version", _cp, []),
    ("vl_object_versions", _u32, [_p]),
    ("vl_object_name", _cp, [_p]),
    ("vl_object_bytes", _u64, [_p, _u32]),
    ("vl_stats_flat", None, [_p, ctypes.POINTER(_u64)]),
    ("vl_train", _int, [_p, _cp, _u64, _u32, _u32, _u32]),
    ("vl_search_flat", _u64, [_p, _cp, _u64, ctypes.POINTER(_u64), ctypes.POINTER(_int), _u64]),
    ("vl_range_history", _u32, [_p, _u64, _u64, ctypes.POINTER(_u32), _u32]),
    ("vl_create_binary", _p, [_p, _cp, _cp, _u64, _p]),
    ("vl_merge", _int, [_p, _p, _u32, _u32, ctypes.POINTER(MergeReport)]),
]

_STATS = ("chunks_put", "chunks_deduped", "tokens_scanned", "tokens_decoded",
          "bytes_ingested", "store_bytes")
_NEWEST = 0xFFFFFFFF
_lib = None


def load_library(path=None):
    """Loads libvelta.so (the path given; else the release build beside this
    file, then the system's) and declares its functions."""
    global _lib
    if _lib is not None and path is None:
        return _lib
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [path] if path else [
        os.path.join(here, "..", "build", "release", "libvelta.so"),
        ctypes.util.find_library("velta") or "libvelta.so"]
    last = None
    for c in candidates:
        try:
            lib = ctypes.CDLL(c, use_errno=True)
            break
        except OSError as err:
            last = err
    else:
        raise last
    for name, restype, argtypes in _SIGNATURES:
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    _lib = lib
    return lib


def _oserror():
    err = ctypes.get_errno()
    return OSError(err, os.strerror(err))


class Object:
    """A named object of an engine; valid until deleted or the engine closes."""

    def __init__(self, engine, handle):
        self._engine, self._h = engine, handle

    @property
    def name(self):
        return _lib.vl_object_name(self._h).decode("utf-8", "surrogateescape")

    @property
    def versions(self):
        return _lib.vl_object_versions(self._h)

    def size(self, version=None):
        return _lib.vl_object_bytes(self._h, _NEWEST if version is None else version)

    def read(self, start=0, length=None, version=None):
        v = self.versions - 1 if version is None else version
        if not 0 <= v < self.versions:
            raise IndexError("no version %d" % v)
        total = _lib.vl_object_bytes(self._h, v)
        n = max(0, total - start) if length is None else length
        buf = ctypes.create_string_buffer(max(n, 1))
        got = _lib.vl_read_version(self._engine._h, self._h, v, start, n, buf)
        return buf.raw[:got]

    def _edit(self, rc):
        if rc != 0:
            raise RefusedError("edit refused")

    def update(self, pos, delete, text=b""):
        self._edit(_lib.vl_update(self._engine._h, self._h, pos, delete, text, len(text)))

    def cut(self, pos, length):
        self._edit(_lib.vl_cut(self._engine._h, self._h, pos, length))

    def graft(self, pos, source, source_pos, length):
        self._edit(_lib.vl_graft(self._engine._h, self._h, pos, source._h, source_pos, length))

    def trim_history(self, keep):
        return _lib.vl_trim_history(self._engine._h, self._h, keep)

    def changed_in(self, start, length):
        """Versions (>= 1) that changed the byte range against the one before."""
        cap = max(self.versions, 1)
        out = (_u32 * cap)()
        n = _lib.vl_range_history(self._h, start, length, out, cap)
        return list(out[:n])

    def merge(self, base, other):
        rep = MergeReport()
        rc = _lib.vl_merge(self._engine._h, self._h, base, other, ctypes.byref(rep))
        if rc == -2:
            raise ConflictError("overlapping changes")
        if rc != 0:
            raise RefusedError("merge failed")
        return rep.version


class Engine:
    """An engine in memory (Engine()) or opened from a store (Engine(path))."""

    def __init__(self, path=None):
        load_library()
        self.path = path
        h = _lib.vl_open(os.fsencode(path)) if path else _lib.vl_engine_new()
        if not h:
            raise _oserror()
        self._h = h
        self.generation = _lib.vl_engine_generation(h)

    def close(self):
        if self._h:
            _lib.vl_close(self._h)
            self._h = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __len__(self):
        return _lib.vl_engine_objects(self._h)

    def objects(self):
        return [Object(self, _lib.vl_engine_object(self._h, i)) for i in range(len(self))]

    def create(self, name, text=b""):
        h = _lib.vl_create(self._h, name.encode(), text, len(text))
        if not h:
            raise MemoryError("vl_create")
        return Object(self, h)

    def create_binary(self, name, data):
        h = _lib.vl_create_binary(self._h, name.encode(), data, len(data), None)
        if not h:
            raise MemoryError("vl_create_binary")
        return Object(self, h)

    def __getitem__(self, name):
        h = _lib.vl_object_open(self._h, name.encode())
        if not h:
            raise KeyError(name)
        return Object(self, h)

    def delete(self, name):
        if _lib.vl_delete(self._h, name.encode()) != 0:
            raise KeyError(name)

    def stats(self):
        out = (_u64 * 6)()
        _lib.vl_stats_flat(self._h, out)
        return dict(zip(_STATS, out))

    def train(self, sample, passes=4, per_pass=1000, min_count=2):
        return _lib.vl_train(self._h, sample, len(sample), passes, per_pass, min_count)

    def search(self, pattern, max_hits=1000):
        """[(object name, byte position)] over every object's current text."""
        pos, obj = (_u64 * max_hits)(), (_int * max_hits)()
        n = _lib.vl_search_flat(self._h, pattern, len(pattern), pos, obj, max_hits)
        names = [o.name for o in self.objects()]
        return [(names[obj[i]], pos[i]) for i in range(n)]

    def save(self, path, mappable=False, compress=True):
        opts = (1 if mappable else 0) | (0 if compress else 2)
        if _lib.vl_save_ex(self._h, os.fsencode(path), opts) != 0:
            raise _oserror()
        self.path, self.generation = path, _lib.vl_engine_generation(self._h)

    def commit(self, path=None):
        path = path or self.path
        rc = _lib.vl_commit(self._h, os.fsencode(path), self.generation)
        if rc == -2:
            raise GenerationError(path)
        if rc == -3:
            raise LockedError(path)
        if rc != 0:
            raise _oserror()
        self.path, self.generation = path, _lib.vl_engine_generation(self._h)

"""velta: named texts and bytes with every version they had, sharing storage.

    with velta.Engine() as e:                 # in memory
        doc = e.create("notes", "hello, world")
        doc.update(7, 5, "velta")
        doc.versions[0][0:5]                  # b'hello'
        doc.text()                            # 'hello, velta'
        e.save("notes.vl")

    with velta.Engine("notes.vl") as e:       # a store: edits are logged
        e["notes"].update(0, 5, "HELLO")
        e.commit()

Text arguments are `str` (sent as UTF-8) or bytes-like. Positions, lengths
and counts are non-negative ints below 2**64: anything else raises
ValueError (or TypeError), never wraps. Version indices follow Python's
sequence rules (-1 is the newest) and raise IndexError out of range.

Handles never outlive what they name: an Object whose engine was closed, or
whose object was deleted, raises ClosedError on every use. Store failures
raise OSError(errno); refused edits RefusedError; merge conflicts
ConflictError; lost commit races GenerationError; a held lock LockedError.
"""

from __future__ import annotations

import ctypes
import errno
import operator
import os
import weakref
from dataclasses import dataclass
from typing import Iterator, List, NamedTuple, Optional, Sequence, Union, overload

from . import _native
from ._native import U32_MAX, U64_MAX, NEWEST, load_library

__all__ = ["Engine", "Object", "Version", "Versions", "Hit", "MergeResult", "VeltaError",
           "ClosedError", "RefusedError", "ConflictError", "GenerationError", "LockedError",
           "load_library", "store_format", "store_generation", "format_version",
           "lock_held", "lock_break", "verify"]

Data = Union[str, bytes, bytearray, memoryview]
PathLike = Union[str, bytes, "os.PathLike[str]"]

MAX_NAME_BYTES = 63


class VeltaError(Exception):
    """Base of the errors velta raises besides OSError, ValueError and IndexError."""


class ClosedError(VeltaError, ValueError):
    """A handle was used after its engine closed or its object was deleted."""


class RefusedError(VeltaError, ValueError):
    """The library refused an edit: range outside the text or inside a token."""


class ConflictError(VeltaError):
    """A three-way merge found overlapping, different changes."""

    def __init__(self, message: str, report: "MergeResult"):
        super().__init__(message)
        self.report = report


class GenerationError(VeltaError):
    """A commit lost the race: the store changed since it was opened."""


class LockedError(VeltaError):
    """A commit could not take the store's lock file."""


class Hit(NamedTuple):
    """One search hit: the object's name and the byte position."""
    name: str
    pos: int


@dataclass(frozen=True)
class MergeResult:
    """What a three-way merge found; positions are bytes of the base text."""
    ours_pos: int
    ours_end: int
    theirs_pos: int
    theirs_end: int
    ours_len: int
    theirs_len: int
    conflict: bool
    same: bool
    version: int


# ------------------------------------------------------------ conversions

def _lib():
    return load_library()


def _data(value: Data, what: str = "data") -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("%s must be str or bytes-like, not %s" % (what, type(value).__name__))


def _name(value: Union[str, bytes]) -> bytes:
    if isinstance(value, str):
        raw = value.encode("utf-8")
    elif isinstance(value, bytes):
        raw = value
    else:
        raise TypeError("object names are str or bytes, not %s" % type(value).__name__)
    if not raw:
        raise ValueError("object names cannot be empty")
    if b"\0" in raw:
        raise ValueError("object names cannot hold NUL")
    if len(raw) > MAX_NAME_BYTES:
        raise ValueError("object name is %d bytes; names hold at most %d" % (len(raw), MAX_NAME_BYTES))
    return raw


def _int(value, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % what)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__)) from None


def _count(value: int, what: str, limit: int = U64_MAX) -> int:
    value = _int(value, what)
    if value < 0:
        raise ValueError("%s must not be negative (got %d)" % (what, value))
    if value > limit:
        raise ValueError("%s must be at most %d (got %d)" % (what, limit, value))
    return value


def _path(path: PathLike) -> bytes:
    raw = os.fsencode(path)
    if not raw or b"\0" in raw:
        raise ValueError("a store path must be non-empty and hold no NUL")
    return raw


def _oserror(path=None) -> OSError:
    err = ctypes.get_errno() or errno.EIO
    return OSError(err, os.strerror(err), path)


def _report(rep: _native.MergeReport) -> MergeResult:
    return MergeResult(rep.ours_pos, rep.ours_end, rep.theirs_pos, rep.theirs_end, rep.ours_len,
                       rep.theirs_len, bool(rep.conflict), bool(rep.same), rep.version)


# --------------------------------------------------------------- versions

class Version:
    """Version `index` of an object: bytes, tokens, and slicing by byte."""

    __slots__ = ("_object", "index")

    def __init__(self, obj: "Object", index: int):
        self._object, self.index = obj, index

    def _checked(self) -> int:
        if self.index >= _lib().vl_object_versions(self._object._h):
            raise IndexError("version %d no longer exists (history was trimmed)" % self.index)
        return self.index

    def __len__(self) -> int:
        return _lib().vl_object_bytes(self._object._h, self._checked())

    @property
    def tokens(self) -> int:
        """Token count of this version."""
        return _lib().vl_object_tokens(self._object._h, self._checked())

    def read(self, start: int = 0, length: Optional[int] = None) -> bytes:
        """Up to `length` bytes from byte `start` (clamped to the end)."""
        return self._object.read(start, length, version=self.index)

    def __getitem__(self, key: slice) -> bytes:
        if not isinstance(key, slice):
            raise TypeError("versions are sliced by byte range: version[a:b]")
        start, stop, step = key.indices(len(self))
        if step != 1:
            raise ValueError("version slices take no step")
        return self.read(start, max(0, stop - start))

    def __bytes__(self) -> bytes:
        return self.read()

    def text(self, encoding: str = "utf-8", errors: str = "strict") -> str:
        return self.read().decode(encoding, errors)

    def __repr__(self) -> str:
        return "<velta.Version %d of %r>" % (self.index, self._object.name)


class Versions(Sequence[Version]):
    """An object's versions, oldest first; -1 is the newest."""

    __slots__ = ("_object",)

    def __init__(self, obj: "Object"):
        self._object = obj

    def __len__(self) -> int:
        return _lib().vl_object_versions(self._object._h)

    @overload
    def __getitem__(self, index: int) -> Version: ...
    @overload
    def __getitem__(self, index: slice) -> List[Version]: ...

    def __getitem__(self, index):
        n = len(self)
        if isinstance(index, slice):
            return [Version(self._object, i) for i in range(*index.indices(n))]
        index = _int(index, "a version index")
        if not -n <= index < n:
            raise IndexError("version %d out of range: %r has %d" % (index, self._object.name, n))
        return Version(self._object, index % n)


# ---------------------------------------------------------------- objects

class Object:
    """A named object of an engine. Get one from Engine.create, engine[name]
    or iteration; it stays usable until its engine closes or it is deleted."""

    def __init__(self, engine: "Engine", handle: int):
        self._engine, self._handle = engine, handle
        self._dead: Optional[str] = None

    @property
    def _h(self) -> int:
        if self._dead is not None:
            raise ClosedError(self._dead)
        self._engine._e  # raises when the engine is closed
        return self._handle

    def _index(self, version: int) -> int:
        return self.versions[version].index

    @property
    def name(self) -> str:
        return _lib().vl_object_name(self._h).decode("utf-8", "surrogateescape")

    @property
    def versions(self) -> Versions:
        return Versions(self)

    @property
    def engine(self) -> "Engine":
        return self._engine

    @property
    def is_binary(self) -> bool:
        """True for objects made by create_binary."""
        h = self._h
        return _lib().vl_object_dict_version(h, 0) == 0 and _lib().vl_object_bytes(h, 0) > 0

    def __getitem__(self, version: int) -> Version:
        return self.versions[version]

    def __len__(self) -> int:
        return _lib().vl_object_bytes(self._h, NEWEST)

    def __bool__(self) -> bool:
        return True

    def __repr__(self) -> str:
        if self._dead is not None:
            return "<velta.Object (%s)>" % self._dead
        return "<velta.Object %r, %d versions>" % (self.name, len(self.versions))

    def read(self, start: int = 0, length: Optional[int] = None, version: int = -1) -> bytes:
        """Bytes [start, start + length) of a version (default: the newest),
        clamped to its end; b"" when start is at or past the end."""
        h = self._h
        v = self._index(version)
        _count(start, "start")
        size = _lib().vl_object_bytes(h, v)
        available = max(0, size - start)
        n = available if length is None else min(_count(length, "length"), available)
        if n == 0:
            return b""
        buf = ctypes.create_string_buffer(n)
        got = _lib().vl_read_version(self._engine._e, h, v, start, n, buf)
        return buf.raw[:got]

    def text(self, version: int = -1, encoding: str = "utf-8", errors: str = "strict") -> str:
        return self.read(version=version).decode(encoding, errors)

    def _edit(self, rc: int, what: str) -> None:
        if rc != 0:
            raise RefusedError("%s refused for %r" % (what, self.name))

    def update(self, pos: int, delete: int = 0, data: Data = b"") -> None:
        """Replaces `delete` bytes at `pos` (clipped to the end) with `data`,
        as a new version."""
        h = self._h
        _count(pos, "pos")
        _count(delete, "delete")
        raw = _data(data)
        if pos > len(self):
            raise RefusedError("pos %d is past the end (%d bytes)" % (pos, len(self)))
        self._edit(_lib().vl_update(self._engine._e, h, pos, delete, raw, len(raw)), "update")

    def insert(self, pos: int, data: Data) -> None:
        self.update(pos, 0, data)

    def append(self, data: Data) -> None:
        self.update(len(self), 0, data)

    def cut(self, pos: int, length: int) -> None:
        """Removes the token-aligned bytes [pos, pos + length) as a new version."""
        h = self._h
        self._edit(_lib().vl_cut(self._engine._e, h, _count(pos, "pos"), _count(length, "length")),
                   "cut")

    def graft(self, pos: int, source: "Object", source_pos: int, length: int) -> None:
        """Inserts bytes of `source`'s current text at `pos`, sharing its chunks."""
        if not isinstance(source, Object):
            raise TypeError("source must be a velta.Object")
        if source._engine is not self._engine:
            raise ValueError("graft needs both objects in the same engine")
        h, src = self._h, source._h
        self._edit(_lib().vl_graft(self._engine._e, h, _count(pos, "pos"), src,
                                   _count(source_pos, "source_pos"), _count(length, "length")),
                   "graft")

    def trim(self, keep: int) -> int:
        """Keeps the newest `keep` (>= 1) versions; returns how many were dropped."""
        h = self._h
        if _count(keep, "keep", U32_MAX) < 1:
            raise ValueError("keep must be at least 1")
        return _lib().vl_trim_history(self._engine._e, h, keep)

    def history(self, start: int, length: int) -> List[int]:
        """Versions (>= 1) that changed bytes [start, start + length) against
        the version before."""
        h = self._h
        _count(start, "start")
        if _count(length, "length") == 0:
            raise ValueError("length must be at least 1")
        cap = max(len(self.versions), 1)
        out = (ctypes.c_uint32 * cap)()
        n = _lib().vl_range_history(h, start, length, out, cap)
        return list(out[:n])

    def changed(self, a: int, b: int, start: int, length: int) -> bool:
        """Whether bytes [start, start + length) may differ between versions a and b."""
        h = self._h
        return bool(_lib().vl_range_changed(h, self._index(a), self._index(b),
                                            _count(start, "start"), _count(length, "length")))

    def _merge(self, fn, base: int, other: int) -> MergeResult:
        h = self._h
        rep = _native.MergeReport()
        rc = fn(self._engine._e, h, self._index(base), self._index(other), ctypes.byref(rep))
        result = _report(rep)
        if rc == -2:
            raise ConflictError("overlapping changes in %r" % self.name, result)
        if rc != 0:
            raise RefusedError("merge refused for %r" % self.name)
        return result

    def merge(self, base: int, other: int) -> MergeResult:
        """Applies version `other`'s change against `base` to the newest
        version as a new version; ConflictError (nothing applied) on overlap."""
        return self._merge(_lib().vl_merge, base, other)

    def merge_preview(self, base: int, other: int) -> MergeResult:
        """What merge would do; changes nothing (conflicts still raise)."""
        return self._merge(_lib().vl_merge_preview, base, other)

    def chunk_count(self, version: int = -1) -> int:
        """Leaf count of a version's tree (chunks, for binary objects)."""
        h = self._h
        return _lib().vl_bin_chunk_count(h, self._index(version))

    def delete(self) -> None:
        """Deletes this object from its engine; every handle to it dies."""
        self._engine._delete_handle(self._h)


# ---------------------------------------------------------------- engines

class Engine:
    """An engine in memory (Engine()) or opened from a store (Engine(path)).

    readonly=True opens a store without writing to it; save and commit then
    raise OSError(EROFS), and edits stay in memory."""

    def __init__(self, path: Optional[PathLike] = None, *, readonly: bool = False):
        lib = _lib()
        self.readonly = bool(readonly)
        self.path = None if path is None else os.fspath(path)
        self._handles: "weakref.WeakValueDictionary[int, Object]" = weakref.WeakValueDictionary()
        self._h: Optional[int] = None
        if path is None:
            h = lib.vl_engine_new()
        elif readonly and _native.has("vl_open_ex"):
            h = lib.vl_open_ex(_path(path), _native.OPEN_READONLY)
        else:
            h = lib.vl_open(_path(path))
        if not h:
            raise _oserror(self.path)
        if path is not None and readonly and not _native.has("vl_open_ex"):
            # An older library: detach the log so edits are never written.
            wal = lib.vl_engine__wal(h)
            lib.vl_engine__set_wal(h, None)
            lib.vl_wal__destroy(wal)
        self._h = h
        self.generation = lib.vl_engine_generation(h) if path is not None else 0
        if path is not None and readonly:
            self.generation = lib.vl_store_generation(_path(path))

    @classmethod
    def open(cls, path: PathLike, readonly: bool = False) -> "Engine":
        return cls(path, readonly=readonly)

    @property
    def _e(self) -> int:
        if self._h is None:
            raise ClosedError("the engine is closed")
        return self._h

    @property
    def closed(self) -> bool:
        return self._h is None

    def close(self) -> None:
        """Frees the engine without saving; every Object of it dies."""
        if self._h is None:
            return
        for obj in list(self._handles.values()):
            obj._dead = "the engine of this object is closed"
        self._handles.clear()
        h, self._h = self._h, None
        _lib().vl_close(h)

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __enter__(self) -> "Engine":
        self._e
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _wrap(self, handle: int) -> Object:
        obj = self._handles.get(handle)
        if obj is None:
            obj = Object(self, handle)
            self._handles[handle] = obj
        return obj

    def _delete_handle(self, handle: int) -> None:
        e = self._e
        name = _lib().vl_object_name(handle)
        # vl_delete removes the first object of that name: make sure it is this one.
        if _lib().vl_object_open(e, name) != handle:
            raise RefusedError("another object shares this name; delete it by name first")
        obj = self._handles.pop(handle, None)
        if _lib().vl_delete(e, name) != 0:
            raise RefusedError("delete refused")
        if obj is not None:
            obj._dead = "object %r was deleted" % name.decode("utf-8", "surrogateescape")

    # -- the object table
    def __len__(self) -> int:
        return _lib().vl_engine_objects(self._e)

    def __iter__(self) -> Iterator[Object]:
        return iter(self.objects())

    def objects(self) -> List[Object]:
        e = self._e
        return [self._wrap(_lib().vl_engine_object(e, i)) for i in range(len(self))]

    def names(self) -> List[str]:
        return [o.name for o in self.objects()]

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, (str, bytes)):
            return False
        try:
            raw = _name(name)
        except ValueError:
            return False
        return bool(_lib().vl_object_open(self._e, raw))

    def __getitem__(self, name: Union[str, bytes]) -> Object:
        h = _lib().vl_object_open(self._e, _name(name))
        if not h:
            raise KeyError(name)
        return self._wrap(h)

    def get(self, name: Union[str, bytes], default=None):
        return self[name] if name in self else default

    def __delitem__(self, name: Union[str, bytes]) -> None:
        self.delete(name)

    def delete(self, name: Union[str, bytes]) -> None:
        """Deletes the object `name`; KeyError when there is none."""
        self[name].delete()

    def create(self, name: Union[str, bytes], data: Data = b"") -> Object:
        """A new text object with one version; ValueError if the name exists."""
        raw, text = _name(name), _data(data)
        if name in self:
            raise ValueError("an object named %r exists" % (name,))
        h = _lib().vl_create(self._e, raw, text, len(text))
        if not h:
            raise MemoryError("vl_create")
        return self._wrap(h)

    def create_binary(self, name: Union[str, bytes], data: Data, *, target_size: int = 4096,
                      min_size: int = 0, max_size: int = 0, fixed: bool = False) -> Object:
        """A new object of raw bytes cut by content-defined (or fixed-size)
        chunking. It is not logged: save or commit to keep it."""
        raw, payload = _name(name), _data(data)
        if name in self:
            raise ValueError("an object named %r exists" % (name,))
        opts = _native.BinOpts(_count(target_size, "target_size", U32_MAX),
                               _count(min_size, "min_size", U32_MAX),
                               _count(max_size, "max_size", U32_MAX), 1 if fixed else 0)
        h = _lib().vl_create_binary(self._e, raw, payload, len(payload), ctypes.byref(opts))
        if not h:
            raise MemoryError("vl_create_binary")
        return self._wrap(h)

    # -- queries
    def search(self, pattern: Data, max_hits: Optional[int] = None) -> List[Hit]:
        """Every occurrence of `pattern` in the current texts (at most
        `max_hits`), object by object in table order. Raises OSError (EIO)
        when a text holds damaged stored data."""
        e = self._e
        raw = _data(pattern, "pattern")
        if not raw:
            raise ValueError("the search pattern cannot be empty")
        limit = None if max_hits is None else _count(max_hits, "max_hits")
        if limit == 0:
            return []
        cap = 1024 if limit is None else min(limit, 1024)
        while True:
            pos, obj = (ctypes.c_uint64 * cap)(), (ctypes.c_int * cap)()
            ctypes.set_errno(0)
            n = _lib().vl_search_flat(e, raw, len(raw), pos, obj, cap)
            if n == 0 and ctypes.get_errno() in (errno.EIO, errno.ENOMEM):
                raise _oserror()
            if n < cap or (limit is not None and cap >= limit):
                break
            cap = cap * 2 if limit is None else min(cap * 2, limit)
        names = [o.name for o in self.objects()]
        return [Hit(names[obj[i]], pos[i]) for i in range(n)]

    def stats(self) -> dict:
        out = (ctypes.c_uint64 * 6)()
        _lib().vl_stats_flat(self._e, out)
        return dict(zip(("chunks_put", "chunks_deduped", "tokens_scanned", "tokens_decoded",
                         "bytes_ingested", "store_bytes"), out))

    @property
    def dict_entries(self) -> int:
        return _lib().vl_dict_entries(self._e)

    @property
    def chunk_count(self) -> int:
        return _lib().vl_store_chunk_count(self._e)

    @property
    def token_bytes(self) -> int:
        return _lib().vl_store_token_bytes(self._e)

    @property
    def is_mapped(self) -> bool:
        return bool(_lib().vl_store_is_mapped(self._e))

    @property
    def log_records_replayed(self) -> int:
        return _lib().vl_wal_replayed(self._e)

    def train(self, sample: Data, passes: int = 4, per_pass: int = 1000,
              min_count: int = 2) -> int:
        """Trains the dictionary on a sample; returns its entry count."""
        raw = _data(sample, "sample")
        rc = _lib().vl_train(self._e, raw, len(raw), _count(passes, "passes", U32_MAX),
                             _count(per_pass, "per_pass", U32_MAX),
                             _count(min_count, "min_count", U32_MAX))
        if rc < 0:
            raise MemoryError("vl_train")
        return rc

    # -- stores
    def _writable(self) -> None:
        if self.readonly:
            raise OSError(errno.EROFS, "engine opened read-only", self.path)

    def save(self, path: PathLike, *, mappable: bool = False, compress: bool = True) -> None:
        """Writes a snapshot at `path` and keeps logging there."""
        e = self._e
        self._writable()
        opts = (1 if mappable else 0) | (0 if compress else 2)
        if _lib().vl_save_ex(e, _path(path), opts) != 0:
            raise _oserror(os.fspath(path))
        self.path, self.generation = os.fspath(path), _lib().vl_engine_generation(e)

    def commit(self, path: Optional[PathLike] = None) -> None:
        """Saves under the store's lock if nobody committed since this engine
        was opened (or last committed)."""
        e = self._e
        self._writable()
        target = self.path if path is None else os.fspath(path)
        if target is None:
            raise ValueError("commit needs a path for an engine made in memory")
        rc = _lib().vl_commit(e, _path(target), self.generation)
        if rc == -2:
            raise GenerationError("%s changed since it was opened" % target)
        if rc == -3:
            raise LockedError("%s is locked (%s.lock)" % (target, target))
        if rc != 0:
            raise _oserror(target)
        self.path, self.generation = target, _lib().vl_engine_generation(e)


# ------------------------------------------------------- store inspection

def format_version() -> int:
    """The snapshot and log format this library writes."""
    return _lib().vl_format_version()


def capi_version() -> str:
    return _lib().vl_capi_version().decode()


def store_format(path: PathLike) -> int:
    """The format of the snapshot at path; 0 when it is not one."""
    rc = _lib().vl_store_format(_path(path))
    if rc < 0:
        raise _oserror(os.fspath(path))
    return rc


def store_generation(path: PathLike) -> int:
    return _lib().vl_store_generation(_path(path))


def lock_held(path: PathLike) -> bool:
    return bool(_lib().vl_lock_held(_path(path)))


def lock_break(path: PathLike) -> None:
    if _lib().vl_lock_break(_path(path)) != 0:
        raise _oserror(os.fspath(path) + ".lock")


def verify(path: PathLike) -> Optional[dict]:
    """Checks a store in depth, writing nothing: header, body checksum and
    decompression, a full load with recomputed chunk keys, the chunk
    trailer, and the log. Returns the report as a dict (None from a library
    without the deep check); raises OSError (EIO) when the store is
    damaged, or with the failing call's errno when it cannot be read."""
    raw = _path(path)
    if store_format(path) == 0:
        raise OSError(errno.EINVAL, "not a velta store", os.fspath(path))
    if not _native.has("vl_verify_store"):
        if _lib().vl_verify_chunks(raw) < 0:
            raise _oserror(os.fspath(path))
        return None
    report = _native.VerifyReport()
    rc = _lib().vl_verify_store(raw, ctypes.byref(report))
    if rc < 0:
        raise _oserror(os.fspath(path))
    found = {name: getattr(report, name) for name, _ in report._fields_}
    if rc != 0:
        raise OSError(errno.EIO, "damaged store (snapshot check %d, log state %d)"
                      % (report.snapshot, report.log), os.fspath(path))
    return found

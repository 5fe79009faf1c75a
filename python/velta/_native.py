"""Loading libvelta.so and declaring the functions the binding calls.

Every function is declared once, in header order, with its argument and
result types: ctypes' default `int` would truncate 64-bit counts and
pointers. The library is loaded as a PyDLL, so calls keep the interpreter
lock: the library is not thread-safe (every call, on any engine, must come
from one thread at a time), and holding the lock makes Python threads take
turns instead of racing inside it.
"""

import ctypes
import ctypes.util
import os
from typing import Optional

_u32, _u64, _int = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_int
_p, _cp = ctypes.c_void_p, ctypes.c_char_p

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
NEWEST = U32_MAX  # the version index the library reads as "newest"
OPEN_READONLY = 1  # vl_open_ex flag: write nothing, refuse save and commit


class MergeReport(ctypes.Structure):
    _fields_ = [("ours_pos", _u64), ("ours_end", _u64), ("theirs_pos", _u64),
                ("theirs_end", _u64), ("ours_len", _u64), ("theirs_len", _u64),
                ("conflict", _u32), ("same", _u32), ("version", _u32)]


class VerifyReport(ctypes.Structure):
    _fields_ = [("damaged", _u32), ("snapshot", _u32), ("log", _u32), ("flags", _u32),
                ("generation", _u64), ("snapshot_bytes", _u64), ("objects", _u64),
                ("versions", _u64), ("chunks", _u64), ("nodes", _u64), ("log_bytes", _u64),
                ("log_valid_bytes", _u64), ("log_records", _u64), ("log_replayed", _u64),
                ("log_replayed_bytes", _u64)]


class BinOpts(ctypes.Structure):
    _fields_ = [("target_size", _u32), ("min_size", _u32), ("max_size", _u32),
                ("fixed_size", _u32)]


# (name, restype, argtypes), in header order.
_SIGNATURES = [
    ("vl_engine_new", _p, []),
    ("vl_engine_objects", _u32, [_p]),
    ("vl_engine_object", _p, [_p, _int]),
    ("vl_engine__wal", _p, [_p]),
    ("vl_engine__set_wal", None, [_p, _p]),
    ("vl_create", _p, [_p, _cp, _cp, _u64]),
    ("vl_object_open", _p, [_p, _cp]),
    ("vl_delete", _int, [_p, _cp]),
    ("vl_read_version", _u64, [_p, _p, _u32, _u64, _u64, _p]),
    ("vl_update", _int, [_p, _p, _u64, _u64, _cp, _u64]),
    ("vl_cut", _int, [_p, _p, _u64, _u64]),
    ("vl_graft", _int, [_p, _p, _u64, _p, _u64, _u64]),
    ("vl_trim_history", _int, [_p, _p, _u32]),
    ("vl_store_is_mapped", _int, [_p]),
    ("vl_save_ex", _int, [_p, _cp, _int]),
    ("vl_open", _p, [_cp]),
    ("vl_commit", _int, [_p, _cp, _u64]),
    ("vl_lock_break", _int, [_cp]),
    ("vl_lock_held", _int, [_cp]),
    ("vl_store_generation", _u64, [_cp]),
    ("vl_engine_generation", _u64, [_p]),
    ("vl_close", None, [_p]),
    ("vl_store_format", _int, [_cp]),
    ("vl_format_version", _int, []),
    ("vl_verify_chunks", _int, [_cp]),
    ("vl_store_path", _cp, [_p]),
    ("vl_wal__destroy", None, [_p]),
    ("vl_wal_active", _int, [_p]),
    ("vl_wal_replayed", _u64, [_p]),
    ("vl_capi_version", _cp, []),
    ("vl_object_versions", _u32, [_p]),
    ("vl_object_name", _cp, [_p]),
    ("vl_object_bytes", _u64, [_p, _u32]),
    ("vl_object_tokens", _u64, [_p, _u32]),
    ("vl_object_dict_version", _u64, [_p, _u32]),
    ("vl_stats_flat", None, [_p, ctypes.POINTER(_u64)]),
    ("vl_store_chunk_count", _u32, [_p]),
    ("vl_store_token_bytes", _u64, [_p]),
    ("vl_dict_entries", _u32, [_p]),
    ("vl_train", _int, [_p, _cp, _u64, _u32, _u32, _u32]),
    ("vl_search_flat", _u64, [_p, _cp, _u64, ctypes.POINTER(_u64), ctypes.POINTER(_int), _u64]),
    ("vl_range_changed", _int, [_p, _u32, _u32, _u64, _u64]),
    ("vl_range_history", _u32, [_p, _u64, _u64, ctypes.POINTER(_u32), _u32]),
    ("vl_bin_opts_default", None, [ctypes.POINTER(BinOpts)]),
    ("vl_create_binary", _p, [_p, _cp, _cp, _u64, ctypes.POINTER(BinOpts)]),
    ("vl_bin_chunk_count", _u32, [_p, _u32]),
    ("vl_merge_preview", _int, [_p, _p, _u32, _u32, ctypes.POINTER(MergeReport)]),
    ("vl_merge", _int, [_p, _p, _u32, _u32, ctypes.POINTER(MergeReport)]),
]

# Declared only when the library has them (newer libraries).
_OPTIONAL = [
    ("vl_open_ex", _p, [_cp, ctypes.c_uint]),
    ("vl_verify_store", _int, [_cp, ctypes.POINTER(VerifyReport)]),
]

lib = None


def _candidates(path: Optional[str]):
    if path:
        return [path]
    found = []
    try:
        from . import _location  # written by cmake --install
        found.append(_location.LIBRARY)
    except ImportError:
        pass
    here = os.path.dirname(os.path.abspath(__file__))
    found.append(os.path.join(here, "..", "..", "build", "release", "libvelta.so"))
    found.append(ctypes.util.find_library("velta") or "libvelta.so")
    return found


def load_library(path: Optional[str] = None):
    """Loads libvelta.so and declares its functions; returns the handle.

    Without `path`: the library cmake installed beside this package, else a
    release build tree beside its source, else the system's. A later call
    without `path` returns the library already loaded."""
    global lib
    if lib is not None and path is None:
        return lib
    last = None
    for candidate in _candidates(path):
        if candidate != "libvelta.so" and not os.path.exists(candidate):
            continue
        try:
            handle = ctypes.PyDLL(candidate, use_errno=True)
            break
        except OSError as err:
            last = err
    else:
        raise last or OSError("libvelta.so not found; pass its path to velta.load_library")
    for name, restype, argtypes in _SIGNATURES:
        fn = getattr(handle, name)
        fn.restype, fn.argtypes = restype, argtypes
    for name, restype, argtypes in _OPTIONAL:
        if hasattr(handle, name):
            fn = getattr(handle, name)
            fn.restype, fn.argtypes = restype, argtypes
    lib = handle
    return lib


def has(name: str) -> bool:
    """True when the loaded library exports `name`."""
    return hasattr(load_library(), name)

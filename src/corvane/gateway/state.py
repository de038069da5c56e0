"""The gateway's state file: written atomically, read by an unpickler that admits only this library's classes.

A state file is untrusted input: anyone who can write it could otherwise run code in the gateway through
pickle. `load_state` admits the block classes of ``corvane.algorithm`` (and ``corvane.loop`` when present), plain
containers, and the few numpy functions that rebuild arrays and scalars; every other global is refused.
"""

import importlib
import io
import os
import pickle
import pkgutil

FORMAT = "corvane.gateway state"
VERSION = 1

# What numpy's arrays, dtypes and scalars pickle to (numpy 2 names and the numpy 1 names they replaced).
_NUMPY = {
    ("numpy", "ndarray"), ("numpy", "dtype"),
    ("numpy._core.multiarray", "_reconstruct"), ("numpy._core.multiarray", "scalar"),
    ("numpy._core.numeric", "_frombuffer"),
    ("numpy.core.multiarray", "_reconstruct"), ("numpy.core.multiarray", "scalar"),
    ("numpy.core.numeric", "_frombuffer"),
}
# Containers without an opcode of their own in the older protocols, and the library classes' reduction (under
# their names in protocols 0 to 2 too).
_BUILTINS = {(m, n) for m in ("builtins", "__builtin__") for n in ("set", "frozenset", "bytearray", "complex")}
_BUILTINS |= {("copyreg", "__newobj__"), ("copy_reg", "__newobj__")}
_PACKAGES = ("corvane.algorithm", "corvane.loop")


class StateError(Exception):
    """A state file that cannot be used: unreadable, corrupt, foreign, or for other blocks."""


def _latin1(text, encoding="latin1"):
    # Protocols 0 to 2 rebuild bytes as codecs.encode(text, "latin1"); no other codec is run.
    if encoding != "latin1" or not isinstance(text, str):
        raise pickle.UnpicklingError("bytes are rebuilt from latin-1 text only")
    return text.encode("latin1")


def _library_modules():
    names = set()
    for package in _PACKAGES:
        try:
            pkg = importlib.import_module(package)
        except ImportError:
            continue
        names.add(package)
        names.update(f"{package}.{m.name}" for m in pkgutil.iter_modules(pkg.__path__) if not m.name.startswith("_"))
    return names


class _Unpickler(pickle.Unpickler):
    _modules = None

    def find_class(self, module, name):
        if (module, name) == ("_codecs", "encode"):
            return _latin1
        if (module, name) in _NUMPY or (module, name) in _BUILTINS:
            return super().find_class(module, name)
        if _Unpickler._modules is None:
            _Unpickler._modules = _library_modules()
        if module in _Unpickler._modules:
            obj = getattr(importlib.import_module(module), name, None)
            # Classes defined there, nothing they import or any function.
            if isinstance(obj, type) and obj.__module__ == module:
                return obj
        raise pickle.UnpicklingError(f"global '{module}.{name}' is not admitted in a state file")


def loads(data):
    """Unpickle ``data`` admitting only library classes, plain containers and numpy arrays and scalars."""
    try:
        return _Unpickler(io.BytesIO(data)).load()
    except Exception as exc:
        raise StateError(f"not a state this library wrote ({type(exc).__name__}: {exc})") from None


def save_state(path, state):
    """Write ``state`` (a picklable object) to ``path`` atomically.

    The pickle goes to ``path + ".tmp"`` in the same directory, which is flushed to disk and then renamed over
    ``path``; the directory is synced too. A reader sees the old file or the new one, never a part of either,
    whenever the writer is killed.
    """
    data = pickle.dumps({"format": FORMAT, "version": VERSION, "state": state}, protocol=pickle.HIGHEST_PROTOCOL)
    directory = os.path.dirname(os.path.abspath(path))
    tmp = f"{path}.tmp"  # one writer per state file (the runner holds a lock); a torn one is overwritten
    try:
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dfd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)


def load_state(path):
    """The state last written by `save_state` to ``path``; `StateError` when it is not one."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise StateError(f"cannot read state file {path}: {exc.strerror}") from None
    doc = loads(data)
    if not (isinstance(doc, dict) and doc.get("format") == FORMAT and "state" in doc):
        raise StateError(f"{path} is not a gateway state file")
    if doc.get("version") != VERSION:
        raise StateError(f"{path} has state version {doc.get('version')!r}; this release reads {VERSION}")
    return doc["state"]

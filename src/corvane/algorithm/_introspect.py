"""Signatures for inspect and help(): the bound classes' constructors and callable instances.

nanobind's function objects carry their signature only as text (``__nb_signature__``), which
``inspect.signature`` does not read. Each extension module calls ``install(module)`` once at import:
every class gets a ``__signature__`` descriptor built from that text, which gives the constructor's
signature on the class and the ``__call__`` signature on a callable instance.
"""

import ast
import builtins
import inspect

_KIND = inspect.Parameter


def _parse(text, defaults):
    """inspect.Signature of one nanobind signature text, or None when it cannot be read."""
    src = text
    for i in range(len(defaults or ()) - 1, -1, -1):
        src = src.replace(f"\\{i}", f"__corvane_default_{i}")
    try:
        fn = ast.parse(src + ": pass").body[0]
    except SyntaxError:
        return None
    if not isinstance(fn, ast.FunctionDef):
        return None

    def default_of(node):
        if node is None:
            return _KIND.empty
        if isinstance(node, ast.Name) and node.id.startswith("__corvane_default_"):
            return defaults[int(node.id.rsplit("_", 1)[1])]
        try:
            return ast.literal_eval(node)
        except ValueError:
            return _Text(ast.unparse(node))

    def annotation_of(node):
        if node is None:
            return _KIND.empty
        text = ast.unparse(node)
        try:  # builtin types are shown as types; anything else as written
            return eval(text, {"__builtins__": builtins})
        except Exception:
            return text

    a = fn.args
    params = []
    positional = a.posonlyargs + a.args
    pos_defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for i, (arg, dflt) in enumerate(zip(positional, pos_defaults)):
        kind = _KIND.POSITIONAL_ONLY if i < len(a.posonlyargs) else _KIND.POSITIONAL_OR_KEYWORD
        params.append(_KIND(arg.arg, kind, default=default_of(dflt), annotation=annotation_of(arg.annotation)))
    if a.vararg:
        params.append(_KIND(a.vararg.arg, _KIND.VAR_POSITIONAL, annotation=annotation_of(a.vararg.annotation)))
    for arg, dflt in zip(a.kwonlyargs, a.kw_defaults):
        params.append(_KIND(arg.arg, _KIND.KEYWORD_ONLY, default=default_of(dflt),
                            annotation=annotation_of(arg.annotation)))
    if a.kwarg:
        params.append(_KIND(a.kwarg.arg, _KIND.VAR_KEYWORD, annotation=annotation_of(a.kwarg.annotation)))
    returns = annotation_of(fn.returns)
    try:
        return inspect.Signature(params, return_annotation=returns)
    except ValueError:
        return None


class _Text(str):
    """A default shown as written (an expression that is not a literal)."""

    def __repr__(self):
        return str(self)


def signature_of(func, drop_self):
    """Signature of a nanobind function (first overload), or None."""
    try:
        overloads = func.__nb_signature__
    except AttributeError:
        return None
    if len(overloads) != 1:
        return None
    text, _doc, defaults = overloads[0]
    sig = _parse(text, defaults)
    if sig is not None and drop_self:
        params = list(sig.parameters.values())[1:]
        sig = sig.replace(parameters=params)
    return sig


def constructor_signature(init):
    sig = signature_of(init, drop_self=True)
    return None if sig is None else sig.replace(return_annotation=inspect.Signature.empty)


class _SignatureDescriptor:
    def __init__(self, cls):
        init = cls.__dict__.get("__init__")
        self._init = init
        self._ctor = constructor_signature(init) if init is not None else None

    def __get__(self, instance, owner):
        if instance is None:
            # A subclass with a constructor of its own: let inspect read that one.
            return self._ctor if owner.__init__ is self._init else None
        call = getattr(type(instance), "__call__", None)
        if call is None:
            return None
        try:
            return inspect.signature(call.__get__(instance, type(instance)))
        except (TypeError, ValueError):
            sig = signature_of(call, drop_self=True)
            return sig


def install(module):
    for name, obj in vars(module).items():
        if isinstance(obj, type) and obj.__module__ == module.__name__ and "__init__" in obj.__dict__:
            if hasattr(obj.__dict__["__init__"], "__nb_signature__") and "__signature__" not in obj.__dict__:
                obj.__signature__ = _SignatureDescriptor(obj)

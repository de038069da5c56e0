"""inspect.signature and help() show real parameters for the bound classes."""

import importlib
import inspect
import pkgutil
import pydoc
import re

import pytest

import corvane.algorithm as pkg

MODULES = [importlib.import_module(f"corvane.algorithm.{m.name}") for m in pkgutil.iter_modules(pkg.__path__)
           if not m.name.startswith(("_", "lib"))]
CLASSES = [obj for mod in MODULES for name, obj in vars(mod).items()
           if isinstance(obj, type) and obj.__module__ == mod.__name__ and not name.startswith("_")
           and "__init__" in obj.__dict__]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: f"{c.__module__.rsplit('.', 1)[1]}.{c.__name__}")
def test_constructor_signature_is_real(cls):
    sig = inspect.signature(cls)
    kinds = {p.kind for p in sig.parameters.values()}
    assert not {inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD} & kinds, sig
    if not sig.parameters:
        return
    # help() renders the same signature
    text = "".join(re.sub(r"^\s*\|", "", line) for line in pydoc.plain(pydoc.render_doc(cls)).splitlines())
    assert f"{cls.__name__}{sig}".replace(" ", "") in "".join(text.split())


def test_known_signatures():
    from corvane.algorithm.loopcontrol import PID
    from corvane.algorithm.multiloop import MIMOSim

    assert str(inspect.signature(PID)) == "(TS: float = 1.0)"
    assert list(inspect.signature(MIMOSim).parameters) == ["process_model_dict", "ini_value_dict", "Ts"]
    assert str(inspect.signature(PID().run)) == "(MODE, SP, PV, TV, FF=0.0)"

    class Sub(PID):
        def __init__(self, gain, *, period=1.0):
            super().__init__(period)

    assert str(inspect.signature(Sub)) == "(gain, *, period=1.0)"

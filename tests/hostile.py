"""Hostile inputs shared by every module's tests: malformed pickle states and foreign `self`.

`check_hostile_states(make, use)` takes a factory of a block in a representative state and a
function that drives one sample of it. Every item of the block's state tree is replaced by each
bad value in turn, tuples are cut short and lengthened; each such state must either be refused
with a clean exception that leaves the target unchanged, or be accepted and leave a block that
`use` can drive without crashing the interpreter.
"""

import math
import pickle

import numpy as np

BAD_VALUES = [None, math.nan, "x", (), (1.0,), [], {}, -1, 2**70, np.empty((2, 0)), np.zeros((2, 2))]
REFUSALS = (TypeError, ValueError, OverflowError, KeyError, AttributeError, IndexError, AssertionError)


def _paths(obj, path=()):
    yield path
    if isinstance(obj, tuple):
        for i, item in enumerate(obj):
            yield from _paths(item, path + (i,))


def _replace(obj, path, value):
    if not path:
        return value
    i = path[0]
    return obj[:i] + (_replace(obj[i], path[1:], value),) + obj[i + 1 :]


def _get(obj, path):
    for i in path:
        obj = obj[i]
    return obj


def mutated_states(state):
    """Malformed variants of a (core, __dict__, version) state."""
    core, rest = state[0], state[1:]
    for path in _paths(core):
        for bad in BAD_VALUES:
            yield (_replace(core, path, bad),) + rest
        node = _get(core, path)
        if isinstance(node, tuple):
            yield (_replace(core, path, node[:-1]),) + rest
            yield (_replace(core, path, node + (0.0,)),) + rest
    for bad in (None, (), (core,), (core, state[1], None), (core, state[1], -1), (core, state[1], 2**40),
                (core, state[1], 1.0), (core, state[1], 1, 1), [core, state[1]], (core, 5), (core, [1])):
        yield bad


def _dump(obj):
    return pickle.dumps(obj.__getstate__())


def check_hostile_states(make, use):
    """Returns how many malformed states were refused (and asserts the rest ran)."""
    state = make().__getstate__()
    refused = 0
    for bad in mutated_states(state):
        target = make()
        before = _dump(target)
        try:
            target.__setstate__(bad)
        except REFUSALS:
            refused += 1
            assert _dump(target) == before, bad
            continue
        try:
            with np.errstate(all="ignore"):
                use(target)
        except REFUSALS + (ZeroDivisionError, ArithmeticError):
            pass
    assert refused > 0
    return refused


def check_foreign_self(obj, other):
    """Unbound __getstate__/__setstate__ of obj's class, called with an object of another type, raise TypeError."""
    import pytest

    cls = type(obj)
    state = obj.__getstate__()
    with pytest.raises(TypeError):
        cls.__setstate__(other, state)
    with pytest.raises(TypeError):
        cls.__getstate__(other)

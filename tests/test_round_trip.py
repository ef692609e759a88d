"""Values written by a Persister in raw mode read back equal through TapeReader, with
identity kept where the tape refers back."""

import pickle
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _tarnwick_stream_debug as ts
from readers import drain

pytestmark = pytest.mark.skipif(not hasattr(ts, "Persister"), reason="needs the Persister")

NAMES = [sys.intern(f"name_{i}") for i in range(8)]

leaves = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False)
          | st.text(max_size=12) | st.binary(max_size=12) | st.sampled_from(NAMES)
          | st.builds(ts.Binding, st.integers(0, 2**64 - 1)))
values_strategy = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=5) | st.tuples(inner, inner)
    | st.dictionaries(st.sampled_from(NAMES) | st.integers(), inner, max_size=4)
    | st.frozensets(st.integers(), max_size=3),
    max_leaves=25,
)


def write_tape(path, write):
    w = ts.FramedWriter(str(path), raw=True)
    p = ts.Persister(w, pickle.dumps)
    write(p)
    p.flush()
    w.close()


def strings_in(value, out):
    if type(value) is str:
        out.append(value)
    elif type(value) in (list, tuple):
        for v in value:
            strings_in(v, out)
    elif type(value) is dict:
        for k, v in value.items():
            strings_in(k, out)
            strings_in(v, out)
    return out


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], max_examples=150)
@given(st.lists(values_strategy, min_size=1, max_size=6))
def test_persisted_values_read_back_equal(tmp_path_factory, values):
    path = tmp_path_factory.mktemp("rt") / "tape.bin"

    def write(p):
        for v in values:
            p.write_object(v)

    write_tape(path, write)
    reader = ts.TapeReader(str(path), pickle.loads, 0, False)
    got, exc = drain(reader)
    assert got == values and isinstance(exc, RuntimeError)
    assert reader.bytes_read == path.stat().st_size
    # Every interned name after its first record is a reference to that one object.
    for name in NAMES:
        same = {id(s) for s in strings_in(got, []) if s == name}
        assert len(same) <= 1


def test_interned_objects_keep_their_identity(tmp_path):
    path = tmp_path / "tape.bin"
    x = 2.5

    def write(p):
        p.intern(x)
        p.write_object(x)
        p.write_object([x, NAMES[0], NAMES[0]])

    write_tape(path, write)
    reader = ts.TapeReader(str(path), pickle.loads, 0, False)
    first, (second, a, b) = reader.next(), reader.next()
    assert first == 2.5 and second is first and a is b

"""Persister: the records it writes, its tables, its methods and attributes."""
import array
import gc
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest
from hypothesis import given, strategies as st

import _tarnwick_stream_debug as ts
from tapedecode import Pickled, SerializeError, decode
from tapes import TapeFactory


@pytest.fixture
def make_tape(tmp_path):
    return TapeFactory(tmp_path)


@pytest.fixture
def tape(make_tape):
    return make_tape()


def fresh(text):
    """A str equal to text that is not interned."""
    s = "".join(list(text))
    assert s is not text or len(text) == 0
    return s


ABC = sys.intern("abc")


class Token:
    """An object the intern serializer maps to a payload."""

    def __init__(self, payload):
        self.payload = payload


def token_payload(obj):
    return obj.payload if isinstance(obj, Token) else None


# ---- records, byte for byte ----

@pytest.mark.parametrize("value,hexbytes", [
    (None, "0d"),
    (0, "06"),
    (5, "56"),
    (11, "b6"),
    (12, "c6 0c"),
    (254, "c6 fe"),
    (255, "d6 ff 00"),
    (300, "d6 2c 01"),
    (65534, "d6 fe ff"),
    (65535, "e6 ff ff 00 00"),
    (4294967294, "e6 fe ff ff ff"),
    (4294967295, "f6 ff ff ff ff 00 00 00 00"),
    (2**63 - 1, "f6 ff ff ff ff ff ff ff 7f"),
    (-1, "4d ff ff ff ff ff ff ff ff"),
    (-300, "4d d4 fe ff ff ff ff ff ff"),
    (-2**63, "4d 00 00 00 00 00 00 00 80"),
    (ABC, "34 61 62 63"),
    ("", "04"),
    ("é", "24 c3 a9"),
    ("😀", "44 f0 9f 98 80"),
    (fresh("a") * 300, "d4 2c 01" + " 61" * 300),
    (b"", "00"),
    (b"hi", "20 68 69"),
    (bytearray(b"hi"), None),  # not exact bytes: through the serializer
    ([], "01"),
    ([1, 2], "21 16 26"),
    ((), "03"),
    ((None, (7,)), "23 0d 13 76"),
    ({}, "02"),
    ({ABC: 1}, "12 34 61 62 63 16"),
    (ts.Binding(7), "7a"),
    (ts.Binding(300), "da 2c 01"),
    (ts.Binding(2**64 - 1), "fa ff ff ff ff ff ff ff ff"),
    (memoryview(b"abc"), "30 61 62 63"),
    (memoryview(b"abcdef")[::2], "30 61 63 65"),
    (memoryview(array.array("H", [1, 258])), "40 01 00 02 01"),
])
def test_value_records(tape, value, hexbytes):
    tape.write(value)
    if hexbytes is None:
        expected = bytes([0xC5, len(pickle.dumps(value))]) + pickle.dumps(value)
    else:
        expected = bytes.fromhex(hexbytes)
    assert tape.data() == expected


def test_empty_records_are_one_byte_each(tape):
    tape.write(b"", fresh(""), [], (), {})
    assert tape.data() == bytes.fromhex("00 04 01 03 02")


def test_binding_subclass_is_a_binding(tape):
    class Sub(ts.Binding):
        pass

    tape.write(Sub(9))
    assert tape.data() == bytes.fromhex("9a")


# ---- the string table ----

def test_interned_string_is_referred_back(tape):
    tape.write(ABC, ABC, [ABC, ABC])
    assert tape.data() == bytes.fromhex("34 61 62 63 0c 21 0c 0c")


def test_every_str_record_takes_an_index(tape):
    # A non-interned string and an empty string each take an index, so the interned
    # 'abc' defined third is referred to as index 2.
    tape.write(fresh("xy"), fresh(""), ABC, ABC)
    assert tape.data() == bytes.fromhex("24 78 79 04 34 61 62 63 2c")


def test_non_interned_string_is_written_in_full_each_time(tape):
    s = fresh("xy")
    tape.write(s, s, ABC, ABC)
    assert tape.data() == bytes.fromhex("24 78 79 24 78 79 34 61 62 63 2c")


def test_non_ascii_interned_and_cached_utf8(tape):
    s = sys.intern("grüße")
    tape.write(s, s)
    t = fresh("naïve")
    t.encode()  # does not cache; the writer creates the cached form itself
    tape.write(t, t)
    data = tape.data()
    assert decode(data) == [s, s, t, t]
    assert data.startswith(bytes([0x74]) + s.encode() + bytes([0x0C]))


def test_string_table_survives_reset_state(tape):
    tape.write(ABC)
    tape.p.reset_state()
    tape.write(ABC)
    assert tape.data() == bytes.fromhex("34 61 62 63 0c")


# ---- the serializer ----

class IntSub(int):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("value,serialized", [
    (True, [True]), (False, [False]), (1.5, [1.5]), (IntSub(3), [3]), (StrSub("s"), ["s"]),
    ({1, 2}, [{1, 2}]), (frozenset(), [frozenset()]), (2**63, [2**63]),
    (-2**63 - 1, [-2**63 - 1]), (10**40, [10**40]), ([1, 2.5, None], [2.5]),
])
def test_values_without_native_encoding_go_to_the_serializer(make_tape, value, serialized):
    seen = []

    def serializer(obj):
        seen.append(obj)
        return pickle.dumps(obj)

    tape = make_tape(serializer=serializer)
    tape.write(value)
    assert seen == serialized
    assert type(seen[0]) is (float if type(value) is list else type(value))
    assert decode(tape.data(), pickle.loads) == [value]


def test_bool_and_int_subclass_are_not_ints(make_tape):
    tape = make_tape(serializer=lambda o: b"B" if o is True else b"S")
    tape.write(True, IntSub(1))
    assert tape.data() == bytes.fromhex("15 42 15 53")


def test_serializer_returning_non_bytes_writes_serialize_error(make_tape):
    tape = make_tape(serializer=lambda o: "t" if isinstance(o, float) else [None, 2])
    tape.write(1.5, {3})
    data = tape.data()
    assert data == bytes.fromhex("9d 14 74 9d 21 0d 26")
    assert decode(data) == [SerializeError("t"), SerializeError([None, 2])]


def test_serializer_runs_with_the_collector_disabled(make_tape):
    states = []

    def serializer(obj):
        states.append(gc.isenabled())
        return b""

    tape = make_tape(serializer=serializer)
    assert gc.isenabled()
    tape.write(1.5)
    assert states == [False] and gc.isenabled()
    gc.disable()
    try:
        tape.write(2.5)
        assert states == [False, False] and not gc.isenabled()
    finally:
        gc.enable()


def test_serializer_error_propagates(make_tape):
    def serializer(obj):
        raise ZeroDivisionError("nope")

    tape = make_tape(serializer=serializer)
    with pytest.raises(ZeroDivisionError, match="nope"):
        tape.p.write_object(1.5)
    assert tape.data() == b""


# ---- the object intern table ----

def test_intern_serializer_payload_is_defined_once(make_tape):
    tape = make_tape(intern_serializer=token_payload)
    t = Token((sys.intern("m"), sys.intern("f")))
    tape.write(t)
    assert tape.new() == bytes.fromhex("5d 23 14 6d 14 66 0b")
    tape.write(t)
    assert tape.new() == bytes.fromhex("0b")


def test_nested_definition_takes_the_lower_index(make_tape):
    tape = make_tape(intern_serializer=token_payload)
    inner = Token(1)
    outer = Token([inner])
    tape.write(outer, inner, outer)
    # outer's payload defines inner first (index 0); outer itself is index 1.
    assert tape.data() == bytes.fromhex("5d 11 5d 16 0b 1b 0b 1b")
    assert decode(tape.data()) == [[1], 1, [1]]


def test_intern_serializer_none_falls_back(make_tape):
    tape = make_tape(intern_serializer=token_payload, serializer=lambda o: b"F")
    x = 1.5
    tape.write(x, x)
    assert tape.data() == bytes.fromhex("15 46 15 46")


def test_intern_serializer_error_propagates(make_tape):
    def bad(obj):
        raise KeyError("intern")

    tape = make_tape(intern_serializer=bad)
    with pytest.raises(KeyError):
        tape.p.write_object(1.5)
    assert tape.data() == b""


def test_explicit_intern_defines_without_reference(make_tape):
    tape = make_tape(serializer=lambda o: b"P")
    x = 2.5
    tape.p.intern(x)
    assert tape.new() == bytes.fromhex("5d 15 50")
    tape.write(x)
    tape.p.intern(x)
    assert tape.new() == bytes.fromhex("0b 0b")


def test_intern_keyed_by_ref(make_tape):
    tape = make_tape(serializer=lambda o: b"P")
    obj, ref = 2.5, object()
    tape.p.intern(obj, ref)
    tape.write(ref)
    tape.p.write_handle_ref(id(ref))
    tape.p.write_handle_ref(8)
    assert tape.data() == bytes.fromhex("5d 15 50 0b 0b 8a")


def test_binding_as_ref_gives_no_link(make_tape):
    tape = make_tape(serializer=lambda o: b"P")
    b = ts.Binding(5)
    tape.p.intern(2.5, b)
    tape.write(b)
    assert tape.data() == bytes.fromhex("5d 15 50 5a")


def test_reset_state_restarts_intern_numbering(make_tape):
    tape = make_tape(intern_serializer=token_payload)
    a, b = Token(1), Token(2)
    tape.write(a, b)
    tape.p.reset_state()
    tape.write(b, b)
    assert tape.data() == bytes.fromhex("5d 16 0b 5d 26 1b" "5d 26 0b 0b")


def test_interned_objects_live_until_reset_state(make_tape):
    tape = make_tape(intern_serializer=token_payload)
    t = Token(1)
    r = weakref.ref(t)
    tape.write(t)
    del t
    gc.collect()
    assert r() is not None
    tape.p.reset_state()
    assert r() is None


def test_new_object_at_a_reused_address_is_not_taken_for_an_interned_one(make_tape):
    tape = make_tape(intern_serializer=token_payload)
    tape.write(Token(1))  # dropped at once by the caller; the table keeps it
    for i in range(200):
        tape.write(Token(2))
    data = tape.data()
    assert data.count(bytes.fromhex("5d 26")) == 200
    assert decode(data) == [1] + [2] * 200


# ---- the other methods ----

@pytest.mark.parametrize("call,hexbytes", [
    (lambda p: p.start_list(3), "31"),
    (lambda p: p.start_tuple(300), "d3 2c 01"),
    (lambda p: p.start_dict(0), "02"),
    (lambda p: p.start_collection(list, 2), "21"),
    (lambda p: p.start_collection(dict, 2**32), "f2 00 00 00 00 01 00 00 00"),
    (lambda p: p.write_heartbeat(), "8d"),
    (lambda p: p.write_pickled(b"xy"), "25 78 79"),
    (lambda p: p.write_handle_ref(300), "da 2c 01"),
    (lambda p: p.write_handle_ref(2**64 - 1), "fa ff ff ff ff ff ff ff ff"),
])
def test_method_records(tape, call, hexbytes):
    call(tape.p)
    assert tape.data() == bytes.fromhex(hexbytes)


def test_heartbeat_with_payload(tape):
    tape.p.write_heartbeat()
    tape.write({})
    assert tape.data() == bytes.fromhex("8d 02")


def test_collection_built_by_headers_decodes(tape):
    tape.p.start_dict(1)
    tape.write(ABC)
    tape.p.start_list(2)
    tape.write(1, None)
    assert decode(tape.data()) == [{ABC: [1, None]}]


@pytest.mark.parametrize("call,exc,message", [
    (lambda p: p.start_collection(set, 3), ValueError, "unknown collection type"),
    (lambda p: p.start_list(-1), OverflowError, None),
    (lambda p: p.start_tuple("3"), TypeError, None),
    (lambda p: p.start_collection(list), TypeError, None),
    (lambda p: p.write_handle_ref(-1), OverflowError, None),
    (lambda p: p.write_handle_ref(2**64), OverflowError, None),
    (lambda p: p.write_pickled("xy"), TypeError, "must be bytes, not str"),
    (lambda p: p.write_pickled(bytearray(b"xy")), TypeError, "bytearray"),
    (lambda p: p.intern(), TypeError, None),
])
def test_bad_arguments_write_nothing(tape, call, exc, message):
    with pytest.raises(exc) as info:
        call(tape.p)
    if message:
        assert message in str(info.value)
    assert tape.data() == b""


# ---- construction and attributes ----

def test_thread_argument_is_accepted_and_unused(tmp_path):
    outs = []
    for i, thread in enumerate([None, threading.current_thread(), "anything"]):
        path = tmp_path / f"t{i}"
        p = ts.Persister(ts.FramedWriter(str(path), raw=True), pickle.dumps, thread)
        p.write_object([1, ABC])
        p.flush()
        outs.append(path.read_bytes())
    assert outs[0] == outs[1] == outs[2] == bytes.fromhex("21 16 34 61 62 63")


@pytest.mark.parametrize("args,kwargs,exc,message", [
    ((), {"serializer": pickle.dumps, "intern_serializer": 5}, TypeError,
     "intern_serializer must be callable or None, got 5"),
    ((object(), pickle.dumps), {}, TypeError, "expected FramedWriter"),
    ((), {}, TypeError, None),
    ((), {"serializer": pickle.dumps, "bogus": 1}, TypeError, None),
])
def test_constructor_errors(tmp_path, args, kwargs, exc, message):
    if not args and "serializer" in kwargs:
        kwargs = dict(kwargs, writer=ts.FramedWriter(str(tmp_path / "x"), raw=True))
    with pytest.raises(exc) as info:
        ts.Persister(*args, **kwargs)
    if message:
        assert str(info.value) == message


def test_second_initialisation_is_refused(tape):
    with pytest.raises(RuntimeError, match="already initialised"):
        tape.p.__init__(tape.writer, pickle.dumps)
    tape.write(1)
    assert tape.data() == bytes.fromhex("16")


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (ts.Persister,), {})


def test_attributes_follow_the_writer(tape):
    assert tape.p.path == tape.path
    assert tape.p.fd == tape.writer.fd >= 0
    assert tape.p.is_fifo is False
    tape.writer.close()
    assert tape.p.fd == -1
    assert ts.Persister.__doc__ == "File persister sink"


def test_fifo_attribute(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    rfd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        p = ts.Persister(ts.FramedWriter(fifo, raw=True), pickle.dumps)
        assert p.is_fifo is True and p.path == fifo
        p.write_object([1, 2])
        p.flush()
        assert os.read(rfd, 100) == bytes.fromhex("21 16 26")
    finally:
        os.close(rfd)


def test_shutdown_leaves_the_output_open(tape):
    tape.write(1)
    tape.p.shutdown()
    assert tape.path and open(tape.path, "rb").read() == bytes.fromhex("16")
    tape.write(2)
    tape.p.flush_background()
    tape.write(3)
    assert tape.data() == bytes.fromhex("16 26 36")


def test_prepare_resume_restamps_a_framed_writer(tmp_path):
    path = tmp_path / "framed"
    p = ts.Persister(ts.FramedWriter(str(path)), pickle.dumps)
    p.write_object(5)
    p.prepare_resume()
    p.flush()
    assert path.read_bytes() == os.getpid().to_bytes(4, "little") + bytes.fromhex("01 00 56")


def test_prepare_resume_after_fork_stamps_the_child(tmp_path):
    path = tmp_path / "forked"
    p = ts.Persister(ts.FramedWriter(str(path)), pickle.dumps)
    p.write_object(5)  # buffered before the fork: each process frames its own copy
    pid = os.fork()
    if pid == 0:
        try:
            p.prepare_resume()
            p.write_object(6)
            p.flush()
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    p.flush()
    data = path.read_bytes()
    frames = {int.from_bytes(data[:4], "little"): data[6:6 + data[4]],
              int.from_bytes(data[8:12], "little"): data[14:14 + data[12]]}
    assert frames == {pid: bytes.fromhex("56 66"), os.getpid(): bytes.fromhex("56")}


UNINITIALISED_CALLS = [
    ("write_object", (1,)), ("write_handle_ref", (1,)), ("intern", (1,)), ("flush", ()),
    ("flush_background", ()), ("shutdown", ()), ("prepare_resume", ()), ("start_list", (1,)),
    ("start_tuple", (1,)), ("start_dict", (1,)), ("start_collection", (list, 1)),
    ("write_heartbeat", ()), ("write_pickled", (b"",)), ("reset_state", ()),
]


@pytest.mark.parametrize("name,args", UNINITIALISED_CALLS)
def test_uninitialised_persister_raises(name, args):
    p = ts.Persister.__new__(ts.Persister)
    with pytest.raises(RuntimeError, match="not initialised"):
        getattr(p, name)(*args)


def test_uninitialised_attributes():
    p = ts.Persister.__new__(ts.Persister)
    assert (p.path, p.fd, p.is_fifo) == ("", -1, False)


# ---- garbage collection ----

def test_persister_in_a_cycle_is_collected(make_tape):
    class Holder:
        def serialize(self, obj):
            return b""

    h = Holder()
    tape = make_tape(serializer=h.serialize, intern_serializer=token_payload)
    h.p = tape.p
    t = Token(1)
    t.p = tape.p  # a cycle through the intern table's held reference
    tape.write(t, ABC)
    refs = [weakref.ref(h), weakref.ref(t)]
    del h, t, tape
    gc.collect()
    assert [r() for r in refs] == [None, None]


# ---- the interpreter lock ----

def test_flush_releases_the_interpreter_lock(tmp_path):
    # flush blocks on a full FIFO; only a reader running in another Python thread can
    # empty it, which needs the lock the flushing thread must have released.
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    script = textwrap.dedent(f"""
        import os, pickle, threading
        import _tarnwick_stream_debug as ts
        rfd = os.open({fifo!r}, os.O_RDONLY | os.O_NONBLOCK)
        p = ts.Persister(ts.FramedWriter({fifo!r}, raw=True), pickle.dumps)
        os.set_blocking(rfd, True)
        p.write_object(b"x" * 1_000_000)
        t = threading.Thread(target=p.flush)
        t.start()
        got = 0
        while got < 1_000_005:
            got += len(os.read(rfd, 1 << 16))
        t.join()
        print("ok", got)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ok", "1000005"]


# ---- any native value decodes back to itself ----


_scalars = (st.none() | st.integers(-2**63, 2**63 - 1) | st.integers() |
            st.text(st.characters(blacklist_categories=("Cs",)), max_size=100) |
            st.sampled_from([ABC, sys.intern("name"), ""]) | st.binary(max_size=100))
_keys = st.integers(-2**63, 2**63 - 1) | st.text(max_size=20).filter(
    lambda s: not any(0xD800 <= ord(c) <= 0xDFFF for c in s)) | st.sampled_from([ABC])
_values = st.recursive(
    _scalars,
    lambda inner: (st.lists(inner, max_size=20) | st.tuples(inner, inner) |
                   st.lists(inner, max_size=20).map(tuple) |
                   st.dictionaries(_keys, inner, max_size=12)),
    max_leaves=30)


@given(st.lists(_values, max_size=8))
def test_native_values_decode_to_themselves(tmp_path_factory, values):
    tape = TapeFactory(tmp_path_factory.mktemp("h"))()
    tape.write(*values)
    tape.write(*values)  # interned strings now go by reference
    assert decode(tape.data(), pickle.loads) == values + values

"""ObjectStreamReader: where it differs from TapeReader (top-level markers, nested
heartbeats, no sets, counting, trace lines, the stub factory) and its own states."""

import gc
import weakref

import pytest

from _tarnwick_stream_debug import ObjectStreamReader
from readers import SHORT_READ, drain, pickled
from tape_bytes import FROZENSET, INTERN, SET, header, text


@pytest.fixture
def path(tmp_path):
    return tmp_path / "tape.bin"


def make(path, data, verbose=False, **kw):
    path.write_bytes(data)
    stub_factory = kw.pop("stub_factory", object)
    return ObjectStreamReader(str(path), pickled, stub_factory, 0, verbose, **kw)


def test_the_stub_factory_is_required_and_never_called(path):
    path.write_bytes(b"\x15z" + b"\x5d\x56\x0b")
    with pytest.raises(TypeError):
        ObjectStreamReader(str(path), pickled, 0, False)
    calls = []
    r = ObjectStreamReader(str(path), pickled, lambda *a: calls.append(a), 0, False)
    assert r() == ("P", b"z") and r() == 5
    assert calls == []
    assert not hasattr(r, "next")
    with pytest.raises(TypeError):
        iter(r)


@pytest.mark.parametrize("record_type", [SET, FROZENSET])
def test_sets_are_rejected(path, record_type):
    r = make(path, header(record_type, 1) + b"\x06")
    with pytest.raises(RuntimeError, match=f"^unknown sized type: {record_type}$"):
        r()


@pytest.mark.parametrize("with_callable", [False, True])
def test_top_level_markers_are_counted_once(path, with_callable):
    kw = {"on_heartbeat": lambda p: ("H", p), "on_dropped": lambda p: ("D", p)} if with_callable else {}
    r = make(path, b"\x8d\x02" + b"\x7d\x16" + b"\x56", **kw)
    if with_callable:
        assert (r(), r(), r()) == (("H", {}), ("D", 1), 5)
    else:
        assert r() == 5
    assert r.messages_read == 3


def test_a_long_run_of_markers_is_skipped_without_recursion(path):
    r = make(path, b"\x8d\x0d" * 10**6 + b"\x56")
    assert r() == 5
    assert r.messages_read == 10**6 + 1


@pytest.mark.parametrize("on_heartbeat,element", [(None, None), (lambda: "beat", "beat")])
def test_a_nested_heartbeat_reads_its_payload_as_the_next_element(path, on_heartbeat, element):
    kw = {} if on_heartbeat is None else {"on_heartbeat": on_heartbeat}
    r = make(path, b"\x21\x8d\x02\x56", **kw)
    assert r() == [element, {}]
    assert r() == 5


@pytest.mark.parametrize("data,message", [
    (b"\x11\x7d\x06", "unhandled subtype: DROPPED (0x07) for FixedSized at byte 2, message 0"),
    (b"\x9d\x7d\x06", "unhandled subtype: DROPPED (0x07) for FixedSized at byte 2, message 0"),
])
def test_a_nested_dropped_marker_is_an_error(path, data, message):
    r = make(path, data, on_dropped=lambda p: p)
    with pytest.raises(RuntimeError) as info:
        r()
    assert str(info.value) == message


def test_trace_lines_carry_counts_and_record_starts(path, capfd):
    data = b"\x5d" + b"\x11\x5d\x14x\x0b" + b"\x1b" + b"\x7d\x14d" + b"\x8d\x02" + b"\x56"
    r = make(path, data, verbose=True)
    assert r() == ["x"]
    assert r() == 5
    assert capfd.readouterr().err.splitlines() == [
        "Vostrel - ObjectStream[0, 0] - Consumed INTERN",
        "Vostrel - ObjectStream[0, 2] - Inline INTERN",
        "Vostrel - ObjectStream[2, 6] - Read: ['x']",
        "Vostrel - ObjectStream[3, 7] - Consumed DROPPED(d)",
        "Vostrel - ObjectStream[4, 10] - Consumed HEARTBEAT",
        "Vostrel - ObjectStream[5, 12] - Read: 5",
    ]
    assert r.messages_read == 6


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def test_a_failing_str_in_a_trace_line_prints_a_fallback(path, capfd):
    path.write_bytes(b"\x15z\x7d\x15y\x06")
    r = ObjectStreamReader(str(path), lambda p: Unprintable(), object, 0, True)
    assert isinstance(r(), Unprintable)
    assert r() == 0
    err = capfd.readouterr().err
    assert "Read: <unprintable Unprintable object>" in err
    assert "Consumed DROPPED(<unprintable Unprintable object>)" in err


def test_unknown_intern_adds_no_entry(path):
    r = make(path, header(INTERN, 0) + b"\x5d\x56" + header(INTERN, 0) + header(INTERN, 1))
    with pytest.raises(RuntimeError, match="^unknown intern index: 0$"):
        r()
    assert r() == 5
    with pytest.raises(RuntimeError, match="^unknown intern index: 1$"):
        r()


def test_states_without_a_file(path):
    fresh = ObjectStreamReader.__new__(ObjectStreamReader)
    with pytest.raises(RuntimeError, match="^ObjectStreamReader is closed$"):
        fresh()
    with pytest.raises(RuntimeError, match="^no path stored$"):
        fresh.reopen(0)
    with pytest.raises(RuntimeError, match="^file is not open$"):
        fresh.file_offset()
    r = make(path, text("ab") + b"\x0c")
    assert r() == "ab" and r.file_offset() == 3
    r.close()
    r.close()
    with pytest.raises(RuntimeError, match="^ObjectStreamReader is closed$"):
        r()
    r.reopen(3)
    assert r() == "ab"
    values, exc = drain(r)
    assert values == [] and str(exc) == SHORT_READ


def test_a_cycle_through_the_stub_factory_is_collected(path):
    path.write_bytes(b"")

    class Factory:
        pass

    gone = []
    factory = Factory()
    factory.reader = ObjectStreamReader(str(path), pickled, factory, 0, False)
    weakref.finalize(factory, gone.append, True)
    del factory
    gc.collect()
    assert gone

"""Binder: lookup, calling, the weak-reference and keep-alive strategies, on_delete."""
import gc
import subprocess
import sys
import weakref

import pytest

import _tarnwick_stream_debug as ts
from _tarnwick_stream_debug import Binder, Binding


class Plain:
    """Weak-referenceable, never registered for bind support."""


class NoWeak:
    __slots__ = ("value",)


@pytest.fixture
def log():
    return []


@pytest.fixture
def binder(log):
    return Binder(log.append)


def weak_callbacks(obj):
    return [r.__callback__ for r in weakref.getweakrefs(obj) if r.__callback__ is not None]


def test_unbound_objects_are_not_found(binder):
    obj = Plain()
    assert binder.lookup(obj) is None
    assert binder(obj) is obj
    assert binder([1]) == [1]  # unhashable objects are fine as keys


@pytest.mark.parametrize("make", [Plain, lambda: (1, []), lambda: 10**40 + len([]), NoWeak],
                         ids=["weakref", "tuple", "int", "slots-no-weakref"])
def test_bind_returns_a_fresh_binding_found_by_lookup_and_call(binder, make):
    obj = make()
    first = binder.bind(obj)
    assert isinstance(first, Binding)
    assert binder.lookup(obj) is first and binder(obj) is first
    second_obj = make()
    assert binder.bind(second_obj).handle == first.handle + 1


@pytest.mark.parametrize("make", [Plain, lambda: (1, "x")], ids=["weakref", "fallback"])
def test_binding_twice_raises_and_uses_no_handle(binder, make):
    obj = make()
    first = binder.bind(obj)
    with pytest.raises(RuntimeError, match="object is already bound"):
        binder.bind(obj)
    assert binder.lookup(obj) is first
    assert binder.bind(Plain()).handle == first.handle + 1


def test_weakref_strategy_reports_death_once_and_forgets(binder, log):
    obj = Plain()
    handle = binder.bind(obj).handle
    assert len(weak_callbacks(obj)) == 1
    del obj
    assert log == [handle]
    assert all(type(h) is int for h in log)
    # New objects, some at the reused address, are never taken for the dead one.
    for _ in range(50):
        assert binder.lookup(Plain()) is None
    assert log == [handle]


def test_weakref_strategy_in_cycle_reported_by_collector(binder, log):
    obj = Plain()
    obj.self = obj
    handle = binder.bind(obj).handle
    del obj
    gc.collect()
    assert log == [handle]


def test_fallback_keeps_objects_alive_and_never_reports(log):
    binder = Binder(log.append)
    sentinel = object()
    held = (sentinel,)
    base = sys.getrefcount(held)
    binding = binder.bind(held)
    assert sys.getrefcount(held) == base + 1
    del binder
    gc.collect()
    assert sys.getrefcount(held) == base
    assert log == [] and binding.handle >= 0


def test_two_binders_get_their_own_handles(log):
    other_log = []
    a, b = Binder(log.append), Binder(other_log.append)
    obj = Plain()
    ha, hb = a.bind(obj).handle, b.bind(obj).handle
    assert ha != hb
    del obj
    assert log == [ha] and other_log == [hb]


def test_on_delete_errors_are_swallowed_and_pending_exception_survives():
    calls = []

    def on_delete(handle):
        calls.append(handle)
        raise ValueError("from on_delete")

    binder = Binder(on_delete)

    def fail():
        obj = Plain()
        binder.bind(obj)
        raise KeyError("original")  # obj dies while this exception unwinds the frame

    with pytest.raises(KeyError, match="original"):
        fail()
    assert len(calls) == 1
    unraisable = []
    old, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        obj = Plain()
        binder.bind(obj)
        del obj
    finally:
        sys.unraisablehook = old
    assert len(calls) == 2 and unraisable == []


def test_on_delete_property(log):
    binder = Binder()
    assert binder.on_delete is None
    binder.on_delete = log.append
    assert binder.on_delete == log.append
    with pytest.raises(TypeError, match="on_delete must be callable or None"):
        binder.on_delete = 5
    assert binder.on_delete == log.append
    obj = Plain()
    binder.bind(obj)
    binder.on_delete = None
    del obj
    assert log == []
    del binder.on_delete
    assert binder.on_delete is None
    # The death was still recorded: the binder no longer holds an entry for it.
    binder.on_delete = log.append
    later = Plain()
    h = binder.bind(later).handle
    del later
    assert log == [h]


def test_on_delete_may_replace_itself_while_running():
    binder = Binder()
    seen = []

    def once(handle):
        binder.on_delete = None  # drops the only other reference to this function
        seen.append(handle)

    binder.on_delete = once
    del once
    obj = Plain()
    h = binder.bind(obj).handle
    del obj
    assert seen == [h] and binder.on_delete is None


def test_initialiser_arguments_and_reinit_keep_maps(log):
    with pytest.raises(TypeError, match="on_delete must be callable or None"):
        Binder(5)
    with pytest.raises(TypeError):
        Binder(log.append, 1)
    binder = Binder(on_delete=None)
    obj = Plain()
    binding = binder.bind(obj)
    binder.__init__(log.append)
    assert binder.lookup(obj) is binding
    del obj
    assert log == [binding.handle]


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1, 2), {}), ((), {"obj": 1}), ((1,), {"x": 2})])
def test_calling_needs_exactly_one_positional_argument(binder, args, kwargs):
    with pytest.raises(TypeError, match=r"Binder\(\) takes exactly one positional argument"):
        binder(*args, **kwargs)


def test_uninitialised_binder_binds_but_cannot_be_called():
    binder = Binder.__new__(Binder)
    obj = Plain()
    binding = binder.bind(obj)
    assert binder.lookup(obj) is binding
    with pytest.raises(TypeError):
        binder(obj)


def test_python_subclass_of_binder(log):
    class MyBinder(Binder):
        pass

    binder = MyBinder(log.append)
    obj = Plain()
    h = binder.bind(obj).handle
    assert binder(obj).handle == h
    del obj
    assert log == [h]


def test_weak_callback_after_binder_is_gone_does_nothing(log):
    binder = Binder(log.append)
    obj = Plain()
    binder.bind(obj)
    kept = weakref.getweakrefs(obj)  # Python code keeps the binder's weak reference
    assert len(kept) == 1
    del binder
    gc.collect()
    del obj  # the kept weak reference's callback fires on a binder that is gone
    gc.collect()
    assert log == [] and kept[0]() is None


def test_kept_weakref_of_replaced_entry_cannot_touch_the_new_one(log):
    binder = Binder(log.append)
    obj = Plain()
    first = binder.bind(obj).handle
    kept = weakref.getweakrefs(obj)
    callback = kept[0].__callback__
    del obj
    assert log == [first]
    # Calling the spent callback by hand (its entry is gone) reports nothing more.
    callback(kept[0])
    assert log == [first]


def test_weak_callback_called_by_hand_on_a_live_object_is_not_a_death(log):
    binder = Binder(log.append)
    obj = Plain()
    binding = binder.bind(obj)
    kept = weakref.getweakrefs(obj)
    kept[0].__callback__(kept[0])  # reachable from Python; the object is alive
    assert log == [] and binder.lookup(obj) == binding
    del binder  # the callback must not keep pointing at the freed binder
    gc.collect()
    del obj
    assert log == [] and kept[0]() is None


def test_binder_release_processes_every_entry_once():
    sentinel = object()
    base = sys.getrefcount(sentinel)
    binder = Binder(lambda h: None)
    held = [(sentinel, i) for i in range(300)]
    live = [Plain() for _ in range(300)]
    for t in held:
        binder.bind(t)
    for o in live:
        binder.bind(o)
    del held, t
    assert sys.getrefcount(sentinel) == base + 300
    del binder
    assert sys.getrefcount(sentinel) == base
    del live


def run_python(code, timeout=60):
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_first_binding_of_a_fresh_process_is_zero():
    out = run_python(
        "import _tarnwick_stream_debug as ts\n"
        "a, b = ts.Binder(), ts.Binder()\n"
        "print(a.bind(object()).handle, b.bind([]).handle, a.bind(()).handle)\n")
    assert out.split() == ["0", "1", "2"]


def test_no_reports_during_interpreter_finalisation():
    out = run_python(
        "import sys, _tarnwick_stream_debug as ts\n"
        "class P: pass\n"
        "binder = ts.Binder(lambda h: sys.stdout.write(f'reported {h}\\n'))\n"
        "keep = [P() for _ in range(5)]\n"
        "for o in keep: binder.bind(o)\n"
        "print('done')\n")
    assert out.split() == ["done"]

import threading

import _tarnwick_stream_debug as ts

# Public types in registration order; types of later subsystems join as they land.
EXPECTED_ORDER = ["Queue", "FramedWriter", "ObjectWriter", "ObjectStreamReader",
                  "TapeReader", "Persister", "Binding", "Binder"]


def test_published_types_carry_their_names():
    present = [n for n in EXPECTED_ORDER if hasattr(ts, n)]
    assert "FramedWriter" in present and "Binding" in present
    for name in present:
        t = getattr(ts, name)
        assert isinstance(t, type)
        assert t.__name__ == name
        assert t.__module__ == "tarnwick_stream"
    assert not hasattr(ts, "WeakBindingCallback")
    published = [n for n, v in vars(ts).items() if isinstance(v, type)]
    assert published == present  # registered in the table's order, nothing else


def test_thread_id_defaults_to_none_and_is_per_thread():
    seen = {}

    def other():
        seen["before"] = ts.thread_id()
        ts.set_thread_id("other")
        seen["after"] = ts.thread_id()

    ts.set_thread_id("main")
    t = threading.Thread(target=other)
    t.start()
    t.join()
    assert seen == {"before": None, "after": "other"}
    assert ts.thread_id() == "main"
    ts.set_thread_id(None)
    assert ts.thread_id() is None


def test_set_thread_id_replaces_and_releases_the_old_value():
    import weakref

    class Token:
        pass

    tok = Token()
    ref = weakref.ref(tok)
    ts.set_thread_id(tok)
    del tok
    assert ref() is not None
    ts.set_thread_id(7)
    assert ref() is None
    assert ts.thread_id() == 7
    ts.set_thread_id(None)

import os

import pytest

import _tarnwick_stream_debug as ts

# Under the sanitizer builds the suite runs far slower; keep generated cases few.
try:
    from hypothesis import settings

    settings.register_profile("sanitizer", max_examples=25, deadline=None)
    settings.register_profile("default", deadline=None)
    settings.load_profile("sanitizer" if os.environ.get("TARNWICK_SANITIZER_RUN") else "default")
except ImportError:  # pragma: no cover
    pass


@pytest.fixture
def mod():
    return ts

"""Daemon threads that are waiting inside the module, with the interpreter lock released,
when the interpreter finalises: the process must end normally."""
import subprocess
import sys
import textwrap

import pytest

# Finalisation is made slow on purpose (a collected cycle whose __del__ ends the daemon's
# wait and then sleeps with the lock released), so that the daemon thread asks for the
# lock back while finalisation runs.
SLOW_FINALISATION = """
import gc, os, time
class SlowExit:
    def __del__(self):
        end_wait()
        time.sleep(0.4)
        os.write(1, b"finalised\\n")
gc.disable()
holder = SlowExit()
holder.cycle = holder
del holder
"""

DAEMONS = {
    "writer waiting for a pipe's reader": """
import os, tempfile, threading, time
import _tarnwick_stream_debug as ts
path = os.path.join(tempfile.mkdtemp(), "pipe")
os.mkfifo(path)
def end_wait():
    os.open(path, os.O_RDONLY | os.O_NONBLOCK)
threading.Thread(target=ts.FramedWriter, args=(path,), daemon=True).start()
time.sleep(0.2)
""",
    "reader waiting for bytes": """
import os, tempfile, threading, time
import _tarnwick_stream_debug as ts
def end_wait():
    pass
path = os.path.join(tempfile.mkdtemp(), "t.tape")
open(path, "wb").close()
def wait_for_bytes():
    r = ts.TapeReader(path, None, 50, False)
    while True:
        try:
            r.next()
        except RuntimeError:
            pass
threading.Thread(target=wait_for_bytes, daemon=True).start()
time.sleep(0.2)
""",
    # Several short waits: some readers are already queued for the lock when
    # finalisation begins, and the interpreter ends them from inside that request.
    "readers queued for the lock": """
import os, tempfile, threading, time
import _tarnwick_stream_debug as ts
def end_wait():
    pass
path = os.path.join(tempfile.mkdtemp(), "t.tape")
open(path, "wb").close()
def wait_for_bytes():
    r = ts.TapeReader(path, None, 1, False)
    while True:
        try:
            r.next()
        except RuntimeError:
            pass
for _ in range(8):
    threading.Thread(target=wait_for_bytes, daemon=True).start()
time.sleep(0.1)
""",
}


@pytest.mark.parametrize("attempt", range(3))
@pytest.mark.parametrize("name", sorted(DAEMONS))
def test_daemon_waiting_in_module_at_exit_does_not_crash(name, attempt):
    code = textwrap.dedent(DAEMONS[name]) + textwrap.dedent(SLOW_FINALISATION)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert b"finalised" in proc.stdout

"""Runs a snippet in a child interpreter whose address space is capped just above what
it uses, so that the next large allocation fails the way it does when memory runs out."""
import os
import subprocess
import sys
import textwrap

PREAMBLE = textwrap.dedent("""
    import resource

    def _vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    class low_memory:
        '''Within the block, at most `headroom` more bytes of address space.'''

        def __init__(self, headroom=32 << 20):
            self.headroom = headroom

        def __enter__(self):
            self.saved = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS,
                               (_vm_size() + self.headroom, self.saved[1]))

        def __exit__(self, *exc):
            resource.setrlimit(resource.RLIMIT_AS, self.saved)
""")


def run_low_memory(body, timeout=60):
    """Runs PREAMBLE + body in a child; returns its CompletedProcess."""
    env = dict(os.environ)
    # The child imports the test helpers (tapedecode) too.
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(os.path.abspath(__file__)), env.get("PYTHONPATH")]))
    # Under the sanitizers a failed allocation must come back as null, as from malloc.
    for var in ("ASAN_OPTIONS", "TSAN_OPTIONS"):
        env[var] = env.get(var, "") + ":allocator_may_return_null=1"
    return subprocess.run([sys.executable, "-c", PREAMBLE + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=timeout, env=env)

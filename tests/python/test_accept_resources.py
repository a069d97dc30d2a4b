# The accept loop when the process runs out of file descriptors: it pauses before the next
# accept instead of spinning a core and flooding standard error.
import os
import socket
import subprocess
import sys
import textwrap
import time

from standin import build_dir, child_env, free_port

CHILD = textwrap.dedent("""
    import asyncio, os, resource, sys
    sys.path.insert(0, sys.argv[1])
    import py_engine_native as pen

    async def main():
        engine = pen.NativeEngineAsync("127.0.0.1", int(sys.argv[2]))
        await engine.start()
        # Room for two more descriptors: the next connections hit EMFILE.
        in_use = len(os.listdir("/proc/self/fd"))
        resource.setrlimit(resource.RLIMIT_NOFILE, (in_use + 2, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        print("ready", flush=True)
        await asyncio.sleep(float(sys.argv[3]))

    asyncio.run(main())
""")


def test_descriptor_exhaustion_pauses_the_accept_loop():
    port, seconds = free_port(), 1.5
    child = subprocess.Popen([sys.executable, "-c", CHILD, build_dir(), str(port), str(seconds)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    clients = []
    try:
        assert child.stdout.readline().strip() == b"ready"
        for _ in range(8):
            clients.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        _, err = child.communicate(timeout=30)
    finally:
        for c in clients:
            c.close()
        child.kill()
    lines = err.decode().splitlines()
    exhausted = [l for l in lines if l == "[native ws server] accept failed: Too many open files (os error 24)"]
    # A connection left in the backlog keeps the listener readable: without the pause this
    # would be a line every few microseconds.
    assert 1 <= len(exhausted) <= 4 * seconds / 0.1, lines[:5]
    assert child.returncode == 0

"""A deliberate data race that ThreadSanitizer must report: two threads copy
into one buffer at once through ctypes.memmove, which the sanitizer watches.
tools/test_tsan.sh runs it with its own options and suppressions to show that
a report fails the run and that the suppressions do not hide everything."""

import ctypes
import threading

target = ctypes.create_string_buffer(4096)
source = ctypes.create_string_buffer(b"x" * 4096)
start = threading.Barrier(2)


def copy():
    start.wait()
    for _ in range(2000):
        ctypes.memmove(target, source, len(source))


threads = [threading.Thread(target=copy) for _ in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

"""Thread harnesses shared by the tests: hostile scheduling and small native stacks."""

import faulthandler
import sys
import threading
from concurrent.futures import ThreadPoolExecutor


def run_threads(*targets):
    """Runs the targets at once, switching threads as often as possible; re-raises the first error."""
    barrier = threading.Barrier(len(targets))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    faulthandler.dump_traceback_later(120, exit=True)  # a deadlock fails with every stack
    try:
        with ThreadPoolExecutor(len(targets)) as pool:
            futures = [pool.submit(lambda target=target: (barrier.wait(), target())) for target in targets]
        for future in futures:
            future.result()
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(interval)


def run_in_small_stack(function):
    """function() run on a thread with a 256 KiB stack, where recursion per input level would overflow."""
    previous = threading.stack_size(256 * 1024)
    try:
        with ThreadPoolExecutor(1) as pool:
            return pool.submit(function).result()
    finally:
        threading.stack_size(previous)

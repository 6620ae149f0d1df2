"""The library's threads as Python threads meet them: the team size a Client's cpu_threads
sets holds on every thread, and the threads the pool keeps after many callers are bounded.
Each case runs in a fresh interpreter: pool threads, once started, stay with the process."""
import os
import subprocess
import sys
import textwrap

SETUP = """
import os, threading
import numpy as np
import ombrixdb_vell as ombrix

def threads():
    return len(os.listdir("/proc/self/task"))

memory = ombrix.DBConfig("memory")
data = np.random.default_rng(3).standard_normal((1000, 64)).astype(np.float32)
ids = [str(n) for n in range(len(data))]
"""


def threads_before_and_after(body):
    """Runs SETUP and body, which prints the thread counts before and after its callers."""
    done = subprocess.run([sys.executable, "-c", SETUP + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    before, after = (int(word) for word in done.stdout.split())
    return before, after


def test_cpu_threads_limits_a_query_from_another_thread():
    before, after = threads_before_and_after("""
        client = ombrix.Client("k", memory, memory, memory, cpu_threads=1)
        index = client.create_index("one", os.urandom(32))
        index.upsert(ids, data)
        before = threads()
        other = threading.Thread(target=index.query, args=(data[:200],), kwargs={"top_k": 10})
        other.start()
        other.join()
        print(before, threads())
    """)
    assert after == before, "the query started pool threads"


def test_many_callers_leave_a_bounded_number_of_threads():
    before, after = threads_before_and_after("""
        client = ombrix.Client("k", memory, memory, memory)
        indexes = [client.create_index(f"i{n}", os.urandom(32)) for n in range(64)]
        for index in indexes:
            index.upsert(ids, data)
        together = threading.Barrier(len(indexes))

        def query(index):
            together.wait()
            for _ in range(3):
                index.query(data[:200], top_k=10)

        before = threads()
        callers = [threading.Thread(target=query, args=(index,)) for index in indexes]
        for caller in callers:
            caller.start()
        for caller in callers:
            caller.join()
        print(before, threads())
    """)
    assert after - before <= 2 * os.cpu_count()

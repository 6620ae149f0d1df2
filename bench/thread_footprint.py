#!/usr/bin/env python3
"""What the library keeps after many concurrent callers have ended: the process's threads
after 64 Python threads each query their own index at once, and the memory after 16
threads each file a batch into their own trained index of 1,024 lists at once.

    .venv/bin/python bench/thread_footprint.py

"heap in use" is what the allocator has handed out and not had back (mallinfo2): scratch
still held counts there, memory freed but kept by the allocator does not. VmRSS counts both.
The 16 batches add 8,000 stored items each, which stay.
"""
import ctypes
import os
import threading

import numpy as np

import ombrixdb_vell as ombrix


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


libc = ctypes.CDLL("libc.so.6")
libc.mallinfo2.restype = MallInfo2


def heap_in_use_mib():
    info = libc.mallinfo2()
    return (info.uordblks + info.hblkhd) >> 20


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) >> 10


def threads():
    return len(os.listdir("/proc/self/task"))


def all_at_once(count, work):
    together = threading.Barrier(count)

    def run(i):
        together.wait()
        work(i)

    callers = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()


def main():
    rng = np.random.default_rng(1)
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("bench", memory, memory, memory)
    d = 128
    data = rng.standard_normal((20_000, d)).astype(np.float32)

    small = data[:3_000]
    queried = []
    for n in range(64):
        index = client.create_index(f"q{n}", os.urandom(32))
        index.upsert([str(i) for i in range(len(small))], small)
        queried.append(index)
    queries = rng.standard_normal((64, d)).astype(np.float32)
    before = threads()
    all_at_once(64, lambda i: [queried[i].query(queries, top_k=10) for _ in range(5)])
    print(f"64 threads querying 64 indexes: {before} threads before, {threads()} after")

    filed = []
    for n in range(16):
        index = client.create_index(f"a{n}", os.urandom(32))
        index.upsert([str(i) for i in range(len(data))], data)
        index.train(n_lists=1024, max_iters=1, batch_size=2048)
        filed.append(index)
    batch = rng.standard_normal((8_000, d)).astype(np.float32)
    rss, heap = rss_mib(), heap_in_use_mib()
    all_at_once(16, lambda i: filed[i].upsert([f"n{j}" for j in range(len(batch))], batch))
    print(f"16 threads filing 8,000 vectors under 1,024 lists: VmRSS +{rss_mib() - rss} MiB, "
          f"heap in use +{heap_in_use_mib() - heap} MiB, {threads()} threads")


if __name__ == "__main__":
    main()

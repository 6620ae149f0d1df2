// Each thread's OpenSSL state (its generator instances, its error queue) made and freed
// under a lock that fork() takes. OpenSSL 3 lists every thread holding such state under a
// process-wide lock of its own, taken when a thread first needs state and again when the
// thread ends; a child forked while some thread held it blocks as soon as it needs that
// lock itself (on its first draw from the generator, on a new thread, at exit).
// Thread-safe; there is nothing to own.
#pragma once

namespace ombrix {

// Makes this thread's OpenSSL state now, if it has none yet, and arranges for it to be
// freed when the thread ends, both while no fork can copy the process. Call on every thread
// before its first OpenSSL call of ours; later calls cost a thread-local check. A forking
// thread makes its own state the same way before each fork, so that a forked child (whose
// only thread it is) can draw random bytes without that lock.
void PrepareThreadForOpenSsl();

}  // namespace ombrix

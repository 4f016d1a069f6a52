// Work done when a thread ends, for per-thread state kept on the heap.
//
// A thread_local object with a destructor registers that destructor at its
// first use through glibc's __cxa_thread_atexit_impl, which ends the process
// when it cannot allocate its record. Per-thread state with cleanup is kept
// instead behind a plain thread-local pointer and registered here, where a
// lack of memory is an exception.
#pragma once

namespace corvane {

// Calls fn(arg) on the calling thread when it exits (last registered, first
// called), not when the process exits. Throws std::bad_alloc when the
// registration cannot be recorded; fn is then never called.
void at_thread_exit(void (*fn)(void*) noexcept, void* arg);

}  // namespace corvane

#include "common/thread_exit.h"

#include <pthread.h>

#include <new>

#include "common/fault.h"

namespace corvane {
namespace {

struct Entry {
  void (*fn)(void*) noexcept;
  void* arg;
  Entry* next;
};

// The key's value is the thread's list of entries; the threads library calls
// this with it as the thread exits (again if an entry registered another).
void run_entries(void* head) noexcept {
  for (Entry* e = static_cast<Entry*>(head); e != nullptr;) {
    Entry* next = e->next;
    e->fn(e->arg);
    delete e;
    e = next;
  }
}

pthread_key_t exit_key() {
  static const pthread_key_t key = [] {
    pthread_key_t k{};
    if (pthread_key_create(&k, &run_entries) != 0) fault("could not create a thread-exit key");
    return k;
  }();
  return key;
}

}  // namespace

void at_thread_exit(void (*fn)(void*) noexcept, void* arg) {
  const pthread_key_t key = exit_key();
  auto* e = new Entry{fn, arg, static_cast<Entry*>(pthread_getspecific(key))};
  // Past the first keys the threads library allocates the value's slot.
  if (pthread_setspecific(key, e) != 0) {
    delete e;
    throw std::bad_alloc();
  }
}

}  // namespace corvane

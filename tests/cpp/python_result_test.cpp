// The routing result as Python objects: what the generic conversion makes,
// or, when an allocation fails anywhere, MemoryError and nothing leaked.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "python/circuit_routing.h"
#include "python/convert.h"
#include "python_test_support.h"

namespace corvane::py {
namespace {

routing::RouteOutput sample_output() {
  routing::RouteOutput out;
  // Qubits past the interpreter's shared ints, a code past every table.
  for (std::uint64_t i = 0; i < 120; ++i) out.first.push_back({i % 11, {(i * 7) % 300, 299 - i}});
  out.first.push_back({UINT64_MAX, {1, 0}});
  out.first.push_back({1, {1, 0}});
  out.second = {{2, 0, 299}, {0, 2, 1}, {1, 300, 0}};
  return out;
}

// Equal to what the generic conversion makes (lists and tuples differ), with
// a fresh (q0, q1) tuple for every gate.
void expect_generic_form(PyObject* made, const routing::RouteOutput& out) {
  const routing::Layout& l = out.second;
  Ref want = Ref::check(to_python(std::make_pair(out.first, std::tie(l.perm, l.p2v, l.v2p))));
  EXPECT_EQ(PyObject_RichCompareBool(made, want.get(), Py_EQ), 1);
  EXPECT_EQ(Py_REFCNT(made), 1);
  PyObject* gates = PyTuple_GET_ITEM(made, 0);
  std::unordered_set<PyObject*> pairs;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates); ++i)
    EXPECT_TRUE(pairs.insert(PyTuple_GET_ITEM(PyList_GET_ITEM(gates, i), 1)).second) << i;
}

// Once armed with n, fails allocation n (from 0) of the object and memory
// domains, and keeps the blocks made until it is disarmed, while not freed.
struct FailingAllocator {
  static inline PyMemAllocatorEx base[2];  // memory, object
  static inline bool armed = false;
  static inline long countdown = 0;
  static inline std::unordered_set<void*> live;

  static PyMemAllocatorEx& of(void* ctx) { return base[ctx != nullptr]; }
  static void* malloc_(void* c, std::size_t n) {
    return made(c, nullptr, [&](auto& b) { return b.malloc(b.ctx, n); });
  }
  static void* calloc_(void* c, std::size_t k, std::size_t n) {
    return made(c, nullptr, [&](auto& b) { return b.calloc(b.ctx, k, n); });
  }
  static void* realloc_(void* c, void* p, std::size_t n) {
    return made(c, p, [&](auto& b) { return b.realloc(b.ctx, p, n); });
  }
  static void free_(void* c, void* p) {
    live.erase(p);
    of(c).free(of(c).ctx, p);
  }
  template <class F>
  static void* made(void* c, void* old, F allocate) {
    if (armed && countdown-- == 0) return nullptr;
    void* p = allocate(of(c));
    if (armed && p != nullptr) {
      live.erase(old);
      live.insert(p);
    }
    return p;
  }
};

TEST(RoutedToPython, GenericFormOrMemoryErrorAndNoLeak) {
  const routing::RouteOutput out = sample_output();
  Ref empty = Ref::check(routed_to_python({}));
  expect_generic_form(empty.get(), {});
  static int object_domain;  // a non-null context marks the object domain's calls
  PyMemAllocatorEx hook{nullptr, &FailingAllocator::malloc_, &FailingAllocator::calloc_,
                        &FailingAllocator::realloc_, &FailingAllocator::free_};
  PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &FailingAllocator::base[0]);
  PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &FailingAllocator::base[1]);
  PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &hook);
  hook.ctx = &object_domain;
  PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &hook);
  ASSERT_GT(PyGC_Collect(), -1);  // empties the free lists, so allocations reach the hook
  long failures = 0;
  for (long n = 0; n < 100000; ++n) {
    FailingAllocator::countdown = n;
    FailingAllocator::armed = true;
    PyObject* result = nullptr;
    try {
      result = routed_to_python(out);
    } catch (const ErrorAlreadySet&) {
    }
    FailingAllocator::armed = false;
    const std::string error = result != nullptr ? "no error" : testing::take_error();
    if (result != nullptr) expect_generic_form(result, out);
    Py_XDECREF(result);
    (void)PyGC_Collect();  // tuples and lists back from their free lists
    EXPECT_TRUE(FailingAllocator::live.empty()) << "blocks left when allocation " << n << " failed";
    FailingAllocator::live.clear();
    if (result != nullptr) break;
    EXPECT_EQ(error, "MemoryError: ") << "allocation " << n;
    ++failures;
  }
  PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &FailingAllocator::base[0]);
  PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &FailingAllocator::base[1]);
  EXPECT_GT(failures, 300);  // the table, every int past the shared ones, tuple and list
}

}  // namespace
}  // namespace corvane::py

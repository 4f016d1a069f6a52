// The routing result as Python objects: the same values and types as the
// generic conversion, and a failed allocation anywhere raises MemoryError
// without leaking what was already made.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "python/circuit_routing.h"
#include "python/convert.h"
#include "python_test_support.h"

namespace corvane::py {
namespace {

using namespace testing;

routing::RouteOutput sample_output() {
  routing::RouteOutput out;
  // Qubits past the interpreter's shared ints, a code past every table.
  for (std::uint64_t i = 0; i < 120; ++i) out.first.push_back({i % 11, {(i * 7) % 300, 299 - i}});
  out.first.push_back({UINT64_MAX, {1, 0}});
  out.first.push_back({1, {1, 0}});
  out.second.perm = {2, 0, 299};
  out.second.p2v = {0, 2, 1};
  out.second.v2p = {1, 300, 0};
  return out;
}

TEST(RoutedToPython, EqualsTheGenericConversion) {
  for (const routing::RouteOutput& out : {sample_output(), routing::RouteOutput{}}) {
    const routing::Layout& l = out.second;
    Ref made = Ref::check(routed_to_python(out));
    Ref want = Ref::check(to_python(std::make_pair(out.first, std::tie(l.perm, l.p2v, l.v2p))));
    EXPECT_EQ(PyObject_RichCompareBool(made.get(), want.get(), Py_EQ), 1);
    EXPECT_EQ(Py_REFCNT(made.get()), 1);
    ASSERT_TRUE(PyTuple_CheckExact(made.get()));
    PyObject* gates = PyTuple_GET_ITEM(made.get(), 0);
    ASSERT_TRUE(PyList_CheckExact(gates));
    ASSERT_EQ(PyList_GET_SIZE(gates), static_cast<Py_ssize_t>(out.first.size()));
    std::unordered_set<PyObject*> pairs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates); ++i) {
      PyObject* gate = PyList_GET_ITEM(gates, i);
      ASSERT_TRUE(PyTuple_CheckExact(gate) && PyTuple_GET_SIZE(gate) == 2);
      EXPECT_TRUE(PyLong_CheckExact(PyTuple_GET_ITEM(gate, 0)));
      PyObject* pair = PyTuple_GET_ITEM(gate, 1);
      ASSERT_TRUE(PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2);
      EXPECT_TRUE(PyLong_CheckExact(PyTuple_GET_ITEM(pair, 0)) &&
                  PyLong_CheckExact(PyTuple_GET_ITEM(pair, 1)));
      EXPECT_EQ(Py_REFCNT(gate), 1);
      EXPECT_TRUE(pairs.insert(pair).second) << "gate " << i << " shares its qubit pair";
    }
    PyObject* layouts = PyTuple_GET_ITEM(made.get(), 1);
    ASSERT_TRUE(PyTuple_CheckExact(layouts) && PyTuple_GET_SIZE(layouts) == 3);
    for (Py_ssize_t k = 0; k < 3; ++k) EXPECT_TRUE(PyList_CheckExact(PyTuple_GET_ITEM(layouts, k)));
  }
}

// Once armed with n, lets n allocations of the object and memory domains
// through and fails every one after, keeping the blocks made meanwhile that
// are not yet freed.
struct FailingAllocator {
  static inline PyMemAllocatorEx base[2];
  static inline long countdown = -1;  // < 0: disarmed
  static inline std::unordered_set<void*>* live = nullptr;

  static void* malloc_(void* ctx, std::size_t n) { return made(ctx, nullptr, n, false); }
  static void* calloc_(void* ctx, std::size_t k, std::size_t n) {
    return made(ctx, nullptr, k * n, true);
  }
  static void* realloc_(void* ctx, void* p, std::size_t n) { return made(ctx, p, n, false, true); }
  static void free_(void* ctx, void* p) {
    live->erase(p);
    auto& b = base[ctx != nullptr];
    b.free(b.ctx, p);
  }
  static void* made(void* ctx, void* old, std::size_t n, bool zero, bool resize = false) {
    if (countdown == 0) return nullptr;
    auto& b = base[ctx != nullptr];
    void* p = resize ? b.realloc(b.ctx, old, n) : zero ? b.calloc(b.ctx, 1, n) : b.malloc(b.ctx, n);
    if (countdown > 0) {
      --countdown;
      if (p != nullptr) {
        live->erase(old);
        live->insert(p);
      }
    }
    return p;
  }
};

TEST(RoutedToPython, FailedAllocationRaisesMemoryErrorAndLeaksNothing) {
  const routing::RouteOutput out = sample_output();
  std::unordered_set<void*> live;
  FailingAllocator::live = &live;
  PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &FailingAllocator::base[0]);
  PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &FailingAllocator::base[1]);
  static int obj_tag;  // tells the object domain's calls from the memory domain's
  PyMemAllocatorEx mem{nullptr, &FailingAllocator::malloc_, &FailingAllocator::calloc_,
                       &FailingAllocator::realloc_, &FailingAllocator::free_};
  PyMemAllocatorEx obj = mem;
  obj.ctx = &obj_tag;
  PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
  PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
  ASSERT_GT(PyGC_Collect(), -1);  // empties the free lists, so allocations reach us
  long failures = 0;
  for (long n = 0; n < 100000; ++n) {
    FailingAllocator::countdown = n;
    PyObject* result = nullptr;
    bool raised = false;
    try {
      result = routed_to_python(out);
    } catch (const ErrorAlreadySet&) {
      raised = true;
    }
    FailingAllocator::countdown = -1;
    const std::string error = raised ? take_error() : "no error";
    Py_XDECREF(result);
    (void)PyGC_Collect();  // tuples and lists go back to their free lists, then out
    EXPECT_TRUE(live.empty()) << live.size() << " blocks left after failing allocation " << n;
#if PY_VERSION_HEX >= 0x030A0000
    EXPECT_TRUE(PyGC_IsEnabled());
#endif
    live.clear();
    if (result != nullptr) break;
    EXPECT_EQ(error, "MemoryError: ") << "at allocation " << n;
    ++failures;
  }
  PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &FailingAllocator::base[0]);
  PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &FailingAllocator::base[1]);
  // Every int past the shared ones, every tuple and list, and the table.
  EXPECT_GT(failures, 300);
}

}  // namespace
}  // namespace corvane::py

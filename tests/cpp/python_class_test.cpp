// Classes made with PyClass<T>, the module's add-class operation, the
// once-per-process module state and the class registry.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "python/binding.h"
#include "python_test_support.h"

namespace corvane::py {
namespace {

using namespace testing;
using U64 = std::uint64_t;

struct Tracked {
  static inline int alive = 0;
  std::vector<U64> values;
  explicit Tracked(std::vector<U64> v) : values(std::move(v)) { ++alive; }
  Tracked(Tracked&& other) noexcept : values(std::move(other.values)) { ++alive; }
  Tracked(const Tracked&) = delete;
  ~Tracked() { --alive; }
};

constexpr auto kNew = signature("Tracked.__new__", "values");
constexpr auto kTotal = signature("Tracked.total");

PyObject* new_tracked(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
PyObject* total(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* answer(PyObject*, PyObject*) { return PyLong_FromLong(42); }

PyMethodDef kMethods[] = {
    {"answer", method_cast(&answer), METH_NOARGS | METH_STATIC, "answer()\n--\n\n"},
    {"total", method_cast(&total), METH_FASTCALL | METH_KEYWORDS, "total($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constinit PyClass<Tracked> kTracked({.name = "Tracked",
                                     .doc = "Tracked(values)\n--\n\n",
                                     .methods = kMethods,
                                     .tp_new = &new_tracked});

PyObject* new_tracked(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto bound = bind(kNew, args, kwargs);
    auto [values] = convert<std::vector<U64>>(kNew, bound);
    return kTracked.create(subtype, Tracked(std::move(values)));
  });
}

PyObject* total(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    bind(kTotal, args, nargs, kwnames);
    const Tracked& me = kTracked.borrow(self);
    return to_python(std::accumulate(me.values.begin(), me.values.end(), U64{0}));
  });
}

PyObject* globals() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

std::string raised(const char* code, int start = Py_eval_input) {
  return error_of_call(PyRun_String(code, start, globals(), globals()));
}

bool equal(const Ref& a, const char* expected) {
  Ref want = eval(expected);
  return a && want && PyObject_RichCompareBool(a.get(), want.get(), Py_EQ) == 1;
}

class Classes : public ::testing::Test {
 protected:
  void SetUp() override {
    type_ = kTracked.type();
    ASSERT_EQ(PyDict_SetItemString(globals(), "Tracked", reinterpret_cast<PyObject*>(type_)), 0);
  }
  void TearDown() override { EXPECT_EQ(take_error(), "") << "a Python error was left pending"; }
  PyTypeObject* type_ = nullptr;
};

TEST_F(Classes, TypeReadsLikeABuiltinClass) {
  EXPECT_EQ(kTracked.type(), type_);  // made once
  Ref facts = eval("(Tracked.__module__, Tracked.__qualname__, Tracked.__name__, repr(Tracked),"
                   " Tracked.__text_signature__, Tracked.total.__text_signature__,"
                   " Tracked.answer.__text_signature__, str(__import__('inspect').signature(Tracked)))");
  EXPECT_TRUE(equal(facts, "('builtins', 'Tracked', 'Tracked', \"<class 'builtins.Tracked'>\", '(values)',"
                           " '($self)', '()', '(values)')"))
      << PyUnicode_AsUTF8(Ref::steal(PyObject_Repr(facts.get())).get());
  EXPECT_EQ(raised("class Sub(Tracked): pass", Py_file_input),
            "TypeError: type 'builtins.Tracked' is not an acceptable base type");
}

TEST_F(Classes, InstancesHoldAndReleaseTheirValue) {
  const int alive = Tracked::alive;
  const Py_ssize_t type_refs = Py_REFCNT(type_);
  Ref sums = eval("(Tracked([1, 2, 3]).total(), Tracked(values=(4,)).total(), Tracked.answer(),"
                  " Tracked([]).answer())");
  EXPECT_TRUE(equal(sums, "(6, 4, 42, 42)"));
  {
    Ref held = eval("Tracked([5])");
    EXPECT_EQ(Tracked::alive, alive + 1);
    EXPECT_EQ(kTracked.borrow(held.get()).values, std::vector<U64>{5});
  }
  // Each instance's value was destroyed and its type reference returned.
  EXPECT_EQ(Tracked::alive, alive);
  EXPECT_EQ(Py_REFCNT(type_), type_refs);
}

TEST_F(Classes, ConstructorAndMethodArgumentErrors) {
  EXPECT_EQ(raised("Tracked()"),
            "TypeError: Tracked.__new__() missing 1 required positional argument: 'values'");
  EXPECT_EQ(raised("Tracked([], [])"),
            "TypeError: Tracked.__new__() takes 1 positional argument but 2 were given");
  EXPECT_EQ(raised("Tracked('12')"), "TypeError: argument 'values': Can't extract `str` to `Vec`");
  EXPECT_EQ(raised("Tracked([-1])"), "OverflowError: can't convert negative int to unsigned");
  EXPECT_EQ(raised("Tracked([]).total(1)"),
            "TypeError: Tracked.total() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(raised("Tracked([]).total(x=1)"),
            "TypeError: Tracked.total() got an unexpected keyword argument 'x'");
  Ref number = eval("12");
  EXPECT_EQ(error_of([&] { kTracked.borrow(number.get()); }),
            "TypeError: 'int' object cannot be converted to 'Tracked'");
}

PyObject* alloc_nothing(PyTypeObject*, Py_ssize_t) { return nullptr; }
PyObject* alloc_no_memory(PyTypeObject*, Py_ssize_t) { return PyErr_NoMemory(); }

TEST_F(Classes, FailedAllocationRaisesAndDropsTheValue) {
  const int alive = Tracked::alive;
  allocfunc original = type_->tp_alloc;
  type_->tp_alloc = &alloc_nothing;
  EXPECT_EQ(error_of([&] { kTracked.create(type_, Tracked({1})); }),
            "SystemError: attempted to fetch exception but none was set");
  type_->tp_alloc = &alloc_no_memory;
  EXPECT_EQ(raised("Tracked([1, 2])"), "MemoryError: ");
  type_->tp_alloc = original;
  EXPECT_EQ(Tracked::alive, alive);
}

TEST(Module, AddClassListsTheNameThenSetsTheAttribute) {
  Ref module = Ref::check(PyModule_New("m"));
  Ref first = eval("int");
  Ref second = eval("str");
  add_class(module.get(), "First", first.get());
  add_class(module.get(), "Second", second.get());
  EXPECT_TRUE(equal(Ref::steal(PyObject_GetAttrString(module.get(), "__all__")), "['First', 'Second']"));
  EXPECT_EQ(Ref::steal(PyObject_GetAttrString(module.get(), "Second")).get(), second.get());
  EXPECT_EQ(take_error(), "");
}

TEST(Module, AddClassRefusesABadAll) {
  Ref type = eval("int");
  Ref module = Ref::check(PyModule_New("m"));
  Ref tuple = eval("('x',)");
  PyObject_SetAttrString(module.get(), "__all__", tuple.get());
  EXPECT_EQ(error_of([&] { add_class(module.get(), "First", type.get()); }),
            "TypeError: 'tuple' object cannot be converted to 'PyList'");
  EXPECT_EQ(PyObject_HasAttrString(module.get(), "First"), 0);

  // A list subclass is a list.
  exec("class Names(list): pass\n");
  Ref names = eval("Names()");
  PyObject_SetAttrString(module.get(), "__all__", names.get());
  add_class(module.get(), "First", type.get());
  EXPECT_TRUE(equal(names, "['First']"));

  // A read error other than AttributeError is returned as it is.
  Ref other = Ref::check(PyModule_New("other"));
  exec("def refuse(name):\n    raise ValueError('no ' + name)\n");
  Ref refuse = eval("refuse");
  PyObject_SetAttrString(other.get(), "__getattr__", refuse.get());
  EXPECT_EQ(error_of([&] { add_class(other.get(), "First", type.get()); }), "ValueError: no __all__");
}

int g_body_runs = 0;
bool g_body_fails = false;
void body(PyObject* module) {
  ++g_body_runs;
  if (g_body_fails) raise(PyExc_RuntimeError, "body failed");
  add_class(module, "Answer", reinterpret_cast<PyObject*>(&PyLong_Type));
}
void failing_body(PyObject*) { raise(PyExc_RuntimeError, "always fails"); }

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "once", "Test module.", 0, nullptr, nullptr, nullptr, nullptr,
                     nullptr};
PyModuleDef g_failing_def = {PyModuleDef_HEAD_INIT, "never", nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                             nullptr};
constinit SingleInterpreterModule g_once(&g_def, &body);
constinit SingleInterpreterModule g_never(&g_failing_def, &failing_body);

std::string init_in_subinterpreter(SingleInterpreterModule& module) {
  PyThreadState* main = PyThreadState_Get();
  PyThreadState* sub = Py_NewInterpreter();
  if (sub == nullptr) return "no sub-interpreter";
  const std::string error = error_of_call(module.init());
  Py_EndInterpreter(sub);
  PyThreadState_Swap(main);
  return error;
}

TEST(Module, CreatedOncePerProcessForOneInterpreter) {
  // A failing body leaves nothing behind; the next import starts again.
  g_body_fails = true;
  EXPECT_EQ(error_of_call(g_once.init()), "RuntimeError: body failed");
  g_body_fails = false;
  Ref first = Ref::check(g_once.init());
  EXPECT_EQ(g_body_runs, 2);
  EXPECT_TRUE(equal(Ref::steal(PyObject_GetAttrString(first.get(), "__all__")), "['Answer']"));

  // A re-import returns the same module, a new reference, without the body.
  const Py_ssize_t refs = Py_REFCNT(first.get());
  Ref again = Ref::check(g_once.init());
  EXPECT_EQ(again.get(), first.get());
  EXPECT_EQ(Py_REFCNT(first.get()), refs + 1);
  EXPECT_EQ(g_body_runs, 2);

  const std::string refused = init_in_subinterpreter(g_once);
  EXPECT_EQ(refused.rfind("ImportError: once does not support sub-interpreters", 0), 0u) << refused;
  EXPECT_EQ(g_body_runs, 2);

  // The interpreter is recorded even when its import failed.
  EXPECT_EQ(error_of_call(g_never.init()), "RuntimeError: always fails");
  const std::string also_refused = init_in_subinterpreter(g_never);
  EXPECT_EQ(also_refused.rfind("ImportError: never does not support sub-interpreters", 0), 0u)
      << also_refused;
}

TEST(Module, RegisteredClassesInModuleOrder) {
  // The module function adds the four classes in this order, each once.
  Ref module = Ref::check(PyModule_New("corvane_rs"));
  add_registered_classes(module.get());
  Ref all = Ref::steal(PyObject_GetAttrString(module.get(), "__all__"));
  ASSERT_TRUE(all);
  EXPECT_TRUE(equal(all,
                    "['CircuitRouting', 'CliffordSynthesis', 'PermutationSynthesis', "
                    "'LinearFunctionSynthesis']"));
  for (const ClassEntry& entry : registered_classes()) {
    Ref attribute = Ref::steal(PyObject_GetAttrString(module.get(), entry.name));
    EXPECT_EQ(attribute.get(), reinterpret_cast<PyObject*>(entry.type()));
    Ref qualname = Ref::steal(PyObject_GetAttrString(attribute.get(), "__qualname__"));
    EXPECT_STREQ(PyUnicode_AsUTF8(qualname.get()), entry.name);
  }
  EXPECT_EQ(take_error(), "");
}

}  // namespace
}  // namespace corvane::py

// Argument binding and conversion through a real METH_FASTCALL | METH_KEYWORDS
// function called from Python, and the tp_new (tuple, dict) form.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "python/args.h"
#include "python/pyclass.h"
#include "python_test_support.h"

namespace corvane::py {
namespace {

using namespace testing;
using U64 = std::uint64_t;
using Circuit = std::vector<std::pair<U64, std::pair<U64, U64>>>;
using Dists = std::vector<std::vector<std::int32_t>>;

constexpr auto kMethod = signature("Thing.method", "circuit", "runs", "dists");

// Echoes its converted arguments.
PyObject* method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    auto bound = bind(kMethod, args, nargs, kwnames);
    auto [circuit, runs, dists] = convert<Circuit, U64, Dists>(kMethod, bound);
    return to_python(std::make_tuple(circuit, runs, dists));
  });
}

PyMethodDef kMethodDef = {"method", method_cast(&method), METH_FASTCALL | METH_KEYWORDS, nullptr};

class Args : public ::testing::Test {
 protected:
  void SetUp() override {
    Ref f = Ref::check(PyCFunction_NewEx(&kMethodDef, nullptr, nullptr));
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    ASSERT_EQ(PyDict_SetItemString(globals, "f", f.get()), 0);
    exec("class Idx:\n    def __init__(self, v): self.v = v\n    def __index__(self): return self.v\n"
         "touched = []\n"
         "class Spy:\n"
         "    def __len__(self):\n        touched.append('len')\n        return 1\n"
         "    def __getitem__(self, i):\n        touched.append(i)\n        raise IndexError\n");
  }
  void TearDown() override { EXPECT_EQ(take_error(), "") << "a Python error was left pending"; }

  // The error a Python expression raises, or "no error".
  static std::string raised(const char* expression) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    return error_of_call(PyRun_String(expression, Py_eval_input, globals, globals));
  }
};

TEST_F(Args, PositionalAndKeywordArgumentsBind) {
  EXPECT_EQ(raised("f([(1, (2, 3))], 4, [[5]]) == ([(1, (2, 3))], 4, [[5]]) or 1/0"), "no error");
  EXPECT_EQ(raised("f(dists=[[5]], runs=4, circuit=[]) == ([], 4, [[5]]) or 1/0"), "no error");
  EXPECT_EQ(raised("f([], dists=[], runs=Idx(2)) == ([], 2, []) or 1/0"), "no error");
}

TEST_F(Args, BindingErrorsUseTheFunctionName) {
  EXPECT_EQ(raised("f()"),
            "TypeError: Thing.method() missing 3 required positional arguments: "
            "'circuit', 'runs', and 'dists'");
  EXPECT_EQ(raised("f([])"),
            "TypeError: Thing.method() missing 2 required positional arguments: 'runs' and 'dists'");
  EXPECT_EQ(raised("f([], dists=[])"),
            "TypeError: Thing.method() missing 1 required positional argument: 'runs'");
  EXPECT_EQ(raised("f([], 1, [], 4)"),
            "TypeError: Thing.method() takes 3 positional arguments but 4 were given");
  EXPECT_EQ(raised("f([], 1, [], circuit=[])"),
            "TypeError: Thing.method() got multiple values for argument 'circuit'");
  EXPECT_EQ(raised("f([], 1, [], bogus=1)"),
            "TypeError: Thing.method() got an unexpected keyword argument 'bogus'");
  // Surplus positionals are found first, then keywords in order, then gaps.
  EXPECT_EQ(raised("f(1, 2, 3, 4, bogus=1)"),
            "TypeError: Thing.method() takes 3 positional arguments but 4 were given");
  EXPECT_EQ(raised("f(bogus=1, circuit=[])"),
            "TypeError: Thing.method() got an unexpected keyword argument 'bogus'");
}

TEST_F(Args, BindingHappensBeforeAnyConversion) {
  EXPECT_EQ(raised("f('bad', Spy(), bogus=1)"),
            "TypeError: Thing.method() got an unexpected keyword argument 'bogus'");
  EXPECT_EQ(raised("f('bad', Spy())"),
            "TypeError: Thing.method() missing 1 required positional argument: 'dists'");
  Ref touched = eval("touched");
  EXPECT_EQ(PyList_GET_SIZE(touched.get()), 0);
}

TEST_F(Args, ConversionErrorsNameTheArgument) {
  EXPECT_EQ(raised("f('bad', 1, [])"), "TypeError: argument 'circuit': Can't extract `str` to `Vec`");
  EXPECT_EQ(raised("f([(1, (2, 'x'))], 1, [])"),
            "TypeError: argument 'circuit': 'str' object cannot be interpreted as an integer");
  EXPECT_EQ(raised("f([[1, (2, 3)]], 1, [])"),
            "TypeError: argument 'circuit': 'list' object cannot be converted to 'PyTuple'");
  EXPECT_EQ(raised("f([], 1, [[1], 'ab'])"), "TypeError: argument 'dists': Can't extract `str` to `Vec`");
  // Other classes pass without the prefix.
  EXPECT_EQ(raised("f([], -1, [])"), "OverflowError: can't convert negative int to unsigned");
  EXPECT_EQ(raised("f([], 1, [[2**31]])"), "OverflowError: out of range integral type conversion attempted");
  EXPECT_EQ(raised("f([(1, (2, 3, 4))], 1, [])"),
            "ValueError: expected tuple of length 2, but got tuple of length 3");
}

TEST_F(Args, FirstFailureWinsAndLaterArgumentsAreNotExamined) {
  EXPECT_EQ(raised("f('bad', -1, Spy())"), "TypeError: argument 'circuit': Can't extract `str` to `Vec`");
  EXPECT_EQ(raised("f([], -1, Spy())"), "OverflowError: can't convert negative int to unsigned");
  Ref touched = eval("touched");
  EXPECT_EQ(PyList_GET_SIZE(touched.get()), 0);
  // In keyword calls too: signature order, not call order.
  EXPECT_EQ(raised("f(dists=Spy(), runs='x', circuit='y')"),
            "TypeError: argument 'circuit': Can't extract `str` to `Vec`");
  EXPECT_EQ(PyList_GET_SIZE(touched.get()), 0);
}

TEST_F(Args, RenamedTypeErrorKeepsTheCause) {
  exec("class CauseIdx:\n"
       "    def __index__(self):\n        raise TypeError('nope') from ValueError('root')\n"
       "class SubError(TypeError): pass\n"
       "class SubIdx:\n    def __index__(self):\n        raise SubError('own words')\n"
       "def outcome(call):\n"
       "    try:\n        call()\n    except BaseException as e:\n"
       "        return (type(e).__name__, str(e), repr(e.__cause__), e.__suppress_context__)\n");
  Ref with_cause = eval("outcome(lambda: f([(1, (CauseIdx(), 3))], 1, []))");
  Ref want = eval("('TypeError', \"argument 'circuit': nope\", \"ValueError('root')\", True)");
  EXPECT_EQ(PyObject_RichCompareBool(with_cause.get(), want.get(), Py_EQ), 1);
  Ref plain = eval("outcome(lambda: f([], 'x', []))");
  want = eval("('TypeError', \"argument 'runs': 'str' object cannot be interpreted as an integer\","
              " 'None', True)");
  EXPECT_EQ(PyObject_RichCompareBool(plain.get(), want.get(), Py_EQ), 1);
  // A subclass of TypeError is not exactly TypeError: unchanged.
  Ref sub = eval("outcome(lambda: f([], SubIdx(), []))");
  want = eval("('SubError', 'own words', 'None', False)");
  EXPECT_EQ(PyObject_RichCompareBool(sub.get(), want.get(), Py_EQ), 1);
}

TEST_F(Args, NoReferenceLeaks) {
  Ref f = eval("f");
  Ref circuit = eval("[(Idx(2**40), (Idx(1), Idx(2)))]");
  Ref runs = eval("Idx(2**41)");
  Ref bad_dists = eval("[[1], 'x']");
  Ref dists = eval("[[1], [2]]");
  Ref kwnames = eval("('runs', 'dists')");
  auto counts = [&] {
    return std::vector<Py_ssize_t>{Py_REFCNT(circuit.get()), Py_REFCNT(runs.get()),
                                   Py_REFCNT(bad_dists.get()), Py_REFCNT(dists.get())};
  };
  const auto before = counts();

  PyObject* good[] = {circuit.get(), runs.get(), dists.get()};
  EXPECT_EQ(error_of_call(PyObject_Vectorcall(f.get(), good, 3, nullptr)), "no error");
  PyObject* bad[] = {circuit.get(), runs.get(), bad_dists.get()};
  EXPECT_NE(error_of_call(PyObject_Vectorcall(f.get(), bad, 3, nullptr)), "no error");
  EXPECT_NE(error_of_call(PyObject_Vectorcall(f.get(), bad, 1, kwnames.get())), "no error");
  PyObject* surplus[] = {circuit.get(), runs.get(), dists.get(), dists.get()};
  EXPECT_NE(error_of_call(PyObject_Vectorcall(f.get(), surplus, 4, nullptr)), "no error");

  EXPECT_EQ(counts(), before);
}

TEST_F(Args, TupleAndDictForm) {
  constexpr auto kNew = signature("Thing.__new__", "a", "b");
  Ref args = eval("(1,)");
  Ref kwargs = eval("{'b': 2}");
  auto bound = bind(kNew, args.get(), kwargs.get());
  EXPECT_EQ(bound[0], PyTuple_GET_ITEM(args.get(), 0));
  EXPECT_EQ(bound[1], PyDict_GetItemString(kwargs.get(), "b"));
  auto [a, b] = convert<U64, double>(kNew, bound);
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2.0);

  auto failure = [&](const char* positional, const char* keywords) {
    Ref p = eval(positional);
    Ref k = keywords != nullptr ? eval(keywords) : Ref();
    return error_of([&] { bind(kNew, p.get(), k.get()); });
  };
  EXPECT_EQ(failure("()", nullptr),
            "TypeError: Thing.__new__() missing 2 required positional arguments: 'a' and 'b'");
  EXPECT_EQ(failure("(1, 2, 3)", nullptr),
            "TypeError: Thing.__new__() takes 2 positional arguments but 3 were given");
  EXPECT_EQ(failure("(1,)", "{'a': 1}"), "TypeError: Thing.__new__() got multiple values for argument 'a'");
  EXPECT_EQ(failure("(1,)", "{'c': 1}"), "TypeError: Thing.__new__() got an unexpected keyword argument 'c'");
  EXPECT_EQ(failure("()", "{'b': 1, 'a': 2}"), "no error");

  constexpr auto kEmpty = signature("Empty.__new__");
  auto empty_failure = [&](const char* positional, const char* keywords) {
    Ref p = eval(positional);
    Ref k = keywords != nullptr ? eval(keywords) : Ref();
    return error_of([&] { bind(kEmpty, p.get(), k.get()); });
  };
  EXPECT_EQ(empty_failure("()", nullptr), "no error");
  EXPECT_EQ(empty_failure("(1,)", nullptr),
            "TypeError: Empty.__new__() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(empty_failure("()", "{'x': 1}"),
            "TypeError: Empty.__new__() got an unexpected keyword argument 'x'");
}

}  // namespace
}  // namespace corvane::py

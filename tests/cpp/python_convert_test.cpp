// extract<T> and to_python against real Python values: accepted values,
// the exact exception class and message of each refusal, and references.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "common/hash.h"
#include "python/convert.h"
#include "python_test_support.h"

namespace corvane::py {
namespace {

using namespace testing;
using U64 = std::uint64_t;

class Convert : public ::testing::Test {
 protected:
  void SetUp() override {
    exec("import collections\n"
         "class Idx:\n    def __init__(self, v): self.v = v\n    def __index__(self): return self.v\n");
  }
  void TearDown() override { EXPECT_EQ(take_error(), "") << "a Python error was left pending"; }

  template <class T>
  T from(const char* expression) {
    Ref obj = eval(expression);
    return extract<T>(obj.get());
  }
  template <class T>
  std::string refusal(const char* expression) {
    Ref obj = eval(expression);
    return error_of([&] { extract<T>(obj.get()); });
  }
};

TEST_F(Convert, UnsignedAcceptsIntsAndIndexables) {
  EXPECT_EQ(from<U64>("0"), 0u);
  EXPECT_EQ(from<U64>("2**64 - 1"), std::numeric_limits<U64>::max());
  EXPECT_EQ(from<U64>("True"), 1u);
  EXPECT_EQ(from<U64>("Idx(7)"), 7u);
  EXPECT_EQ(from<std::size_t>("12345678901"), 12345678901u);
}

TEST_F(Convert, UnsignedRefusals) {
  EXPECT_EQ(refusal<U64>("1.0"), "TypeError: 'float' object cannot be interpreted as an integer");
  EXPECT_EQ(refusal<U64>("-1"), "OverflowError: can't convert negative int to unsigned");
  EXPECT_EQ(refusal<U64>("2**64"), "OverflowError: int too big to convert");
  EXPECT_EQ(refusal<std::size_t>("Idx(-5)"), "OverflowError: can't convert negative int to unsigned");
}

TEST_F(Convert, Int32RangeIsCheckedAfterTheCLong) {
  EXPECT_EQ(from<std::int32_t>("-2**31"), INT32_MIN);
  EXPECT_EQ(from<std::int32_t>("2**31 - 1"), INT32_MAX);
  EXPECT_EQ(from<std::int32_t>("Idx(-3)"), -3);
  EXPECT_EQ(refusal<std::int32_t>("2**31"),
            "OverflowError: out of range integral type conversion attempted");
  EXPECT_EQ(refusal<std::int32_t>("-2**31 - 1"),
            "OverflowError: out of range integral type conversion attempted");
  // Beyond a C long the interpreter speaks.
  EXPECT_EQ(refusal<std::int32_t>("2**63"), "OverflowError: Python int too large to convert to C long");
  EXPECT_EQ(refusal<std::int32_t>("2.5"), "TypeError: 'float' object cannot be interpreted as an integer");
}

TEST_F(Convert, FloatingPoint) {
  EXPECT_EQ(from<double>("0.1"), 0.1);
  EXPECT_EQ(from<double>("3"), 3.0);
  EXPECT_EQ(from<double>("Idx(4)"), 4.0);
  exec("class Flt:\n    def __float__(self): return 2.5\n");
  EXPECT_EQ(from<double>("Flt()"), 2.5);
  EXPECT_EQ(refusal<double>("'1.0'"), "TypeError: must be real number, not str");

  EXPECT_EQ(from<float>("0.1"), 0.1f);
  EXPECT_EQ(from<float>("1.0000000596046448"), 1.0f);  // a hair above 1: rounds down
  EXPECT_EQ(from<float>("1e300"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(from<float>("-1e300"), -std::numeric_limits<float>::infinity());
  // Just below FLT_MAX plus half an ulp still rounds to FLT_MAX; the half-way
  // point itself rounds (to even) to infinity.
  EXPECT_EQ(from<float>("3.4028235677973362e38"), FLT_MAX);
  EXPECT_EQ(from<float>("-3.4028235677973362e38"), -FLT_MAX);
  EXPECT_EQ(from<float>("3.4028235677973366e38"), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(from<float>("float('nan')")));
}

TEST_F(Convert, Strings) {
  EXPECT_EQ(from<std::string>("'h\\u00e9llo'"), "h\xc3\xa9llo");
  EXPECT_EQ(from<std::string>("''"), "");
  EXPECT_EQ(refusal<std::string>("5"), "TypeError: 'int' object cannot be converted to 'PyString'");
  EXPECT_EQ(refusal<std::string>("'\\ud800'"),
            "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
            "surrogates not allowed");
}

TEST_F(Convert, SequencesOfAnyKindButStr) {
  using V = std::vector<U64>;
  EXPECT_EQ(from<V>("[1, 2, 3]"), (V{1, 2, 3}));
  EXPECT_EQ(from<V>("(4, 5)"), (V{4, 5}));
  EXPECT_EQ(from<V>("range(3)"), (V{0, 1, 2}));
  exec("class Seq:\n    def __len__(self): return 2\n"
       "    def __getitem__(self, i):\n        if i >= 2: raise IndexError\n        return i * 10\n");
  EXPECT_EQ(from<V>("Seq()"), (V{0, 10}));
  // A list subclass is walked through its own __iter__.
  exec("class Rev(list):\n    def __iter__(self): return reversed(self)\n");
  EXPECT_EQ(from<V>("Rev([1, 2, 3])"), (V{3, 2, 1}));
  // A lying __len__ is only a hint, and one that fails with TypeError gives
  // none; any other exception from it ends the conversion.
  exec("class Liar(Seq):\n    def __len__(self): return 2**62\n");
  EXPECT_EQ(from<V>("Liar()"), (V{0, 10}));
  exec("class NoLen(Seq):\n    def __len__(self): raise TypeError\n");
  EXPECT_EQ(from<V>("NoLen()"), (V{0, 10}));
  exec("class Stopped(Seq):\n    def __len__(self): raise KeyboardInterrupt('len')\n");
  EXPECT_EQ(refusal<V>("Stopped()"), "KeyboardInterrupt: len");

  EXPECT_EQ(refusal<V>("'123'"), "TypeError: Can't extract `str` to `Vec`");
  EXPECT_EQ(refusal<V>("{1: 2}"), "TypeError: 'dict' object cannot be converted to 'Sequence'");
  EXPECT_EQ(refusal<V>("(i for i in range(2))"),
            "TypeError: 'generator' object cannot be converted to 'Sequence'");
  EXPECT_EQ(refusal<V>("[1, -2]"), "OverflowError: can't convert negative int to unsigned");
  // An inner str is refused too.
  EXPECT_EQ(refusal<std::vector<std::vector<std::int32_t>>>("[[1, 2], 'ab']"),
            "TypeError: Can't extract `str` to `Vec`");
  // The qualified name is the type's __qualname__.
  exec("class Outer:\n    class Inner: pass\n");
  EXPECT_EQ(refusal<V>("Outer.Inner()"),
            "TypeError: 'Outer.Inner' object cannot be converted to 'Sequence'");
  // A metaclass that computes it: an ordinary failure gives a placeholder,
  // an interrupt propagates.
  exec("class Meta(type):\n    def __getattribute__(cls, name):\n"
       "        if name == '__qualname__': raise type.__getattribute__(cls, 'error')\n"
       "        return type.__getattribute__(cls, name)\n"
       "class Odd(metaclass=Meta): error = ValueError\n"
       "class Halted(metaclass=Meta): error = KeyboardInterrupt\n");
  EXPECT_EQ(refusal<V>("Odd()"),
            "TypeError: '<failed to extract type name>' object cannot be converted to 'Sequence'");
  EXPECT_EQ(refusal<V>("Halted()"), "KeyboardInterrupt: ");
}

TEST_F(Convert, ListChangedWhileItsItemsConvert) {
  // The first item empties the list while it is being read: the walk must
  // neither read freed items nor run past the new end.
  exec("box = []\nclass Clear:\n    def __index__(self):\n        box.clear()\n        return 9\n"
       "box.extend([Clear(), Idx(2**40), Idx(2**41)])\n");
  EXPECT_EQ(from<std::vector<U64>>("box"), (std::vector<U64>{9}));
}

TEST_F(Convert, Tuples) {
  using P = std::pair<U64, std::string>;
  EXPECT_EQ(from<P>("(1, 'a')"), (P{1, "a"}));
  exec("Pt = collections.namedtuple('Pt', 'x y')\n");
  EXPECT_EQ((from<std::pair<U64, U64>>("Pt(3, 4)")), (std::pair<U64, U64>{3, 4}));
  EXPECT_EQ((from<std::tuple<U64, double, std::string>>("(1, 2, 'c')")),
            (std::tuple<U64, double, std::string>{1, 2.0, "c"}));
  EXPECT_EQ(refusal<P>("[1, 'a']"), "TypeError: 'list' object cannot be converted to 'PyTuple'");
  EXPECT_EQ(refusal<P>("(1, 'a', 3)"), "ValueError: expected tuple of length 2, but got tuple of length 3");
  EXPECT_EQ(refusal<P>("(1, 2)"), "TypeError: 'int' object cannot be converted to 'PyString'");
}

TEST_F(Convert, Dicts) {
  using M = std::unordered_map<std::string, std::string>;
  EXPECT_EQ(from<M>("{'a': 'x', 'b': 'y'}"), (M{{"a", "x"}, {"b", "y"}}));
  EXPECT_EQ(from<M>("collections.OrderedDict(a='z')"), (M{{"a", "z"}}));
  EXPECT_EQ(refusal<M>("[('a', 'x')]"), "TypeError: 'list' object cannot be converted to 'PyDict'");
  // The key is converted before its value.
  EXPECT_EQ(refusal<M>("{1: 2}"), "TypeError: 'int' object cannot be converted to 'PyString'");
  EXPECT_EQ(refusal<M>("{'a': 2}"), "TypeError: 'int' object cannot be converted to 'PyString'");
  // Keys distinct in Python but equal once converted: the later value wins.
  using N = std::unordered_map<U64, std::string>;
  EXPECT_EQ(from<N>("{Idx(1): 'first', 1: 'second'}"), (N{{1, "second"}}));
}

TEST_F(Convert, DictChangedWhileItsItemsConvertIsAFault) {
  exec("grow = {}\nclass Grow:\n    def __float__(self):\n        grow['new'] = 0.0\n        return 1.0\n"
       "grow['a'] = Grow()\n");
  Ref dict = eval("grow");
  try {
    extract<std::unordered_map<std::string, double>>(dict.get());
    ADD_FAILURE() << "no fault";
  } catch (const corvane::Fault& fault) {
    EXPECT_EQ(fault.message(), "dictionary changed size during iteration");
  }
}

TEST_F(Convert, NestedShapesOfTheClasses) {
  using Circuit = std::vector<std::pair<U64, std::pair<U64, U64>>>;
  EXPECT_EQ(from<Circuit>("[(0, (1, 2)), (3, (4, 5))]"), (Circuit{{0, {1, 2}}, {3, {4, 5}}}));

  using ErrMap = std::unordered_map<std::pair<U64, U64>, double, PairHash>;
  ErrMap err = from<ErrMap>("{(0, 1): 0.5, (1, 0): 2}");
  EXPECT_EQ(err, (ErrMap{{{0, 1}, 0.5}, {{1, 0}, 2.0}}));

  using Infos = std::vector<std::unordered_map<std::string, std::string>>;
  EXPECT_EQ(from<Infos>("[{'model_name': 'm'}, {}]"),
            (Infos{{{"model_name", "m"}}, {}}));

  using Gates = std::unordered_map<std::string, std::vector<std::pair<std::string, std::vector<U64>>>>;
  EXPECT_EQ(from<Gates>("{'m': [('cx', [0, 1]), ('h', (2,))]}"),
            (Gates{{"m", {{"cx", {0, 1}}, {"h", {2}}}}}));

  EXPECT_EQ(refusal<Circuit>("[(0, (1, 2)), (3, (4, 5, 6))]"),
            "ValueError: expected tuple of length 2, but got tuple of length 3");
  EXPECT_EQ(refusal<Circuit>("[(0, (1, 'x'))]"),
            "TypeError: 'str' object cannot be interpreted as an integer");
  EXPECT_EQ(refusal<Gates>("{'m': [['cx', [0]]]}"),
            "TypeError: 'list' object cannot be converted to 'PyTuple'");
}

TEST_F(Convert, NoReferenceLeaksOnSuccessOrFailure) {
  // Objects of their own (no small-int cache) so that counts are exact.
  exec("items = [Idx(2**40), (Idx(1), Idx(2)), 'text']\n"
       "good = [(items[0], items[1])]\nbad = [(items[0], items[1]), (items[0], 'no')]\n"
       "table = {items[2]: [items[0]]}\n");
  Ref items = eval("items");
  std::vector<Py_ssize_t> before;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    before.push_back(Py_REFCNT(PyList_GET_ITEM(items.get(), i)));
  }
  Ref good = eval("good");
  Ref bad = eval("bad");
  Ref table = eval("table");
  const Py_ssize_t good_count = Py_REFCNT(good.get());
  const Py_ssize_t bad_count = Py_REFCNT(bad.get());

  using Shape = std::vector<std::pair<U64, std::pair<U64, U64>>>;
  EXPECT_EQ(extract<Shape>(good.get()).size(), 1u);
  EXPECT_NE(error_of([&] { extract<Shape>(bad.get()); }), "no error");
  EXPECT_EQ((extract<std::unordered_map<std::string, std::vector<U64>>>(table.get()).size()), 1u);
  EXPECT_NE(error_of([&] { extract<std::unordered_map<std::string, std::string>>(table.get()); }),
            "no error");

  EXPECT_EQ(Py_REFCNT(good.get()), good_count);
  EXPECT_EQ(Py_REFCNT(bad.get()), bad_count);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(items.get(), i)), before[static_cast<std::size_t>(i)]) << i;
  }
}

TEST_F(Convert, ToPythonBuildsEqualValues) {
  auto equals = [](PyObject* made, const char* expected) {
    Ref value = Ref::steal(made);
    Ref want = eval(expected);
    // A fresh container belongs to the caller alone.
    if (PyList_Check(value.get()) || PyTuple_Check(value.get())) {
      EXPECT_EQ(Py_REFCNT(value.get()), 1) << expected;
    }
    return PyObject_RichCompareBool(value.get(), want.get(), Py_EQ) == 1 &&
           Py_TYPE(value.get()) == Py_TYPE(want.get());
  };
  using Routed = std::pair<std::vector<std::pair<U64, std::pair<U64, U64>>>,
                           std::tuple<std::vector<U64>, std::vector<U64>, std::vector<U64>>>;
  Routed routed{{{0, {1, 2}}}, {{0, 1}, {1, 0}, {1, 0}}};
  EXPECT_TRUE(equals(to_python(routed), "([(0, (1, 2))], ([0, 1], [1, 0], [1, 0]))"));
  std::vector<std::pair<std::string, std::pair<U64, U64>>> gates{{"cx", {0, 1}}, {"h", {2, 0}}};
  EXPECT_TRUE(equals(to_python(gates), "[('cx', (0, 1)), ('h', (2, 0))]"));
  EXPECT_TRUE(equals(to_python(std::numeric_limits<U64>::max()), "2**64 - 1"));
  EXPECT_TRUE(equals(to_python(std::int32_t{-7}), "-7"));
  EXPECT_TRUE(equals(to_python(true), "True"));
  EXPECT_TRUE(equals(to_python(2.5), "2.5"));
  EXPECT_TRUE(equals(to_python(std::vector<U64>{}), "[]"));
  EXPECT_TRUE(equals(to_python(std::string("h\xc3\xa9")), "'h\\u00e9'"));
}

}  // namespace
}  // namespace corvane::py

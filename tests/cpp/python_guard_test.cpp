// The guard: faults and foreign C++ exceptions become Python exceptions and
// are reported on standard error; Python errors, interrupts and running out
// of memory are none of those. Also
// the diagnostic writer, which must bypass sys.stdout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fault.h"
#include "common/interrupt.h"
#include "common/output.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python_test_support.h"

namespace corvane::py {
namespace {

using namespace testing;

class Guard : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(take_error(), "") << "a Python error was left pending"; }

  // Runs a guarded call, returning its stderr output; error gets the Python
  // error it raised ("" for none).
  template <class F>
  static std::string run(F f, std::string& error, PyObject** result = nullptr) {
    PyObject* made = nullptr;
    std::string err = capture_fd(2, [&] { made = guard(f); });
    error = take_error();
    if (result != nullptr) {
      *result = made;
    } else {
      Py_XDECREF(made);
    }
    return err;
  }
};

TEST_F(Guard, FaultBecomesPanicExceptionWithItsMessage) {
  int line = 0;
  std::string error;
  const std::string stderr_text = run(
      [&]() -> PyObject* {
        line = __LINE__ + 1;
        corvane::fault("index out of bounds: the len is 3 but the index is 7");
      },
      error);
  EXPECT_EQ(error, "PanicException: index out of bounds: the len is 3 but the index is 7");
  // Reported once, when raised: "thread '<name>' panicked at <file>:<line>:<col>:".
  const std::string where = "tests/cpp/python_guard_test.cpp:" + std::to_string(line) + ":";
  EXPECT_EQ(stderr_text.rfind("thread 'main' panicked at " + where, 0), 0u) << stderr_text;
  EXPECT_NE(stderr_text.find(":\nindex out of bounds: the len is 3 but the index is 7\n"), std::string::npos)
      << stderr_text;
  EXPECT_EQ(stderr_text.find("panicked", stderr_text.find("panicked") + 1), std::string::npos)
      << "reported twice: " << stderr_text;
}

TEST_F(Guard, PanicExceptionIsABaseExceptionOnly) {
  PyObject* type = panic_exception_type();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(panic_exception_type(), type);  // made once
  ASSERT_EQ(PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "Panic", type), 0);
  Ref facts = eval("(Panic.__bases__ == (BaseException,), issubclass(Panic, Exception),"
                   " Panic.__module__, Panic.__qualname__)");
  Ref want = eval("(True, False, 'pyo3_runtime', 'PanicException')");
  EXPECT_EQ(PyObject_RichCompareBool(facts.get(), want.get(), Py_EQ), 1);

  // The message is the exception's only argument.
  std::string error;
  run([]() -> PyObject* { corvane::fault("boom"); }, error);
  EXPECT_EQ(error, "PanicException: boom");
  PyObject* result = guard([]() -> PyObject* { throw std::runtime_error("x"); });
  EXPECT_EQ(result, nullptr);
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref args = Ref::steal(PyObject_GetAttrString(v, "args"));
  Ref want_args = eval("('x',)");
  EXPECT_EQ(PyObject_RichCompareBool(args.get(), want_args.get(), Py_EQ), 1);
  EXPECT_EQ(t, type);
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
}

TEST_F(Guard, ForeignExceptionsAreReportedThenRaisedAsPanics) {
  std::string error;
  std::string what;
  std::string report = run(
      [&]() -> PyObject* {
        std::vector<int> empty;
        try {
          return PyLong_FromLong(empty.at(3));
        } catch (const std::out_of_range& e) {
          what = e.what();
          throw;
        }
      },
      error);
  EXPECT_EQ(error, "PanicException: " + what);
  EXPECT_EQ(report, "thread 'main' panicked at <unknown>:0:0:\n" + what + "\n");

  report = run([]() -> PyObject* { throw 42; }, error);
  EXPECT_EQ(error, "PanicException: unknown C++ exception");
  EXPECT_NE(report.find("unknown C++ exception\n"), std::string::npos);
}

TEST_F(Guard, OutOfMemoryIsMemoryErrorUnderEitherPolicy) {
  std::string error;
  EXPECT_EQ(run([]() -> PyObject* { throw std::bad_alloc(); }, error), "");  // not a fault
  EXPECT_EQ(error, "MemoryError: ");
  run([]() -> PyObject* {
        std::vector<double> v;
        v.reserve(v.max_size() + 1);  // std::length_error
        return nullptr;
      },
      error);
  EXPECT_EQ(error, "MemoryError: ");
  run([] { return catch_faults<FaultAsRuntimeError>([]() -> PyObject* { throw std::bad_alloc(); }); },
      error);
  EXPECT_EQ(error, "MemoryError: ");
}

TEST_F(Guard, AnInterruptRaisesWhatTheSignalHandlerRaised) {
  exec("import signal\nclass Stop(Exception): pass\n"
       "def handler(*args): raise Stop('from the handler')\n"
       "saved = signal.signal(signal.SIGUSR1, handler)\n");
  std::string error;
  // The first poll of a guarded call runs the handler; neither policy turns
  // the interrupt into a fault.
  const std::string report = run(
      [] {
        return catch_faults<FaultAsRuntimeError>([]() -> PyObject* {
          std::raise(SIGUSR1);
          corvane::interrupt::poll();
          return nullptr;
        });
      },
      error);
  exec("signal.signal(signal.SIGUSR1, saved)\n");
  EXPECT_EQ(error, "Stop: from the handler");
  EXPECT_EQ(report, "");
}

TEST_F(Guard, PythonErrorsPassUnchangedAndResultsAreReturned) {
  std::string error;
  std::string report = run([]() -> PyObject* { raise(PyExc_ValueError, "bad value"); }, error);
  EXPECT_EQ(error, "ValueError: bad value");
  EXPECT_EQ(report, "");  // not a fault: nothing reported

  PyObject* result = nullptr;
  run([] { return Ref::check(PyLong_FromLong(5)); }, error, &result);
  EXPECT_EQ(error, "");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(PyLong_AsLong(result), 5);
  Py_DECREF(result);

  // A failure that set no error still leaves one.
  run([]() -> PyObject* { return nullptr; }, error);
  EXPECT_EQ(error, "SystemError: attempted to fetch exception but none was set");
  run([]() -> PyObject* { throw ErrorAlreadySet(); }, error);
  EXPECT_EQ(error, "SystemError: attempted to fetch exception but none was set");
}

TEST_F(Guard, RuntimeErrorPolicyDropsTheMessage) {
  std::string error;
  const std::string report = run(
      [] {
        // Conversion outside the inner part keeps its own error classes...
        Ref arg = eval("5");
        const auto n = extract<std::uint64_t>(arg.get());
        // ...while a fault inside it becomes the opaque RuntimeError.
        return to_python(catch_faults<FaultAsRuntimeError>([&]() -> std::uint64_t {
          if (n == 5) corvane::fault("the real reason");
          return n;
        }));
      },
      error);
  EXPECT_EQ(error, "RuntimeError: Panic error");
  EXPECT_NE(report.find("the real reason"), std::string::npos);  // still reported

  run([] {
        return catch_faults<FaultAsRuntimeError>([]() -> PyObject* { raise(PyExc_TypeError, "typed"); });
      },
      error);
  EXPECT_EQ(error, "TypeError: typed");

  PyObject* result = nullptr;
  run([] { return to_python(catch_faults<FaultAsRuntimeError>([] { return std::uint64_t{9}; })); },
      error, &result);
  EXPECT_EQ(error, "");
  EXPECT_EQ(PyLong_AsLong(result), 9);
  Py_XDECREF(result);
}

TEST_F(Guard, StdoutLinesBypassSysStdout) {
  exec("import io, sys\nsaved_stdout = sys.stdout\nsys.stdout = io.StringIO()\n");
  const std::string long_line(1 << 20, 'x');  // larger than a pipe's buffer
  bool ok = false;
  const std::string out = capture_fd(1, [&] {
    ok = write_stdout_line("Error loading model infor for m: bad") && write_stdout_line(long_line) &&
         write_stdout_line("");
  });
  Ref captured_by_python = eval("sys.stdout.getvalue()");
  exec("sys.stdout = saved_stdout\n");
  EXPECT_TRUE(ok);
  EXPECT_EQ(out, "Error loading model infor for m: bad\n" + long_line + "\n\n");
  EXPECT_EQ(PyUnicode_GetLength(captured_by_python.get()), 0);
}

TEST_F(Guard, StdoutLineToAClosedDescriptorIsReportedNotFatal) {
  std::fflush(stdout);
  const int saved = ::dup(1);
  ::close(1);
  const bool ok = write_stdout_line("lost");
  ::dup2(saved, 1);
  ::close(saved);
  EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace corvane::py

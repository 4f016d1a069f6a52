// Runs the binding-layer tests inside an embedded interpreter, and defines the
// helpers the python_*_test.cpp files declare.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "python/errors.h"
#include "python_test_support.h"

namespace corvane::py::testing {

namespace {
PyObject* main_namespace() {
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  return main != nullptr ? PyModule_GetDict(main) : nullptr;
}
}  // namespace

std::string take_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "";
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref t = Ref::steal(type);
  Ref v = Ref::steal(value);
  Ref tb = Ref::steal(traceback);
  Ref name = Ref::steal(PyObject_GetAttrString(t.get(), "__name__"));
  Ref text = Ref::steal(PyObject_Str(v.get()));
  if (!name || !text) {
    PyErr_Clear();
    return "<unprintable error>";
  }
  return std::string(PyUnicode_AsUTF8(name.get())) + ": " + PyUnicode_AsUTF8(text.get());
}

Ref eval(const char* expression) {
  Ref result = Ref::steal(PyRun_String(expression, Py_eval_input, main_namespace(), main_namespace()));
  if (!result) ADD_FAILURE() << "eval(" << expression << ") raised " << take_error();
  return result;
}

void exec(const char* code) {
  Ref result = Ref::steal(PyRun_String(code, Py_file_input, main_namespace(), main_namespace()));
  if (!result) ADD_FAILURE() << "exec raised " << take_error() << "\n" << code;
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const ErrorAlreadySet&) {
    return take_error();
  }
  return "no error";
}

std::string error_of_call(PyObject* result) {
  if (result != nullptr) {
    Py_DECREF(result);
    return "no error";
  }
  return take_error();
}

// Redirects a file descriptor into a pipe, drained by a thread so that any
// amount of output fits, until finish() puts the descriptor back.
class CaptureFd {
 public:
  explicit CaptureFd(int fd) : fd_(fd) {
    std::fflush(nullptr);
    int ends[2];
    if (::pipe(ends) != 0) std::abort();
    saved_ = ::dup(fd_);
    ::dup2(ends[1], fd_);
    ::close(ends[1]);
    read_end_ = ends[0];
    reader_ = std::thread([this] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(read_end_, buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<std::size_t>(n));
    });
  }
  std::string finish() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);  // closes the pipe's last write end, so the reader stops
    ::close(saved_);
    reader_.join();
    ::close(read_end_);
    return text_;
  }

 private:
  int fd_;
  int saved_ = -1;
  int read_end_ = -1;
  std::thread reader_;
  std::string text_;
};

std::string capture_fd(int fd, const std::function<void()>& f) {
  CaptureFd capture(fd);
  f();
  return capture.finish();
}

}  // namespace corvane::py::testing

#if defined(__SANITIZE_ADDRESS__)
// CPython leaves some of its own blocks allocated after finalisation. Ignore
// only those made by its allocators, so LeakSanitizer still checks ours.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:_PyObject_Malloc\nleak:_PyObject_Calloc\nleak:_PyObject_Realloc\n"
         "leak:_PyMem_RawMalloc\nleak:_PyMem_RawCalloc\nleak:_PyMem_RawRealloc\n";
}
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);  // leave signal handling to the test runner
  const int result = RUN_ALL_TESTS();
  const int finalized = Py_FinalizeEx();
  return result != 0 ? result : (finalized < 0 ? 1 : 0);
}

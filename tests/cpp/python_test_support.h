// Helpers of the embedded-interpreter test program (defined in
// python_main.cpp).
#pragma once

#include <functional>
#include <string>

#include "python/errors.h"

namespace corvane::py::testing {

// The pending Python error as "TypeName: message", cleared; "" if none.
std::string take_error();
// Evaluates a Python expression in __main__; fails the test on error.
Ref eval(const char* expression);
// Runs Python statements in __main__; fails the test on error.
void exec(const char* code);
// Runs f; the error it raised as take_error() gives it, or "no error".
std::string error_of(const std::function<void()>& f);
// The error of a CPython call's result (released when not null), or
// "no error".
std::string error_of_call(PyObject* result);
// Everything written to descriptor fd while f runs.
std::string capture_fd(int fd, const std::function<void()>& f);

}  // namespace corvane::py::testing

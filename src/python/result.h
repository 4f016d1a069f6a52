// Results of the synthesis classes: a value goes back to Python, an error
// text is raised as RuntimeError carrying it as its only argument.
#pragma once

#include "common/result.h"
#include "python/convert.h"
#include "python/errors.h"

namespace corvane::py {

template <class T>
PyObject* result_or_raise(const Result<T>& result) {
  if (!result) raise(PyExc_RuntimeError, result.error());
  return to_python(*result);
}

}  // namespace corvane::py

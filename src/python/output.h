// Diagnostic lines on the process's standard output (the core's writer; the
// model-description parsers print through it too).
#pragma once

#include "common/output.h"

namespace corvane::py {

using corvane::write_stdout_line;

}  // namespace corvane::py

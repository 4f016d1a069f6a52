// Diagnostic lines on the process's standard output.
#pragma once

#include <string_view>

namespace corvane {

// Writes line and a newline to file descriptor 1 in one system call (retried
// after an interruption or a partial write), bypassing Python's sys.stdout so
// that the line is never split or reordered by Python-level buffering.
// Diagnostics are best effort: returns false, and carries on, when the write
// fails (a closed or broken stdout).
bool write_stdout_line(std::string_view line) noexcept;

}  // namespace corvane

// Diagnostic lines on the process's standard output.
#pragma once

#include <string_view>

namespace corvane {

// Writes line and a newline to file descriptor 1 in one system call (retried
// after an interruption or a partial write), so that the line is never split
// or interleaved. Before writing it runs this thread's flush hook, if any, so
// that output the caller buffered earlier comes out first. Diagnostics are
// best effort: returns false, and carries on, when the write fails (a closed
// or broken stdout).
bool write_stdout_line(std::string_view line) noexcept;

namespace output {

// Empties the caller's own buffers for file descriptor 1 (for Python callers,
// sys.stdout). Must not throw.
using Flush = void (*)() noexcept;

namespace detail {
inline thread_local Flush t_flush = nullptr;
}  // namespace detail

// Installs `flush` on this thread for the life of the scope; nested scopes
// restore the outer one.
class FlushScope {
 public:
  explicit FlushScope(Flush flush) noexcept : saved_(detail::t_flush) { detail::t_flush = flush; }
  ~FlushScope() { detail::t_flush = saved_; }
  FlushScope(const FlushScope&) = delete;
  FlushScope& operator=(const FlushScope&) = delete;

 private:
  Flush saved_;
};

}  // namespace output
}  // namespace corvane

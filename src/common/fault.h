// Internal faults: states the program cannot continue from (an index out of
// range, an input it cannot route). A fault is reported on standard error at
// the moment it is raised, then travels as a C++ exception to the Python
// boundary, where it becomes a Python exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace corvane {

class Fault : public std::exception {
 public:
  Fault(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Recurring fault messages.
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value";

// "index out of bounds: the len is {len} but the index is {index}"
std::string index_message(std::size_t len, std::size_t index);

// Writes "thread '<name>' panicked at <file>:<line>:<column>:\n<message>\n"
// to standard error in one write. The build compiles file names in relative
// to the project root ("src/..."), whatever the checkout's path.
void report_fault(std::string_view message, std::string_view file, std::uint32_t line,
                  std::uint32_t column) noexcept;
inline void report_fault(std::string_view message, const std::source_location& where) noexcept {
  report_fault(message, where.file_name(), where.line(), where.column());
}

// Reports, then throws Fault.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());
[[noreturn]] void index_fault(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());

// Checked element access for anything with size() and operator[].
template <class Container>
decltype(auto) at(Container& c, std::size_t i,
                  std::source_location where = std::source_location::current()) {
  if (i >= c.size()) index_fault(c.size(), i, where);
  return c[i];
}

// The name fault reports give the current thread: the one set here, "main"
// for the process's main thread, "<unnamed>" otherwise.
void set_thread_name(const char* name) noexcept;
const char* current_thread_name() noexcept;

// Reports an exception that was not raised as a Fault (std::bad_alloc,
// std::out_of_range, ...) and returns the message a Fault would carry.
std::string report_foreign_exception(const std::exception* e) noexcept;

}  // namespace corvane

#include "common/fault.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane {
namespace {

thread_local const char* t_thread_name = nullptr;

void write_all(int fd, std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string index_message(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

void set_thread_name(const char* name) noexcept { t_thread_name = name; }

const char* current_thread_name() noexcept {
  if (t_thread_name != nullptr) return t_thread_name;
  if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) return "main";
  return "<unnamed>";
}

void report_fault(std::string_view message, std::string_view file, std::uint32_t line,
                  std::uint32_t column) noexcept {
  try {
    std::string text;
    text.reserve(64 + file.size() + message.size());
    text += "thread '";
    text += current_thread_name();
    text += "' panicked at ";
    text += file;
    text += ':';
    text += std::to_string(line);
    text += ':';
    text += std::to_string(column);
    text += ":\n";
    text += message;
    text += '\n';
    write_all(2, text);
  } catch (...) {
    // Out of memory while reporting: say what we can without allocating.
    write_all(2, "thread panicked (report truncated)\n");
  }
}

void fault(std::string message, std::source_location where) {
  report_fault(message, where);
  throw Fault(std::move(message), where);
}

void index_fault(std::size_t len, std::size_t index, std::source_location where) {
  fault(index_message(len, index), where);
}

std::string report_foreign_exception(const std::exception* e) noexcept {
  try {
    std::string message = e != nullptr ? e->what() : "unknown C++ exception";
    report_fault(message, "<unknown>", 0, 0);
    return message;
  } catch (...) {
    write_all(2, "thread panicked: out of memory\n");
    return {};
  }
}

}  // namespace corvane

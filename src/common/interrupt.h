// Stopping a long call from outside. Whoever calls into the core (the
// binding layer) installs a check for the length of the call; the core's
// long loops call poll(), which runs that check every few milliseconds and
// throws Interrupted when it asks the call to stop. The core never learns
// why: for Python callers the reason (KeyboardInterrupt, or whatever a
// signal handler raised) is already pending when Interrupted is thrown.
#pragma once

#include <chrono>
#include <exception>

namespace corvane::interrupt {

// Thrown by poll(): the call must end now, with nothing returned.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the call on this thread must stop.
using Check = bool (*)() noexcept;

// How long poll() leaves between two checks.
inline constexpr std::chrono::nanoseconds kPollInterval = std::chrono::milliseconds(5);

namespace detail {
struct State {
  Check check = nullptr;
  std::chrono::steady_clock::time_point next{};  // of the next check
};
inline thread_local State t_state;
}  // namespace detail

// Installs `check` on this thread for the life of the scope; nested scopes
// restore the outer one. The first poll() in a scope checks at once.
class Scope {
 public:
  explicit Scope(Check check) noexcept : saved_(detail::t_state) { detail::t_state = {check, {}}; }
  ~Scope() { detail::t_state = saved_; }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  detail::State saved_;
};

// Throws Interrupted when this thread's check, run at most once per
// kPollInterval, asks to stop. Without a check (a worker thread, a test) it
// only reads one thread-local pointer.
inline void poll() {
  detail::State& s = detail::t_state;
  if (s.check == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < s.next) return;
  s.next = now + kPollInterval;
  if (s.check()) throw Interrupted();
}

}  // namespace corvane::interrupt

// Errors of the native core.
//
// Every failure inside the core is a vl::Error: a chain of messages whose
// first element is the outermost one (the context an operation adds, such as
// "opening shard ...") and whose last element is the underlying cause (an
// operating-system error, a format complaint).  The module boundary shows
// callers the outermost message only; the rest of the chain is kept for
// debugging and for tests.
//
// Violated internal invariants are not Errors: they are thrown as vl::Panic
// (or escape as any other exception) and become PanicException in Python.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace vl {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : chain_{std::move(message)} {}

  // An error from an operating-system call, read from the error number:
  // "No such file or directory (os error 2)".
  static Error os(int errnum);
  // Same, with the current errno.
  static Error last_os();

  // Returns this error with `context` placed over it as the new outermost
  // message.
  Error context(std::string context) &&;

  const char* what() const noexcept override { return chain_.front().c_str(); }
  const std::string& message() const { return chain_.front(); }
  const std::vector<std::string>& chain() const { return chain_; }
  // The operating-system error number of the root cause, or 0.
  int os_errno() const { return errno_; }

 private:
  std::vector<std::string> chain_;
  int errno_ = 0;
};

// A violated invariant: a bug in the core, never a property of the input.
class Panic : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Runs `fn` and puts `context` over any Error it throws.
template <typename Fn>
auto with_context(std::string context, Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (Error& e) {
    throw std::move(e).context(std::move(context));
  }
}

}  // namespace vl

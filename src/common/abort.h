// Aborting a call.
//
// The encryption pipeline reports no errors by return value: every failure
// inside it throws an Abort, which unwinds to the entry point (the Python
// module or the command line). RAII releases files, buffers and OpenSSL
// contexts on the way. Abort deliberately does not derive from
// std::exception, so that no generic handler on the way swallows it.

#ifndef CELLVAULT_COMMON_ABORT_H_
#define CELLVAULT_COMMON_ABORT_H_

#include <source_location>
#include <string>
#include <utility>

#include "common/error.h"

namespace cellvault {

class Abort {
 public:
  Abort(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}

  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// abort_call ends the current call with |message|, recording where it was
// called from.
[[noreturn]] void abort_call(
    std::string message,
    std::source_location where = std::source_location::current());

// The prefix of every abort that comes from an error result.
inline constexpr std::string_view kUnwrapPrefix =
    "called `Result::unwrap()` on an `Err` value: ";

// render_error gives the text shown after kUnwrapPrefix.
inline std::string render_error(const IoError& e) { return e.render(); }
inline std::string render_error(const ErrorText& e) { return quote(e); }

// unwrap returns the value of |result| or aborts the call with
// kUnwrapPrefix followed by the rendered error.
template <class T, class E>
T unwrap(Result<T, E>&& result,
         std::source_location where = std::source_location::current()) {
  if (!result.ok()) {
    abort_call(std::string(kUnwrapPrefix) + render_error(result.error()),
               where);
  }
  return std::move(result).take();
}

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_ABORT_H_

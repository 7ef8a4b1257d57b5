// Aborting a call.
//
// The encryption pipeline reports no errors by return value: every failure
// inside it throws an Abort, which unwinds to the entry point (the Python
// module or the command line). RAII releases files, buffers and OpenSSL
// contexts on the way. Abort deliberately does not derive from
// std::exception, so that no generic handler on the way swallows it.

#ifndef CELLVAULT_COMMON_ABORT_H_
#define CELLVAULT_COMMON_ABORT_H_

#include <optional>
#include <string>
#include <utility>

#include "common/error.h"
#include "common/source_location.h"

namespace cellvault {

class Abort {
 public:
  Abort(std::string message, SourceLocation where,
        std::optional<IoError> cause = std::nullopt)
      : message_(std::move(message)), where_(where), cause_(std::move(cause)) {}

  const std::string& message() const { return message_; }
  const SourceLocation& where() const { return where_; }
  // cause is the I/O error behind the abort, when there is one; the command
  // line uses it to name the cause in a short line of its own.
  const std::optional<IoError>& cause() const { return cause_; }

 private:
  std::string message_;
  SourceLocation where_;
  std::optional<IoError> cause_;
};

// abort_call ends the current call with |message|, recording where it was
// called from.
[[noreturn]] void abort_call(
    std::string message,
    SourceLocation where = SourceLocation::current());

// abort_with_error ends the current call because of |error|, with the
// message kUnwrapPrefix + the rendered error.
[[noreturn]] void abort_with_error(const IoError& error,
                                   SourceLocation where);
[[noreturn]] void abort_with_error(const ErrorText& error,
                                   SourceLocation where);

// The prefix of every abort that comes from an error result.
inline constexpr std::string_view kUnwrapPrefix =
    "called `Result::unwrap()` on an `Err` value: ";

// unwrap returns the value of |result| or aborts the call with
// kUnwrapPrefix followed by the rendered error.
template <class T, class E>
T unwrap(Result<T, E>&& result,
         SourceLocation where = SourceLocation::current()) {
  if (!result.ok()) abort_with_error(result.error(), where);
  return std::move(result).take();
}

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_ABORT_H_

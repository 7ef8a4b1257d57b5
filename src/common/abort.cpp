#include "common/abort.h"

#include "common/backtrace.h"

namespace cellvault {

void abort_call(std::string message, SourceLocation where) {
  record_abort_backtrace();
  throw Abort(std::move(message), where);
}

void abort_with_error(const IoError& error, SourceLocation where) {
  record_abort_backtrace();
  throw Abort(std::string(kUnwrapPrefix) + error.render(), where, error);
}

void abort_with_error(const ErrorText& error, SourceLocation where) {
  record_abort_backtrace();
  throw Abort(std::string(kUnwrapPrefix) + quote(error), where);
}

}  // namespace cellvault

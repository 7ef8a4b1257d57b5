#include "common/abort.h"

namespace cellvault {

void abort_call(std::string message, std::source_location where) {
  throw Abort(std::move(message), where);
}

}  // namespace cellvault

// Helpers shared by the cryptography tests: the byte helpers, and capture
// of an abort's message.

#ifndef CELLVAULT_TESTS_CPP_CRYPTO_TEST_UTIL_H_
#define CELLVAULT_TESTS_CPP_CRYPTO_TEST_UTIL_H_

#include <string>

#include "bytes_test_util.h"
#include "common/abort.h"

namespace cellvault::testing {

// abort_message runs |f| and returns the message of the Abort it throws,
// or "<no abort>".
template <class F>
std::string abort_message(F&& f) {
  try {
    f();
  } catch (const Abort& a) {
    return a.message();
  }
  return "<no abort>";
}

}  // namespace cellvault::testing

#endif  // CELLVAULT_TESTS_CPP_CRYPTO_TEST_UTIL_H_

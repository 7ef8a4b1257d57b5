// The one check that an operation was asked for an algorithm it
// implements. The names themselves are in agile_format.h.

#ifndef CELLVAULT_HELPER_CRYPT_NAMES_H_
#define CELLVAULT_HELPER_CRYPT_NAMES_H_

#include <string>
#include <string_view>

#include "common/error.h"
#include "helper/crypt/agile_format.h"

namespace cellvault {

// check_algorithm succeeds when |name| is exactly |supported| (byte for
// byte, case-sensitive) and otherwise returns the error text
// "algorithm <name> not supported!" with the name as passed.
inline TextResult<void> check_algorithm(std::string_view name,
                                        std::string_view supported) {
  if (name == supported) return {};
  std::string text = "algorithm ";
  text += name;
  text += " not supported!";
  return Err{std::move(text)};
}

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_NAMES_H_

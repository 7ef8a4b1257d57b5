// Random values from the kernel: salts, the package key, the HMAC key and
// the verifier input.

#ifndef CELLVAULT_HELPER_CRYPT_RANDOM_H_
#define CELLVAULT_HELPER_CRYPT_RANDOM_H_

#include <cstdint>
#include <span>

#include "common/secure.h"

namespace cellvault {

// fill_random fills |out| completely with cryptographically secure random
// bytes from the kernel: getrandom(2), or, where that system call is missing
// (ENOSYS) or forbidden (EPERM), /dev/urandom once /dev/random has reported
// that the pool is initialised. Any failure of the source aborts the call
// with a message that names the OS error: a key or salt is never returned
// partly or wholly unfilled.
//
// Process-wide state, set once: whether getrandom is usable, and the
// descriptor of /dev/urandom, opened under a lock and kept open.
void fill_random(std::span<uint8_t> out);

// gen_random_16, gen_random_32 and gen_random_64 return that many random
// bytes, wiped when released. They abort like fill_random.
SecretBytes gen_random_16();
SecretBytes gen_random_32();
SecretBytes gen_random_64();

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_RANDOM_H_
